// A big table: the hub's memory per station, and what its periodic save does
// to forwarding.
#include "bench.h"
#include "bench_net.h"
#include "bench_packet.h"
#include "desktop.h"
#include "load_generator.h"

#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace korvel::bench {

namespace {

constexpr int kSystems = 2000;
constexpr int kStationsEach = 3000;
constexpr int kSystemBlock = 100; // 127.0.100.1 and up
constexpr int kFirstStation = 100000;
constexpr int kSinks = 10;
// Every report goes to all 2,011 systems: 40,000 forwards a second.
constexpr double kRate = 20;
// The hub saves 30 s after it starts.
constexpr std::int64_t kSaveDueNs = 30'000'000'000;
constexpr std::int64_t kSaveWaitNs = 120'000'000'000;

std::vector<HubSystem> Systems(const Bench& bench, int stationsEach)
{
    std::vector<HubSystem> systems { { bench.source(), kSourceSystemPort, "SOURCE", {} } };
    const auto sinks = bench.sinkAddresses(kSinks);
    for (int i = 0; i < kSinks; ++i)
        systems.push_back({ sinks[std::size_t(i)].address, kSinkSystemPort, "SINK" + std::to_string(i + 1), {} });
    for (int i = 0; i < kSystems; ++i) {
        HubSystem system { BlockAddress(kSystemBlock, i), kSinkSystemPort, "PBX" + std::to_string(i + 1), {} };
        system.stationCount = stationsEach;
        system.firstStation = kFirstStation;
        systems.push_back(system);
    }
    return systems;
}

// One new station for every big system, from its own address to the
// receive-only endpoint: each station file has changed when the save comes.
void AddOneStationEach(int port)
{
    std::array<std::uint8_t, wire::kFirstEntryOffset + wire::kEntrySize> report {};
    report[wire::kMarkerOffset] = wire::kMarker;
    report[wire::kCodeOffset] = MSG_STATUSREPORT;
    WriteU16(report, wire::kLengthOffset, static_cast<std::uint16_t>(report.size()));
    WriteField(report, wire::kEntrySystemIdOffset, wire::kSystemIdSize, "PBX");
    WriteU16(report, wire::kEntryArraySizeOffset, 1);
    WriteField(report, wire::kFirstEntryOffset, wire::kStationSize, std::to_string(kFirstStation + kStationsEach - 1));
    const sockaddr_in target = Ipv4(kServer, port);
    for (int i = 0; i < kSystems; ++i) {
        const int fd = BindUdp(BlockAddress(kSystemBlock, i), 0);
        if (sendto(fd, report.data(), report.size(), 0, reinterpret_cast<const sockaddr*>(&target), sizeof target) < 0)
            Die("cannot send to the hub's receive-only endpoint");
        close(fd);
        // Paced a little, so the hub's socket never overflows.
        if (i % 200 == 199)
            SleepNs(5'000'000);
    }
}

void WaitDrained(int port)
{
    std::uint64_t queued = 0, drops = 0;
    for (int i = 0; i < 2000; ++i) {
        if (!UdpSocketStats(port, queued, drops))
            Die("the hub's receive-only socket is gone");
        if (queued == 0)
            return;
        SleepNs(5'000'000);
    }
    Die("the hub never emptied its receive-only socket");
}

// When the save's files were written, from the renames that replace them.
struct SaveWindow {
    std::int64_t firstNs = 0;
    std::int64_t lastNs = 0;
    int files = 0;
};

SaveWindow WatchSave(const std::filesystem::path& data, std::int64_t deadlineNs)
{
    const int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    // Each file is replaced by a rename onto its name.
    if (watch < 0 || inotify_add_watch(watch, data.c_str(), IN_MOVED_TO) < 0)
        Die("cannot watch " + data.string());
    SaveWindow window;
    alignas(inotify_event) char buffer[64 * 1024];
    while (MonotonicNs() < deadlineNs) {
        const ssize_t got = read(watch, buffer, sizeof buffer);
        if (got <= 0) {
            SleepNs(1'000'000);
            continue;
        }
        const std::int64_t now = MonotonicNs();
        bool tableWritten = false;
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            const std::string_view name(event->name);
            if (name.ends_with(".dat")) {
                if (window.files++ == 0)
                    window.firstNs = now;
                window.lastNs = now;
                tableWritten = tableWritten || name == "system.dat";
            }
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
        // system.dat is written last.
        if (tableWritten)
            break;
    }
    close(watch);
    return window;
}

} // namespace

