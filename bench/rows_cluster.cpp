// Two hubs sharing a Redis server of the row's own: how many reports a second
// cross from a system on hub A to a system on hub B, and what the way through
// Redis adds to a forward's latency over hub A's own forward.
#include "bench.h"
#include "bench_net.h"
#include "load_generator.h"
#include "protocol/wire_format.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace korvel::bench {

namespace {

constexpr double kLatencyRate = 2000;
constexpr std::uint64_t kWindow = 2000;
constexpr std::int64_t kWaitNs = 20'000'000'000;

std::string FindProgram(const std::string& name)
{
    const char* path = std::getenv("PATH");
    std::stringstream folders(path ? path : "/usr/bin");
    for (std::string folder; std::getline(folders, folder, ':');) {
        const std::string candidate = folder + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return {};
}

// A port the kernel hands out now, for the Redis server.
int FreeTcpPortNow()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = Ipv4(kServer, 0);
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        Die("no free port for Redis");
    close(fd);
    return ntohs(address.sin_port);
}

std::string Slurp(const std::filesystem::path& file)
{
    std::ifstream in(file);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WaitForLine(const ChildProcess& process, const std::string& text)
{
    const std::int64_t deadline = MonotonicNs() + kWaitNs;
    while (Slurp(process.log()).find(text) == std::string::npos) {
        if (MonotonicNs() > deadline)
            Die("no \"" + text + "\" from a hub:\n" + Slurp(process.log()));
        SleepNs(10'000'000);
    }
}

std::string RedisCli(const std::string& cli, int port, const std::string& command)
{
    const std::string line = cli + " -p " + std::to_string(port) + " " + command;
    std::string out;
    if (FILE* pipe = popen(line.c_str(), "r")) {
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, pipe))
            out += buffer;
        pclose(pipe);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    return out;
}

// One empty status report from `address`: the hub at `port` hears the system
// there, and so serves it.
void Announce(const std::string& address, int port)
{
    std::array<std::uint8_t, wire::kFirstEntryOffset> report {};
    report[wire::kMarkerOffset] = wire::kMarker;
    report[wire::kCodeOffset] = MSG_STATUSREPORT;
    WriteU16(report, wire::kLengthOffset, static_cast<std::uint16_t>(report.size()));
    WriteField(report, wire::kEntrySystemIdOffset, 15, "ANNOUNCE");
    const int fd = BindUdp(address, 0);
    const sockaddr_in to = Ipv4(kServer, port);
    if (sendto(fd, report.data(), report.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0)
        Die("cannot announce " + address);
    close(fd);
}

struct Latencies {
    double p50 = 0;
    double p99 = 0;
    std::uint64_t lost = 0;
};

Latencies Measure(Sinks& sinks, std::uint64_t sent)
{
    sinks.settle(sent);
    const Sinks::Result result = sinks.finish();
    std::vector<double> us;
    for (const LatencySample& sample : result.samples)
        us.push_back(double(sample.latencyNs) / 1000.0);
    std::sort(us.begin(), us.end());
    return { Percentile(us, 0.5), Percentile(us, 0.99), result.lost(sent) };
}

} // namespace

void ClusterRow(Bench& bench)
{
    const std::string server = FindProgram("redis-server"), cli = FindProgram("redis-cli");
    if (server.empty() || cli.empty()) {
        std::printf("  cluster: redis-server is not installed; row skipped\n");
        return;
    }
    const int redisPort = FreeTcpPortNow();
    const std::string port = std::to_string(redisPort);
    const auto redisFolder = bench.work() / "redis";
    std::filesystem::create_directories(redisFolder);
    // The shell says "ready" once Redis answers, and takes Redis down with it.
    ChildProcess redis({ "/bin/sh", "-c",
                           server + " --port " + port + " --bind 127.0.0.1 --save '' --appendonly no & r=$!; "
                               + "trap 'kill $r; wait $r; exit 0' TERM; until " + cli + " -p " + port
                               + " ping >/dev/null 2>&1; do sleep 0.05; done; echo redis ready; wait $r" },
        redisFolder);
    const std::string url = "redis://127.0.0.1:" + port;

    // The source and the local sink live on A, the remote sink on B.
    const std::vector<SinkAddress> sinks = bench.sinkAddresses(2);
    const SinkAddress local = sinks[0], remote = sinks[1];
    const int portA = bench.basePort(), portB = bench.basePort() + 20;
    auto hubA = bench.startHub("cluster-a",
        { { bench.source(), kSourceSystemPort, "SOURCE", {} }, { local.address, kSinkSystemPort, "LOCAL", {} } },
        { "--headless", "--cluster", url, "--node", "a" });
    auto hubB = bench.startHub("cluster-b", { { remote.address, kSinkSystemPort, "REMOTE", {} } },
        { "--headless", "--base-port", std::to_string(portB), "--cluster", url, "--node", "b" });
    WaitForLine(*hubA, "in step");
    WaitForLine(*hubB, "in step");
    Announce(bench.source(), portA + 1);
    Announce(local.address, portA + 1);
    Announce(remote.address, portB + 1);
    const std::int64_t deadline = MonotonicNs() + kWaitNs;
    const std::string leases = "EXISTS korvel:lease:" + bench.source() + " korvel:lease:" + local.address
        + " korvel:lease:" + remote.address;
    while (RedisCli(cli, redisPort, leases) != "3") {
        if (MonotonicNs() > deadline)
            Die("the hubs never claimed their systems");
        SleepNs(20'000'000);
    }
    SleepNs(300'000'000);

    GeneratorPlan plan;
    plan.sources = { bench.source() };
    plan.target = Ipv4(kServer, portA + 1);

    // Five rounds (one when quick), each a throughput run and a latency run.
    std::vector<double> rates, addedP50, addedP99;
    const int rounds = bench.quick() ? 1 : std::max(bench.rounds(), 5);
    for (int round = 0; round < rounds; ++round) {
        // Throughput: reports in flight bounded by what reached the sink on B.
        {
            Sinks remoteSink({ remote }, false, bench.work());
            plan.mode = GeneratorPlan::Mode::Windowed;
            plan.window = kWindow;
            plan.answered = remoteSink.deliveredCounter();
            LoadGenerator generator(plan);
            SleepNs(300'000'000);
            const std::int64_t start = MonotonicNs();
            const std::uint64_t before = remoteSink.delivered();
            SleepNs(static_cast<std::int64_t>(bench.seconds() * 1e9));
            const std::uint64_t crossed = remoteSink.delivered() - before;
            const double rate = double(crossed) / (double(MonotonicNs() - start) / 1e9);
            const std::uint64_t sent = generator.stop();
            remoteSink.settle(sent);
            const std::uint64_t lost = remoteSink.finish().lost(sent);
            std::printf("  hub       cluster, A to B: %10.0f reports/s (lost %llu of %llu)\n", rate,
                static_cast<unsigned long long>(lost), static_cast<unsigned long long>(sent));
            std::fflush(stdout);
            rates.push_back(rate);
        }

        // Latency: every report reaches the sink on A directly and the one on B
        // through Redis; the same stamp times both.
        const auto localFolder = bench.work() / ("cluster-local-" + std::to_string(round));
        const auto remoteFolder = bench.work() / ("cluster-remote-" + std::to_string(round));
        std::filesystem::create_directories(localFolder);
        std::filesystem::create_directories(remoteFolder);
        Sinks localSink({ local }, true, localFolder);
        Sinks remoteSink({ remote }, true, remoteFolder);
        plan.mode = GeneratorPlan::Mode::Paced;
        plan.rate = kLatencyRate;
        plan.answered = nullptr;
        LoadGenerator generator(plan);
        SleepNs(static_cast<std::int64_t>(bench.seconds() * 1e9));
        const std::uint64_t sent = generator.stop();
        const Latencies near = Measure(localSink, sent), far = Measure(remoteSink, sent);
        std::printf("  hub       cluster, %.0f reports/s: local p50 %.1f us, p99 %.1f us; across p50 %.1f us, p99 %.1f "
                    "us; lost %llu local, %llu across, of %llu\n",
            kLatencyRate, near.p50, near.p99, far.p50, far.p99, static_cast<unsigned long long>(near.lost),
            static_cast<unsigned long long>(far.lost), static_cast<unsigned long long>(sent));
        std::fflush(stdout);
        addedP50.push_back(far.p50 - near.p50);
        addedP99.push_back(far.p99 - near.p99);
    }
    hubA->stop();
    hubB->stop();
    redis.stop();

    Summary& summary = bench.summary();
    summary.line("cluster, hub A to hub B through Redis, reports/s", Fixed(Median(rates), 0), "", "", Spread(rates, 0));
    summary.line("   added by the way through Redis, p50 us", Fixed(Median(addedP50), 0), "", "", Spread(addedP50, 0));
    summary.line("   added by the way through Redis, p99 us", Fixed(Median(addedP99), 0), "", "", Spread(addedP99, 0));
    summary.result("cluster_rate", Fixed(Median(rates), 0));
    summary.result("cluster_p50_us", Fixed(Median(addedP50), 0));
    summary.result("cluster_p99_us", Fixed(Median(addedP99), 0));
}

} // namespace korvel::bench
