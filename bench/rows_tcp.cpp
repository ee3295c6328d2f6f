// GetData over TCP from many systems at once, against a plain responder.
#include "bench.h"
#include "bench_net.h"
#include "tcp_clients.h"

#include <cstdio>

namespace korvel::bench {

namespace {

constexpr int kClients = 200;
constexpr int kClientBlock = 60; // 127.0.60.1 and up

struct TcpRun {
    double rate = 0;
    double cpuUs = 0;
    std::uint64_t failed = 0;
    std::uint64_t overflows = 0;
    TcpClients::Result clients;
};

TcpRun MeasureTcp(Bench& bench, Relay relay)
{
    const std::vector<std::string> sources = Addresses(kClientBlock, kClients);
    std::unique_ptr<ChildProcess> process;
    if (relay == Relay::Reference) {
        process = bench.startReference("tcp", { "tcp", std::to_string(bench.basePort()) });
    } else {
        std::vector<std::string> stations;
        for (int i = 0; i < 50; ++i)
            stations.push_back(std::to_string(42000 + i));
        std::vector<HubSystem> systems;
        for (int i = 0; i < kClients; ++i)
            systems.push_back(
                { sources[std::size_t(i)], kSourceSystemPort, "CLIENT" + std::to_string(i + 1), stations });
        process = bench.startHub("tcp", systems);
    }
    const std::uint64_t overflowsBefore = ListenOverflows();
    TcpClients clients(sources, kServer, bench.basePort());
    SleepNs(static_cast<std::int64_t>((bench.quick() ? 0.3 : 0.5) * 1e9));
    const std::int64_t start = MonotonicNs();
    const std::uint64_t answeredBefore = clients.answered();
    const double cpuBefore = ProcessCpuSeconds(process->pid());
    SleepNs(static_cast<std::int64_t>(bench.seconds() * 1e9));
    const std::uint64_t answered = clients.answered() - answeredBefore;
    const double cpu = ProcessCpuSeconds(process->pid()) - cpuBefore;
    const std::int64_t end = MonotonicNs();
    TcpRun run;
    run.clients = clients.finish();
    process->stop();
    run.overflows = ListenOverflows() - overflowsBefore;
    run.rate = double(answered) / (double(end - start) / 1e9);
    run.cpuUs = answered ? cpu * 1e6 / double(answered) : 0;
    run.failed = run.clients.failed;
    std::printf("  %-9s %d clients: %8.0f answered/s, %5.1f us CPU each, %llu failed%s, request p50 %.2f ms, "
                "p99 %.2f ms, max %.0f ms, %llu listen overflows\n",
        RelayName(relay), kClients, run.rate, run.cpuUs, static_cast<unsigned long long>(run.failed),
        run.clients.failures.empty() ? "" : (" (" + run.clients.failures + ")").c_str(), run.clients.p50Ms,
        run.clients.p99Ms, run.clients.maxMs, static_cast<unsigned long long>(run.overflows));
    std::fflush(stdout);
    return run;
}

} // namespace

void TcpRow(Bench& bench)
{
    std::vector<double> hubRate, refRate, hubCpu, refCpu, ratio, cpuRatio;
    std::uint64_t hubFailed = 0, refFailed = 0, hubOverflows = 0;
    std::vector<double> hubP99;
    for (int round = 0; round < bench.rounds(); ++round) {
        TcpRun hub, reference;
        if (round % 2 == 0) {
            reference = MeasureTcp(bench, Relay::Reference);
            hub = MeasureTcp(bench, Relay::Hub);
        } else {
            hub = MeasureTcp(bench, Relay::Hub);
            reference = MeasureTcp(bench, Relay::Reference);
        }
        hubRate.push_back(hub.rate);
        refRate.push_back(reference.rate);
        hubCpu.push_back(hub.cpuUs);
        refCpu.push_back(reference.cpuUs);
        ratio.push_back(reference.rate > 0 ? hub.rate / reference.rate : 0);
        cpuRatio.push_back(hub.cpuUs > 0 ? reference.cpuUs / hub.cpuUs : 0);
        hubFailed += hub.failed;
        refFailed += reference.failed;
        hubOverflows += hub.overflows;
        hubP99.push_back(hub.clients.p99Ms);
    }
    Summary& summary = bench.summary();
    summary.line("200 GetData clients, answered/s", Fixed(Median(hubRate), 0), Fixed(Median(refRate), 0),
        Fixed(Median(ratio), 2), Spread(ratio, 2));
    summary.line("   CPU us per request (ratio reference/hub)", Fixed(Median(hubCpu), 1), Fixed(Median(refCpu), 1),
        Fixed(Median(cpuRatio), 2), Spread(cpuRatio, 2));
    summary.line("   failed requests, all rounds", std::to_string(hubFailed), std::to_string(refFailed));
    summary.line("   request p99, ms", Fixed(Median(hubP99), 2));
    summary.line("   listen overflows, all rounds", std::to_string(hubOverflows));
    summary.result("tcp", Fixed(Median(ratio), 2));
    summary.result("tcp_failed", std::to_string(hubFailed));
}

} // namespace korvel::bench