void SaveRow(Bench& bench)
{
    const double stations = double(kSystems) * kStationsEach;
    const int rackPort = bench.basePort() + 3;
    std::uint64_t emptyRss = 0;
    {
        auto hub = bench.startHub("save-empty", Systems(bench, 0));
        SleepNs(500'000'000);
        emptyRss = ProcessRssBytes(hub->pid());
    }
    auto hub
        = bench.startHub("save", Systems(bench, kStationsEach - 1), { "--headless", "--report-stalls" }, kSaveWaitNs);
    const double loadSeconds = double(MonotonicNs() - hub->startedNs()) / 1e9;
    AddOneStationEach(rackPort);
    WaitDrained(rackPort);
    SleepNs(200'000'000);
    const std::uint64_t fullRss = ProcessRssBytes(hub->pid());
    const double perStation = double(fullRss - std::min(fullRss, emptyRss)) / stations;
    std::printf("  hub       %d systems x %d stations: loaded in %.1f s, %.0f MB resident (%.0f MB without "
                "stations), %.1f bytes per station\n",
        kSystems, kStationsEach, loadSeconds, double(fullRss) / 1e6, double(emptyRss) / 1e6, perStation);
    std::fflush(stdout);

    const auto sinkAddresses = bench.sinkAddresses(kSinks);
    Sinks sinks(sinkAddresses, true, bench.work());
    GeneratorPlan plan;
    plan.mode = GeneratorPlan::Mode::Paced;
    plan.sources = { bench.source() };
    plan.target = Ipv4(kServer, bench.basePort() + 1);
    plan.rate = kRate;
    LoadGenerator generator(plan);
    const std::int64_t clockOffset = RealtimeNs() - MonotonicNs();
    const SaveWindow save = WatchSave(bench.work() / "hub-save" / "data", hub->startedNs() + kSaveWaitNs);
    SleepNs(1'000'000'000);
    const std::uint64_t sent = generator.stop();
    sinks.settle(sent * kSinks);
    hub->stop();
    const Sinks::Result result = sinks.finish();
    const StallReport stalls = ReadStallReport(hub->log());
    const std::uint64_t lost = result.lost(sent);

    std::vector<double> during, all;
    for (const LatencySample& sample : result.samples) {
        const double ms = double(sample.latencyNs) / 1e6;
        const std::int64_t at = sample.sentNs - clockOffset;
        all.push_back(ms);
        if (save.files > 0 && at >= save.firstNs - 100'000'000 && at <= save.lastNs)
            during.push_back(ms);
    }
    std::sort(during.begin(), during.end());
    std::sort(all.begin(), all.end());
    Summary& summary = bench.summary();
    summary.line("2,000 x 3,000 stations: bytes per station", Fixed(perStation, 1));
    summary.result("bytes_per_station", Fixed(perStation, 0));
    summary.addLost(lost);
    if (save.files == 0) {
        std::printf("  hub       no save seen within %lld s of the start\n",
            static_cast<long long>(kSaveWaitNs / 1'000'000'000));
        summary.line("   save: none seen", "-");
        return;
    }
    std::printf("  hub       save of %d files took %.0f ms (%.0f s after the start); longest event-loop stall %lld ms, "
                "%d over 100 ms; forwards during the save: %zu, p99 %.2f ms, max %.2f ms; over the run p99 %.2f ms; "
                "lost %llu of %llu x %d\n",
        save.files, double(save.lastNs - save.firstNs) / 1e6, double(save.firstNs - hub->startedNs()) / 1e9,
        static_cast<long long>(stalls.longestMs), stalls.stalls, during.size(), Percentile(during, 0.99),
        Percentile(during, 1.0), Percentile(all, 0.99), static_cast<unsigned long long>(lost),
        static_cast<unsigned long long>(sent), kSinks);
    std::fflush(stdout);
    summary.line("   save: longest event-loop stall, ms", std::to_string(stalls.longestMs));
    summary.line("   save: forward latency p99 during it, ms", Fixed(Percentile(during, 0.99), 2));
    summary.line("   save: ms from first file to last", Fixed(double(save.lastNs - save.firstNs) / 1e6, 0));
    summary.result("save_stall_ms", std::to_string(stalls.longestMs));
    summary.result("save_p99_ms", Fixed(Percentile(during, 0.99), 2));
}

} // namespace korvel::bench
