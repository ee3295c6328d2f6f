// The hub with its window open and console logging on, under a steady load.
#include "bench.h"
#include "bench_net.h"
#include "desktop.h"
#include "load_generator.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace korvel::bench {

namespace {

constexpr int kSinks = 8;
constexpr double kRate = 10000;

} // namespace

void WindowRow(Bench& bench)
{
    const double seconds = bench.quick() ? 5 : 20;
    const auto addresses = bench.sinkAddresses(kSinks);
    std::vector<HubSystem> systems { { bench.source(), kSourceSystemPort, "SOURCE", {} } };
    // The system the window shows has as many stations as a system can hold.
    systems.front().stationCount = 3000;
    systems.front().firstStation = 41000;
    for (int i = 0; i < kSinks; ++i)
        systems.push_back({ addresses[std::size_t(i)].address, kSinkSystemPort, "SINK" + std::to_string(i + 1), {} });
    Sinks sinks(addresses, true, bench.work());
    // With a display in the environment plain `korvel` opens its window;
    // --trace turns console logging on in it.
    auto hub = bench.startHub("window", systems, { "--report-stalls", "--trace" });
    {
        std::ifstream log(hub->log());
        const std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
        if (text.find("headless") != std::string::npos)
            Die("the hub ran headless: no display for its window");
    }
    // With a system selected the station list is rebuilt under the load too.
    if (!SelectFirstSystem(hub->pid()))
        std::printf("  (could not select a system in the hub's window; is xdotool installed?)\n");

    const int port = bench.basePort() + 1;
    std::uint64_t queued = 0, dropsBefore = 0, dropsAfter = 0;
    if (!UdpSocketStats(port, queued, dropsBefore))
        Die("the hub's QVX socket is not there");
    const double cpuBefore = ProcessCpuSeconds(hub->pid());
    GeneratorPlan plan;
    plan.mode = GeneratorPlan::Mode::Paced;
    plan.sources = { bench.source() };
    plan.target = Ipv4(kServer, port);
    plan.rate = kRate;
    const std::int64_t start = MonotonicNs();
    std::uint64_t sent = 0;
    bool shot = false;
    {
        LoadGenerator generator(plan);
        if (!bench.config().screenshot.empty()) {
            SleepNs(static_cast<std::int64_t>(seconds / 2 * 1e9));
            shot = Screenshot(bench.config().screenshot);
        }
        SleepUntilMonotonic(start + static_cast<std::int64_t>(seconds * 1e9));
        sent = generator.stop();
    }
    const double cpu = (ProcessCpuSeconds(hub->pid()) - cpuBefore) / (double(MonotonicNs() - start) / 1e9);
    sinks.settle(sent * kSinks);
    UdpSocketStats(port, queued, dropsAfter);
    hub->stop();
    const Sinks::Result result = sinks.finish();
    const StallReport stalls = ReadStallReport(hub->log());
    const std::uint64_t lost = result.lost(sent);
    const std::uint64_t dropped = dropsAfter - dropsBefore;

    std::vector<double> latencies;
    for (const LatencySample& sample : result.samples)
        latencies.push_back(double(sample.latencyNs) / 1e6);
    std::sort(latencies.begin(), latencies.end());
    std::printf("  hub       window, logging on, %.0f reports/s x %d for %.0f s: %llu dropped by the kernel, "
                "lost %llu of %llu x %d, p99 %.2f ms, CPU %.0f%%, longest event-loop stall %lld ms, %d over 100 ms\n",
        kRate, kSinks, seconds, static_cast<unsigned long long>(dropped), static_cast<unsigned long long>(lost),
        static_cast<unsigned long long>(sent), kSinks, Percentile(latencies, 0.99), cpu * 100,
        static_cast<long long>(stalls.longestMs), stalls.stalls);
    if (!bench.config().screenshot.empty())
        std::printf("  %s %s\n", shot ? "screenshot under load saved in" : "could not take a screenshot into",
            bench.config().screenshot.c_str());
    std::fflush(stdout);

    Summary& summary = bench.summary();
    summary.line("window + logging, 10000 reports/s x 8: kernel drops", std::to_string(dropped));
    summary.line("   lost at the sinks", std::to_string(lost));
    summary.line("   longest event-loop stall ms; stalls over 100 ms", std::to_string(stalls.longestMs),
        std::to_string(stalls.stalls));
    summary.line("   forward latency p99, ms", Fixed(Percentile(latencies, 0.99), 2));
    summary.result("trace_dropped", std::to_string(dropped));
    summary.result("window_stall_ms", std::to_string(stalls.longestMs));
    summary.addLost(lost);
}

} // namespace korvel::bench
