// The hub as a presence server: 2,000 stations x 10 watchers subscribed over
// TCP, 1,000 status reports a second, each told to its 10 watchers. The
// watchers here are a minimal client of the harness's own: they subscribe,
// answer every NOTIFY and time it against the report that caused it.
#include "bench.h"
#include "bench_net.h"

#include "protocol/request_builders.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

namespace korvel::bench {

namespace {

constexpr int kStations = 2000;
constexpr int kWatchers = 10;
constexpr int kFirstStation = 60000;
constexpr double kReportRate = 1000;

struct Watchers {
    std::vector<int> fds;
    std::vector<std::string> input;
    // When the latest report of each station was sent (monotonic ns).
    std::vector<std::atomic<std::int64_t>> sentNs = std::vector<std::atomic<std::int64_t>>(kStations);
    std::atomic<std::uint64_t> subscribed { 0 };
    std::atomic<std::uint64_t> notifies { 0 };
    std::atomic<bool> measuring { false };
    std::atomic<bool> stop { false };
    std::vector<double> delaysUs; // only the receiving thread writes, while measuring
    std::uint64_t measured = 0;
};

std::string Header(const std::string& message, const char* name)
{
    std::string lines;
    for (std::size_t at = message.find(name); at != std::string::npos; at = message.find(name, at + 1)) {
        if (at != 0 && message[at - 1] != '\n')
            continue;
        const std::size_t end = message.find("\r\n", at);
        lines += message.substr(at, end - at + 2);
    }
    return lines;
}

void Handle(Watchers& w, int fd, const std::string& message)
{
    if (message.starts_with("SIP/2.0 ")) {
        if (message.starts_with("SIP/2.0 200"))
            w.subscribed.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    if (!message.starts_with("NOTIFY "))
        return;
    const std::int64_t now = MonotonicNs();
    const std::string answer = "SIP/2.0 200 OK\r\n" + Header(message, "Via:") + Header(message, "From:")
        + Header(message, "To:") + Header(message, "Call-ID:") + Header(message, "CSeq:") + "Content-Length: 0\r\n\r\n";
    if (send(fd, answer.data(), answer.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(answer.size()))
        Die("a watcher could not answer a NOTIFY");
    w.notifies.fetch_add(1, std::memory_order_relaxed);
    if (!w.measuring.load(std::memory_order_relaxed))
        return;
    const std::size_t at = message.find("Call-ID: s");
    if (at == std::string::npos)
        return;
    const int station = std::atoi(message.c_str() + at + 10) - kFirstStation;
    if (station < 0 || station >= kStations)
        return;
    const std::int64_t sent = w.sentNs[std::size_t(station)].load(std::memory_order_acquire);
    if (sent != 0) {
        w.delaysUs.push_back(double(now - sent) / 1000.0);
        ++w.measured;
    }
}

void Receive(Watchers& w)
{
    std::vector<pollfd> polled;
    for (int fd : w.fds)
        polled.push_back({ fd, POLLIN, 0 });
    char buffer[65536];
    while (!w.stop.load(std::memory_order_relaxed)) {
        if (poll(polled.data(), polled.size(), 50) <= 0)
            continue;
        for (std::size_t i = 0; i < polled.size(); ++i) {
            if (!(polled[i].revents & POLLIN))
                continue;
            const ssize_t got = recv(polled[i].fd, buffer, sizeof buffer, 0);
            if (got <= 0)
                Die("the hub closed a watcher's connection");
            std::string& in = w.input[i];
            in.append(buffer, std::size_t(got));
            // Messages are cut off the front once per read, not one by one.
            std::size_t from = 0;
            for (;;) {
                const std::size_t end = in.find("\r\n\r\n", from);
                if (end == std::string::npos)
                    break;
                std::size_t length = 0;
                if (const std::size_t at = in.find("Content-Length: ", from); at != std::string::npos && at < end)
                    length = std::strtoul(in.c_str() + at + 16, nullptr, 10);
                if (in.size() < end + 4 + length)
                    break;
                Handle(w, polled[i].fd, in.substr(from, end + 4 + length - from));
                from = end + 4 + length;
            }
            in.erase(0, from);
        }
    }
}

std::string Subscribe(int watcher, int station, int port)
{
    const std::string number = std::to_string(kFirstStation + station);
    return "SUBSCRIBE sip:" + number + "@127.0.0.1:" + std::to_string(port)
        + " SIP/2.0\r\nVia: SIP/2.0/TCP 127.0.0.1:5999;branch=z9hG4bKw" + std::to_string(watcher) + "s" + number
        + "\r\nFrom: <sip:w" + std::to_string(watcher) + "@127.0.0.1>;tag=w" + std::to_string(watcher)
        + "\r\nTo: <sip:" + number + "@127.0.0.1>\r\nCall-ID: s" + number + "w" + std::to_string(watcher)
        + "\r\nCSeq: 1 SUBSCRIBE\r\nContact: <sip:w" + std::to_string(watcher)
        + "@127.0.0.1:5999;transport=tcp>\r\nMax-Forwards: 70\r\nEvent: dialog\r\nExpires: 3600\r\nContent-Length: "
          "0\r\n\r\n";
}

} // namespace

void SipRow(Bench& bench)
{
    const int sipPort = bench.basePort() + 10;
    auto hub = bench.startHub("sip", { { bench.source(), kSourceSystemPort, "KNOWN", {} } },
        { "--headless", "--sip", "127.0.0.1:" + std::to_string(sipPort), "--max-sip-subscriptions-per-source",
            "100000" });
    const std::uint64_t rssBefore = ProcessRssBytes(hub->pid());

    Watchers w;
    for (int i = 0; i < kWatchers; ++i) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in server = Ipv4(kServer, sipPort);
        if (connect(fd, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0)
            Die("cannot connect to the hub's SIP port");
        w.fds.push_back(fd);
        w.input.emplace_back();
    }
    std::thread receiver(Receive, std::ref(w));
    const std::int64_t subscribeStart = MonotonicNs();
    for (int station = 0; station < kStations; ++station) {
        for (int i = 0; i < kWatchers; ++i) {
            const std::string request = Subscribe(i, station, sipPort);
            if (send(w.fds[std::size_t(i)], request.data(), request.size(), MSG_NOSIGNAL) < 0)
                Die("cannot subscribe");
        }
        // A proxy's pace: at most a few thousand subscriptions unanswered.
        const std::uint64_t sent = std::uint64_t(station + 1) * kWatchers;
        while (w.subscribed.load() + 2000 < sent && MonotonicNs() - subscribeStart < 60'000'000'000)
            SleepNs(1'000'000);
    }
    constexpr std::uint64_t kSubscriptions = std::uint64_t(kStations) * kWatchers;
    while ((w.subscribed.load() < kSubscriptions || w.notifies.load() < kSubscriptions)
        && MonotonicNs() - subscribeStart < 60'000'000'000)
        SleepNs(10'000'000);
    if (w.subscribed.load() < kSubscriptions)
        Die("only " + std::to_string(w.subscribed.load()) + " subscriptions were taken");

    const double seconds = bench.quick() ? 2 : std::max(5.0, bench.seconds());
    const int reports = int(kReportRate * seconds);
    const int fd = BindUdp(bench.source(), kSourceSystemPort);
    const sockaddr_in target = Ipv4(kServer, bench.basePort() + 1);
    const std::uint64_t notifiesBefore = w.notifies.load();
    const double cpuBefore = ProcessCpuSeconds(hub->pid());
    w.measuring = true;
    const std::int64_t start = MonotonicNs();
    for (int i = 0; i < reports; ++i) {
        SleepUntilMonotonic(start + std::int64_t(i) * 1'000'000'000 / std::int64_t(kReportRate));
        const int station = i % kStations;
        // Busy and idle in turn, so that every report changes the lamp.
        const std::uint8_t state = (i / kStations) % 2 == 0 ? 1 : 0;
        const Packet report
            = BuildEntryPacket(MSG_STATUSREPORT, "KNOWN", { std::to_string(kFirstStation + station) }, state);
        w.sentNs[std::size_t(station)].store(MonotonicNs(), std::memory_order_release);
        if (sendto(fd, report.data(), report.size(), 0, reinterpret_cast<const sockaddr*>(&target), sizeof target) < 0)
            Die("cannot send a report to the hub");
    }
    const std::uint64_t expected = std::uint64_t(reports) * kWatchers;
    const std::int64_t sentAll = MonotonicNs();
    while (w.notifies.load() - notifiesBefore < expected && MonotonicNs() - sentAll < 10'000'000'000)
        SleepNs(10'000'000);
    const double cpu = ProcessCpuSeconds(hub->pid()) - cpuBefore;
    const double elapsed = double(MonotonicNs() - start) / 1e9;
    // What holding the subscriptions costs, taken after the NOTIFYs, once
    // the allocator has had a second to hand back what the bursts left.
    SleepNs(1'500'000'000);
    const std::uint64_t rssAfter = ProcessRssBytes(hub->pid());
    w.stop = true;
    receiver.join();
    close(fd);
    for (int watcher : w.fds)
        close(watcher);
    hub->stop();

    const std::uint64_t told = w.notifies.load() - notifiesBefore;
    const std::uint64_t lost = told >= expected ? 0 : expected - told;
    std::sort(w.delaysUs.begin(), w.delaysUs.end());
    const double p50 = w.delaysUs.empty() ? 0 : Percentile(w.delaysUs, 0.5) / 1000.0;
    const double p99 = w.delaysUs.empty() ? 0 : Percentile(w.delaysUs, 0.99) / 1000.0;
    const double cpuPerNotify = told ? cpu * 1e6 / double(told) : 0;
    const double bytesPerSubscription
        = double(rssAfter > rssBefore ? rssAfter - rssBefore : 0) / double(kSubscriptions);
    std::printf("  hub       %llu subscriptions; %d reports in %.1f s -> %llu NOTIFYs (%.0f/s), %llu lost; report to "
                "NOTIFY p50 %.2f ms, p99 %.2f ms; %.1f us CPU per NOTIFY; %.0f bytes per subscription\n",
        static_cast<unsigned long long>(kSubscriptions), reports, elapsed, static_cast<unsigned long long>(told),
        double(told) / elapsed, static_cast<unsigned long long>(lost), p50, p99, cpuPerNotify, bytesPerSubscription);
    std::fflush(stdout);
    bench.summary().addLost(lost);
    Summary& summary = bench.summary();
    summary.line("sip: report-to-NOTIFY p50 / p99, ms", Fixed(p50, 2) + " / " + Fixed(p99, 2));
    summary.line("sip: CPU per NOTIFY, us", Fixed(cpuPerNotify, 1));
    summary.line("sip: bytes per subscription", Fixed(bytesPerSubscription, 0));
    summary.result("sip_p50_ms", Fixed(p50, 2));
    summary.result("sip_p99_ms", Fixed(p99, 2));
    summary.result("sip_cpu_us", Fixed(cpuPerNotify, 1));
    summary.result("sip_bytes_per_subscription", Fixed(bytesPerSubscription, 0));
    summary.result("sip_lost", std::to_string(lost));
}

} // namespace korvel::bench
