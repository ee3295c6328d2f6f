#include "bench_net.h"
#include "desktop.h"
#include "load_generator.h"
#include "processes.h"
#include "sinks.h"
#include "tcp_clients.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace korvel::bench {

namespace {

// Addresses and ports stay clear of the 127.0.0.x systems and the 9000-9004
// and 19000 ports that the test suites use, so a benchmark can run beside them.
const std::string kServer = "127.0.0.1";
const std::string kFanoutSource = "127.0.40.2";
constexpr int kSinkSystemPort = 29000;
constexpr int kSourceSystemPort = 29100;
constexpr int kStoreSenders = 8;
constexpr int kTcpClients = 4;

struct Config {
    std::string hub;
    std::string reference;
    std::filesystem::path work;
    int basePort = 19500;
    bool quick = false;
    double seconds = 3;
    int repeats = 3;
    std::uint64_t window = 256;
    bool keepWork = false;
    // The hub with its window open (a display is needed) instead of headless.
    bool withWindow = false;
    double windowRate = 10000;
    std::string screenshot;
};

enum class Relay { Hub, Reference };

std::int64_t Ns(double seconds)
{
    return static_cast<std::int64_t>(seconds * 1e9);
}
double Seconds(std::int64_t ns)
{
    return double(ns) / 1e9;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

double PercentileUs(std::vector<std::int64_t>& sortedNs, double fraction)
{
    if (sortedNs.empty())
        return 0;
    const auto rank = static_cast<std::size_t>(std::ceil(fraction * double(sortedNs.size())));
    return double(sortedNs[std::clamp<std::size_t>(rank, 1, sortedNs.size()) - 1]) / 1000.0;
}

std::string Nth(const char* prefix, int n)
{
    return std::string(prefix) + std::to_string(n);
}

std::vector<SinkAddress> SinkAddresses(int count)
{
    std::vector<SinkAddress> sinks;
    for (int i = 0; i < count; ++i)
        sinks.push_back({ Nth("127.0.50.", i + 1), kSinkSystemPort + 1 });
    return sinks;
}

std::vector<std::string> Addresses(const char* prefix, int first, int count)
{
    std::vector<std::string> addresses;
    for (int i = 0; i < count; ++i)
        addresses.push_back(Nth(prefix, first + i));
    return addresses;
}

class Bench {
public:
    explicit Bench(Config config)
        : config_(std::move(config))
    {
    }

    int run();

private:
    std::unique_ptr<ChildProcess> startHub(const std::string& label, const std::vector<HubSystem>& systems);
    std::unique_ptr<ChildProcess> startReference(const std::string& label, const std::vector<std::string>& args);
    std::unique_ptr<ChildProcess> startFanoutRelay(Relay relay, const std::vector<SinkAddress>& sinks);
    double fanoutRate(Relay relay, Sinks& sinks);
    struct Latency {
        double p50 = 0, p99 = 0;
        std::int64_t lost = 0;
        std::uint64_t sent = 0;
    };
    Latency latency(Relay relay, Sinks& sinks, double rate);
    double storeRate(int systems);
    double tcpRate(Relay relay);
    struct WindowLoad {
        double delivered = 0, p99 = 0;
        std::int64_t lost = 0;
        StallReport stalls;
    };
    WindowLoad windowLoad(Sinks& sinks, bool screenshot);
    void checkPortsFree(const std::vector<SinkAddress>& sinks) const;
    void printHeader();
    int runWindow();

    Config config_;
    std::filesystem::path lastHubLog_;
    StallReport lastStalls_;
};

std::unique_ptr<ChildProcess> Bench::startHub(const std::string& label, const std::vector<HubSystem>& systems)
{
    const auto folder = config_.work / ("hub-" + label);
    WriteHubFolder(folder, config_.basePort, systems);
    lastHubLog_ = folder / "output.log";
    // With a display in the environment plain `korvel` opens its window.
    auto process = std::make_unique<ChildProcess>(
        std::vector<std::string> { config_.hub, config_.withWindow ? "--report-stalls" : "--headless" }, folder);
    if (config_.withWindow) {
        std::ifstream log(lastHubLog_);
        const std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
        if (text.find("headless") != std::string::npos)
            Die("the hub ran headless: no display for its window");
        // With a system selected the station list is rebuilt under the load too.
        if (!SelectFirstSystem(process->pid()))
            std::printf("  (could not select a system in the hub's window; is xdotool installed?)\n");
    }
    return process;
}

std::unique_ptr<ChildProcess> Bench::startReference(const std::string& label, const std::vector<std::string>& args)
{
    const auto folder = config_.work / ("reference-" + label);
    std::filesystem::create_directories(folder);
    std::vector<std::string> argv { config_.reference };
    argv.insert(argv.end(), args.begin(), args.end());
    return std::make_unique<ChildProcess>(argv, folder);
}

std::unique_ptr<ChildProcess> Bench::startFanoutRelay(Relay relay, const std::vector<SinkAddress>& sinks)
{
    const std::string label = "fanout" + std::to_string(sinks.size());
    if (relay == Relay::Reference) {
        const auto file = config_.work / (label + "-destinations.txt");
        std::ofstream out(file);
        for (const SinkAddress& sink : sinks)
            out << sink.address << ' ' << sink.port << '\n';
        out.close();
        return startReference(label, { "udp", std::to_string(config_.basePort + 1), file.string() });
    }
    std::vector<HubSystem> systems { { kFanoutSource, kSourceSystemPort, "SOURCE", {} } };
    // With the window, the system it shows has as many stations as a system can hold.
    if (config_.withWindow)
        for (int i = 0; i < 3000; ++i)
            systems.front().stations.push_back(std::to_string(41000 + i));
    for (std::size_t i = 0; i < sinks.size(); ++i)
        systems.push_back({ sinks[i].address, kSinkSystemPort, Nth("SINK", int(i + 1)), {} });
    return startHub(label, systems);
}

void Settle(Sinks& sinks)
{
    std::uint64_t last = sinks.delivered();
    for (;;) {
        SleepNs(50'000'000);
        const std::uint64_t now = sinks.delivered();
        if (now == last)
            return;
        last = now;
    }
}

double Bench::fanoutRate(Relay relay, Sinks& sinks)
{
    auto process = startFanoutRelay(relay, SinkAddresses(static_cast<int>(sinks.size())));
    LoadGenerator generator({ kFanoutSource }, Ipv4(kServer, config_.basePort + 1));
    const std::uint64_t fanout = sinks.size();
    const auto answered = [&] { return sinks.delivered() / fanout; };
    generator.windowed(Ns(config_.quick ? 0.2 : 0.5), config_.window, answered);
    const std::uint64_t before = sinks.delivered();
    const std::vector<std::uint64_t> perBefore = sinks.perSink();
    const double cpuBefore = ProcessCpuSeconds(process->pid());
    const double benchBefore = ProcessCpuSeconds(getpid());
    const SendStats stats = generator.windowed(Ns(config_.seconds), config_.window, answered);
    const std::uint64_t after = sinks.delivered();
    const std::vector<std::uint64_t> perAfter = sinks.perSink();
    const double cpu = (ProcessCpuSeconds(process->pid()) - cpuBefore) / Seconds(stats.endNs - stats.startNs);
    const double benchCpu = (ProcessCpuSeconds(getpid()) - benchBefore) / Seconds(stats.endNs - stats.startNs);
    process->stop();
    Settle(sinks);
    if (relay == Relay::Hub && config_.withWindow)
        lastStalls_ = ReadStallReport(lastHubLog_);

    std::uint64_t least = UINT64_MAX, most = 0;
    for (std::size_t i = 0; i < perAfter.size(); ++i) {
        least = std::min(least, perAfter[i] - perBefore[i]);
        most = std::max(most, perAfter[i] - perBefore[i]);
    }
    const double rate = double(after - before) / Seconds(stats.endNs - stats.startNs);
    std::printf("  %-9s fan-out %3zu: %10.0f delivered/s (%llu reports in, per sink %llu..%llu, stalls %llu, "
                "cpu %.0f%%, bench cpu %.0f%%)\n",
        relay == Relay::Hub ? "hub" : "reference", sinks.size(), rate, static_cast<unsigned long long>(stats.sent),
        static_cast<unsigned long long>(least), static_cast<unsigned long long>(most),
        static_cast<unsigned long long>(stats.stalls), cpu * 100, benchCpu * 100);
    if (relay == Relay::Hub && config_.withWindow)
        std::printf("  hub       window: longest event-loop stall %lld ms, %d over 100 ms\n",
            static_cast<long long>(lastStalls_.longestMs), lastStalls_.stalls);
    std::fflush(stdout);
    return rate;
}

Bench::Latency Bench::latency(Relay relay, Sinks& sinks, double rate)
{
    auto process = startFanoutRelay(relay, SinkAddresses(static_cast<int>(sinks.size())));
    LoadGenerator generator({ kFanoutSource }, Ipv4(kServer, config_.basePort + 1));
    generator.paced(Ns(0.2), rate);
    Settle(sinks);
    const double seconds = config_.quick ? config_.seconds : config_.seconds * 2;
    const std::uint64_t before = sinks.delivered();
    sinks.startRecording(static_cast<std::size_t>(rate * seconds * double(sinks.size()) * 1.1));
    const SendStats stats = generator.paced(Ns(seconds), rate);
    Settle(sinks);
    std::vector<std::int64_t> samples = sinks.stopRecording();
    const std::uint64_t delivered = sinks.delivered() - before;
    process->stop();

    std::sort(samples.begin(), samples.end());
    Latency result;
    result.sent = stats.sent;
    result.lost = static_cast<std::int64_t>(stats.sent * sinks.size()) - static_cast<std::int64_t>(delivered);
    result.p50 = PercentileUs(samples, 0.50);
    result.p99 = PercentileUs(samples, 0.99);
    std::printf("  %-9s latency at %.0f reports/s: p50 %.1f us, p99 %.1f us, max %.1f us, lost %lld of %llu\n",
        relay == Relay::Hub ? "hub" : "reference", rate, result.p50, result.p99, PercentileUs(samples, 1.0),
        static_cast<long long>(result.lost), static_cast<unsigned long long>(stats.sent * sinks.size()));
    std::fflush(stdout);
    return result;
}

double Bench::storeRate(int systemCount)
{
    const std::vector<std::string> senders = Addresses("127.0.41.", 2, kStoreSenders);
    std::vector<HubSystem> systems;
    for (int i = 0; i < kStoreSenders; ++i)
        systems.push_back({ senders[std::size_t(i)], kSourceSystemPort, Nth("SENDER", i + 1), {} });
    for (int i = 0; i < systemCount - kStoreSenders; ++i)
        systems.push_back({ "127.0." + std::to_string(100 + i / 250) + "." + std::to_string(1 + i % 250),
            kSinkSystemPort, Nth("SYSTEM", i + 1), {} });
    auto hub = startHub("store" + std::to_string(systemCount), systems);

    // Receive-only endpoint: decoded and stored, never forwarded. Nothing comes
    // back, so the hub's socket itself says how much it took: what was sent,
    // less what the kernel dropped, by the time its queue is empty.
    const int port = config_.basePort + 3;
    // Two generators, so that the hub is kept saturated: its drain then
    // always takes full batches, and its CPU time per datagram does not
    // depend on how fast this machine happened to offer them.
    const std::vector<std::string> firstHalf(senders.begin(), senders.begin() + kStoreSenders / 2);
    const std::vector<std::string> secondHalf(senders.begin() + kStoreSenders / 2, senders.end());
    LoadGenerator generator(firstHalf, Ipv4(kServer, port));
    LoadGenerator helper(secondHalf, Ipv4(kServer, port));
    const auto blast = [&](double seconds) {
        std::thread second([&] { helper.blast(Ns(seconds)); });
        const SendStats stats = generator.blast(Ns(seconds));
        second.join();
        return stats;
    };
    const auto drained = [&](std::uint64_t& drops) {
        std::uint64_t queued = 0;
        for (int i = 0; i < 20000; ++i) {
            if (!UdpSocketStats(port, queued, drops))
                Die("the hub's receive-only socket is gone");
            if (queued == 0)
                return MonotonicNs();
            SleepNs(500'000);
        }
        Die("the hub never emptied its receive-only socket");
    };
    std::uint64_t dropsBefore = 0, dropsAfter = 0;
    blast(0.2);
    drained(dropsBefore);
    const double cpuBefore = ProcessCpuSeconds(hub->pid());
    const std::uint64_t sentBefore = generator.sent() + helper.sent();
    SendStats stats = blast(config_.seconds);
    stats.sent = generator.sent() + helper.sent() - sentBefore;
    const std::int64_t end = drained(dropsAfter);
    const double cpu = ProcessCpuSeconds(hub->pid()) - cpuBefore;
    hub->stop();

    // The wall-clock rate is what the hub got done on its share of a busy
    // machine; datagrams per second of its own CPU time is its capacity, and
    // it is what the scale compares.
    const std::uint64_t handled = stats.sent - (dropsAfter - dropsBefore);
    const double rate = double(handled) / Seconds(end - stats.startNs);
    const double perCpuSecond = cpu > 0 ? double(handled) / cpu : 0;
    std::printf("  hub       store, %4d systems: %10.0f handled/s, %10.0f per CPU second (%llu sent, %llu dropped "
                "by the kernel)\n",
        systemCount, rate, perCpuSecond, static_cast<unsigned long long>(stats.sent),
        static_cast<unsigned long long>(dropsAfter - dropsBefore));
    std::fflush(stdout);
    return perCpuSecond;
}

double Bench::tcpRate(Relay relay)
{
    const std::vector<std::string> clients = Addresses("127.0.60.", 2, kTcpClients);
    std::unique_ptr<ChildProcess> process;
    if (relay == Relay::Reference) {
        process = startReference("tcp", { "tcp", std::to_string(config_.basePort) });
    } else {
        std::vector<std::string> stations;
        for (int i = 0; i < 50; ++i)
            stations.push_back(std::to_string(42000 + i));
        std::vector<HubSystem> systems;
        for (int i = 0; i < kTcpClients; ++i)
            systems.push_back({ clients[std::size_t(i)], kSourceSystemPort, Nth("CLIENT", i + 1), stations });
        process = startHub("tcp", systems);
    }
    RunGetDataClients(clients, kServer, config_.basePort, Ns(config_.quick ? 0.2 : 0.5));
    const TcpStats stats = RunGetDataClients(clients, kServer, config_.basePort, Ns(config_.seconds));
    process->stop();
    const double rate = double(stats.answered) / stats.seconds;
    std::printf("  %-9s TCP GetData: %10.0f answered/s (%llu failed)\n", relay == Relay::Hub ? "hub" : "reference",
        rate, static_cast<unsigned long long>(stats.failed));
    std::fflush(stdout);
    return rate;
}

Bench::WindowLoad Bench::windowLoad(Sinks& sinks, bool screenshot)
{
    auto process = startFanoutRelay(Relay::Hub, SinkAddresses(static_cast<int>(sinks.size())));
    LoadGenerator generator({ kFanoutSource }, Ipv4(kServer, config_.basePort + 1));
    const double rate = config_.windowRate;
    generator.paced(Ns(0.5), rate);
    Settle(sinks);
    const double seconds = std::max(3.0, config_.seconds * 2);
    const std::uint64_t before = sinks.delivered();
    sinks.startRecording(static_cast<std::size_t>(rate * seconds * double(sinks.size()) * 1.1));
    bool shot = false;
    std::thread camera;
    if (screenshot)
        camera = std::thread([&] {
            SleepNs(Ns(seconds / 2));
            shot = Screenshot(config_.screenshot);
        });
    const double cpuBefore = ProcessCpuSeconds(process->pid());
    const SendStats stats = generator.paced(Ns(seconds), rate);
    const double cpu = (ProcessCpuSeconds(process->pid()) - cpuBefore) / Seconds(stats.endNs - stats.startNs);
    Settle(sinks);
    std::vector<std::int64_t> samples = sinks.stopRecording();
    const std::uint64_t delivered = sinks.delivered() - before;
    if (camera.joinable())
        camera.join();
    process->stop();

    std::sort(samples.begin(), samples.end());
    WindowLoad result;
    result.delivered = double(delivered) / Seconds(stats.endNs - stats.startNs);
    result.lost = static_cast<std::int64_t>(stats.sent * sinks.size()) - static_cast<std::int64_t>(delivered);
    result.p99 = PercentileUs(samples, 0.99);
    result.stalls = ReadStallReport(lastHubLog_);
    std::printf("  hub       window, %.0f reports/s x %zu for %.0f s: %.0f delivered/s, lost %lld, p99 %.1f us, "
                "cpu %.0f%%, longest event-loop stall %lld ms, %d over 100 ms\n",
        rate, sinks.size(), seconds, result.delivered, static_cast<long long>(result.lost), result.p99, cpu * 100,
        static_cast<long long>(result.stalls.longestMs), result.stalls.stalls);
    if (screenshot)
        std::printf("  %s %s\n", shot ? "screenshot under load saved in" : "could not take a screenshot into",
            config_.screenshot.c_str());
    std::fflush(stdout);
    return result;
}

void Bench::checkPortsFree(const std::vector<SinkAddress>& sinks) const
{
    const int base = config_.basePort;
    if (!TcpPortFree(base))
        Die("TCP port " + std::to_string(base) + " is taken; choose another --base-port");
    for (int port : { base + 1, base + 3, base + 4, sinks.front().port })
        if (!UdpPortFree(port))
            Die("UDP port " + std::to_string(port) + " is taken; choose another --base-port");
}

void Bench::printHeader()
{
    std::printf("korvel benchmark: %s mode%s, %.1f s per measurement, %d repeat(s), base port %d, %ld CPUs\n",
        config_.quick ? "quick" : "full", config_.withWindow ? " with the hub's window" : "", config_.seconds,
        config_.repeats, config_.basePort, sysconf(_SC_NPROCESSORS_ONLN));
    double load = 0;
    if (std::FILE* file = std::fopen("/proc/loadavg", "r")) {
        if (std::fscanf(file, "%lf", &load) != 1)
            load = 0;
        std::fclose(file);
    }
    if (load > 1.0)
        std::printf("warning: load average %.2f before the start: other programs share the CPUs, expect noise\n", load);
    std::fflush(stdout);
}

// The hub with its window open, logging off: how much of its relaying the
// window costs, and whether the window stays responsive while it relays.
int Bench::runWindow()
{
    checkPortsFree(SinkAddresses(10));
    printHeader();
    std::vector<double> hub10, ref10, fanoutStall, loadStall, loadRate, loadP99;
    std::int64_t worst = 0, lost = 0;
    int stalls = 0;
    Sinks sinks(SinkAddresses(10));
    for (int r = 0; r < config_.repeats; ++r) {
        ref10.push_back(fanoutRate(Relay::Reference, sinks));
        hub10.push_back(fanoutRate(Relay::Hub, sinks));
        fanoutStall.push_back(double(lastStalls_.longestMs));
        worst = std::max(worst, lastStalls_.longestMs);
        stalls += lastStalls_.stalls;
    }
    for (int r = 0; r < config_.repeats; ++r) {
        const WindowLoad load = windowLoad(sinks, r == 0 && !config_.screenshot.empty());
        loadRate.push_back(load.delivered);
        loadP99.push_back(load.p99);
        loadStall.push_back(double(load.stalls.longestMs));
        worst = std::max(worst, load.stalls.longestMs);
        stalls += load.stalls.stalls;
        lost += load.lost;
    }
    const double f10 = Median(hub10) / Median(ref10);
    char heading[64];
    std::printf("\n%-44s %14s %14s %8s\n", "scenario (median of runs)", "hub+window", "reference", "ratio");
    std::printf("%-44s %14.0f %14.0f %8.2f\n", "1. fan-out to 10, delivered/s", Median(hub10), Median(ref10), f10);
    std::printf("%-44s %14.0f\n", "   longest event-loop stall, ms", Median(fanoutStall));
    std::snprintf(heading, sizeof heading, "2. %.0f reports/s x 10, delivered/s", config_.windowRate);
    std::printf("%-44s %14.0f\n", heading, Median(loadRate));
    std::printf("%-44s %14.1f\n", "   p99 us", Median(loadP99));
    std::printf("%-44s %14lld\n", "   datagrams lost (all runs)", static_cast<long long>(lost));
    std::printf("%-44s %14.0f\n", "   longest event-loop stall, ms", Median(loadStall));
    std::printf("%-44s %14lld\n", "worst stall of all runs, ms", static_cast<long long>(worst));
    std::printf("%-44s %14d\n", "stalls over 100 ms, all runs", stalls);
    std::printf("RESULT window_fanout10=%.2f max_stall_ms=%lld\n", f10, static_cast<long long>(worst));
    return 0;
}

int Bench::run()
{
    if (config_.withWindow)
        return runWindow();
    const auto sinks100 = SinkAddresses(100);
    checkPortsFree(sinks100);
    printHeader();

    std::vector<double> hub10, ref10, hub100, ref100, hubTcp, refTcp;
    Latency hubLatency, refLatency;
    double rate = 0;
    {
        Sinks sinks(SinkAddresses(10));
        for (int r = 0; r < config_.repeats; ++r) {
            ref10.push_back(fanoutRate(Relay::Reference, sinks));
            hub10.push_back(fanoutRate(Relay::Hub, sinks));
        }
        rate = Median(ref10) / 10 / 2;
        refLatency = latency(Relay::Reference, sinks, rate);
        hubLatency = latency(Relay::Hub, sinks, rate);
    }
    {
        Sinks sinks(sinks100);
        for (int r = 0; r < config_.repeats; ++r) {
            ref100.push_back(fanoutRate(Relay::Reference, sinks));
            hub100.push_back(fanoutRate(Relay::Hub, sinks));
        }
    }
    std::vector<double> store10, store2000;
    for (int r = 0; r < config_.repeats; ++r) {
        store10.push_back(storeRate(10));
        store2000.push_back(storeRate(2000));
    }
    for (int r = 0; r < config_.repeats; ++r) {
        refTcp.push_back(tcpRate(Relay::Reference));
        hubTcp.push_back(tcpRate(Relay::Hub));
    }

    const double f10 = Median(hub10) / Median(ref10);
    const double f100 = Median(hub100) / Median(ref100);
    const double scale = Median(store2000) / Median(store10);
    const double tcp = Median(hubTcp) / Median(refTcp);

    std::printf("\n%-44s %14s %14s %8s\n", "scenario (median of runs)", "hub", "reference", "ratio");
    std::printf("%-44s %14.0f %14.0f %8.2f\n", "1. fan-out to 10, delivered/s", Median(hub10), Median(ref10), f10);
    std::printf("%-44s %14.0f %14.0f %8.2f\n", "2. fan-out to 100, delivered/s", Median(hub100), Median(ref100), f100);
    std::printf("%-44s %14.0f %14s\n", "3. store, 10 systems, handled/CPU-s", Median(store10), "-");
    std::printf(
        "%-44s %14.0f %14s %8.2f\n", "   store, 2000 systems, handled/CPU-s (vs 10)", Median(store2000), "-", scale);
    std::printf("%-44s %14.0f %14.0f %8.2f\n", "4. TCP GetData, answered/s", Median(hubTcp), Median(refTcp), tcp);
    char heading[64];
    std::snprintf(heading, sizeof heading, "5. latency at %.0f reports/s x 10, p50 us", rate);
    std::printf("%-44s %14.1f %14.1f\n", heading, hubLatency.p50, refLatency.p50);
    std::printf("%-44s %14.1f %14.1f\n", "   p99 us", hubLatency.p99, refLatency.p99);
    std::printf("%-44s %14lld %14lld\n", "   datagrams lost", static_cast<long long>(hubLatency.lost),
        static_cast<long long>(refLatency.lost));
    std::printf("RESULT fanout10=%.2f fanout100=%.2f store_scale=%.2f tcp=%.2f p99_us=%.0f lost=%lld\n", f10, f100,
        scale, tcp, hubLatency.p99, static_cast<long long>(hubLatency.lost));
    return 0;
}

[[noreturn]] void Usage(int status = 2)
{
    std::fprintf(status ? stderr : stdout,
        "usage: korvel_bench --hub PATH --reference PATH [options]\n"
        "\n"
        "  --quick         one short run of each measurement (under a minute)\n"
        "  --seconds S     length of each measurement (default 3, quick 1)\n"
        "  --repeats N     runs of each throughput measurement; the median counts (default 3, quick 1)\n"
        "  --base-port N   the hub's and the reference's base port (default 19500)\n"
        "  --window N      status reports in flight in the throughput runs (default 256)\n"
        "  --work DIR      working folder (default: a new one under /tmp, removed at the end)\n"
        "  --keep          keep the working folder, with each program's output.log\n"
        "  --with-window   run the hub with its window (needs a display) and --report-stalls:\n"
        "                  fan-out to 10 against the reference, then a fixed rate of reports\n"
        "  --window-rate R reports a second in the fixed-rate run with the window (default 10000)\n"
        "  --screenshot F  save the screen into F halfway through the first fixed-rate run\n");
    std::exit(status);
}

} // namespace

} // namespace korvel::bench

int main(int argc, char* argv[])
{
    using namespace korvel::bench;
    Config config;
    bool secondsGiven = false, repeatsGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                Usage();
            return argv[++i];
        };
        if (arg == "--hub")
            config.hub = value();
        else if (arg == "--reference")
            config.reference = value();
        else if (arg == "--quick")
            config.quick = true;
        else if (arg == "--seconds")
            config.seconds = std::stod(value()), secondsGiven = true;
        else if (arg == "--repeats")
            config.repeats = std::stoi(value()), repeatsGiven = true;
        else if (arg == "--base-port")
            config.basePort = std::stoi(value());
        else if (arg == "--window")
            config.window = std::stoull(value());
        else if (arg == "--work")
            config.work = value();
        else if (arg == "--keep")
            config.keepWork = true;
        else if (arg == "--with-window")
            config.withWindow = true;
        else if (arg == "--window-rate")
            config.windowRate = std::stod(value());
        else if (arg == "--screenshot")
            config.screenshot = std::filesystem::absolute(value()).string();
        else if (arg == "--help" || arg == "-h")
            Usage(0);
        else
            Usage();
    }
    if (config.hub.empty() || config.reference.empty())
        Usage();
    if (config.withWindow && !std::getenv("DISPLAY"))
        Die("--with-window needs an X display (bench/run.sh --window starts one with xvfb-run)");
    if (config.quick) {
        if (!secondsGiven)
            config.seconds = 1;
        if (!repeatsGiven)
            config.repeats = 1;
    }
    const bool ownWork = config.work.empty();
    if (ownWork) {
        char folder[] = "/tmp/korvel-bench-XXXXXX";
        if (!mkdtemp(folder))
            Die("cannot make a working folder");
        config.work = folder;
    }
    config.hub = std::filesystem::absolute(config.hub).string();
    config.reference = std::filesystem::absolute(config.reference).string();
    const auto work = config.work;
    const bool keep = config.keepWork;
    const int status = Bench(std::move(config)).run();
    if (ownWork && !keep)
        std::filesystem::remove_all(work);
    return status;
}
