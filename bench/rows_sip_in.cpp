// SIP extensions into the exchanges: 2,000 extensions PUBLISHed to the hub,
// 500 changes a second in total, each change a status report to 100
// exchanges. Timed from the PUBLISH leaving to the report reaching a sink.
#include "bench.h"
#include "bench_net.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace korvel::bench {

namespace {

constexpr int kExtensions = 2000;
constexpr int kFirstExtension = 61000;
constexpr int kExchanges = 100;
constexpr double kChangeRate = 500;
constexpr char kVirtualSystem[] = "127.0.0.249";

struct Shared {
    std::vector<std::atomic<std::int64_t>> sentNs = std::vector<std::atomic<std::int64_t>>(kExtensions);
    std::atomic<std::uint64_t> entries { 0 };
    std::atomic<bool> measuring { false };
    std::atomic<bool> stop { false };
    std::vector<double> delaysUs; // the sink thread alone writes, while measuring
    std::mutex tagsLock;
    std::vector<std::string> tags = std::vector<std::string>(kExtensions);
    std::atomic<std::uint64_t> answered { 0 };
};

void ReadSinks(Shared& s, const std::vector<int>& fds)
{
    std::vector<pollfd> polled;
    for (int fd : fds)
        polled.push_back({ fd, POLLIN, 0 });
    std::uint8_t buffer[2048];
    while (!s.stop.load(std::memory_order_relaxed)) {
        if (poll(polled.data(), polled.size(), 50) <= 0)
            continue;
        for (pollfd& p : polled) {
            if (!(p.revents & POLLIN))
                continue;
            for (;;) {
                const ssize_t got = recv(p.fd, buffer, sizeof buffer, MSG_DONTWAIT);
                if (got <= 0)
                    break;
                const std::int64_t now = MonotonicNs();
                if (got < 38 || buffer[1] != 8)
                    continue;
                const std::size_t count = std::size_t(buffer[36]) << 8 | buffer[37];
                for (std::size_t i = 0; i < count && 38 + 17 * (i + 1) <= std::size_t(got); ++i) {
                    const int extension = std::atoi(reinterpret_cast<const char*>(buffer + 38 + 17 * i));
                    s.entries.fetch_add(1, std::memory_order_relaxed);
                    const int index = extension - kFirstExtension;
                    if (!s.measuring.load(std::memory_order_relaxed) || index < 0 || index >= kExtensions)
                        continue;
                    const std::int64_t sent = s.sentNs[std::size_t(index)].load(std::memory_order_acquire);
                    if (sent != 0)
                        s.delaysUs.push_back(double(now - sent) / 1000.0);
                }
            }
        }
    }
}

// The hub's answers: each 200 carries the extension's next entity tag.
void ReadAnswers(Shared& s, int fd)
{
    char buffer[4096];
    while (!s.stop.load(std::memory_order_relaxed)) {
        pollfd p { fd, POLLIN, 0 };
        if (poll(&p, 1, 50) <= 0)
            continue;
        const ssize_t got = recv(fd, buffer, sizeof buffer - 1, 0);
        if (got <= 0)
            continue;
        buffer[got] = 0;
        const char* id = std::strstr(buffer, "Call-ID: e");
        const char* tag = std::strstr(buffer, "SIP-ETag: ");
        if (std::strncmp(buffer, "SIP/2.0 200", 11) != 0 || !id || !tag)
            continue;
        const int index = std::atoi(id + 10) - kFirstExtension;
        const char* end = std::strstr(tag, "\r\n");
        if (index < 0 || index >= kExtensions || !end)
            continue;
        std::lock_guard lock(s.tagsLock);
        s.tags[std::size_t(index)].assign(tag + 10, end);
        s.answered.fetch_add(1, std::memory_order_relaxed);
    }
}

std::string Publish(int index, bool ringing, const std::string& tag, std::uint64_t number)
{
    const std::string extension = std::to_string(kFirstExtension + index);
    const std::string body = "<?xml version=\"1.0\"?><dialog-info xmlns=\"urn:ietf:params:xml:ns:dialog-info\" "
                             "version=\"1\" state=\"full\" entity=\"sip:"
        + extension + "@127.0.0.1\">"
        + (ringing ? "<dialog id=\"c\" direction=\"recipient\"><state>early</state></dialog>" : "") + "</dialog-info>";
    return "PUBLISH sip:" + extension + "@127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:5998;branch=z9hG4bKp"
        + std::to_string(number) + ";rport\r\nFrom: <sip:bench@127.0.0.1>;tag=b\r\nTo: <sip:" + extension
        + "@127.0.0.1>\r\nCall-ID: e" + extension + "-" + std::to_string(number) + "\r\nCSeq: "
        + std::to_string(number % 100000 + 1) + " PUBLISH\r\nMax-Forwards: 70\r\nEvent: dialog\r\nExpires: 3600\r\n"
        + (tag.empty() ? std::string() : "SIP-If-Match: " + tag + "\r\n")
        + "Content-Type: application/dialog-info+xml\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n"
        + body;
}

} // namespace

void SipInRow(Bench& bench)
{
    const int sipPort = bench.basePort() + 10;
    const std::vector<SinkAddress> sinks = bench.sinkAddresses(kExchanges);
    std::vector<HubSystem> systems;
    for (std::size_t i = 0; i < sinks.size(); ++i)
        systems.push_back({ sinks[i].address, kSinkSystemPort, "SINK" + std::to_string(i + 1), {} });
    auto hub = bench.startHub("sip-in", systems,
        { "--headless", "--sip", "127.0.0.1:" + std::to_string(sipPort), "--sip-system-address", kVirtualSystem });

    Shared s;
    std::vector<int> sinkFds;
    for (const SinkAddress& sink : sinks)
        sinkFds.push_back(BindUdp(sink.address, sink.port));
    const int fd = BindUdp("127.0.0.1", 0);
    const sockaddr_in hubAddress = Ipv4("127.0.0.1", sipPort);
    std::thread sinkReader(ReadSinks, std::ref(s), std::cref(sinkFds));
    std::thread answerReader(ReadAnswers, std::ref(s), fd);
    const auto send = [&](const std::string& request) {
        if (sendto(fd, request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&hubAddress),
                sizeof hubAddress)
            < 0)
            Die("cannot send a PUBLISH to the hub");
    };

    // Every extension published idle first, at the measured pace's double.
    std::uint64_t number = 0;
    const std::int64_t setup = MonotonicNs();
    for (int i = 0; i < kExtensions; ++i) {
        SleepUntilMonotonic(setup + std::int64_t(i) * 1'000'000'000 / std::int64_t(2 * kChangeRate));
        send(Publish(i, false, {}, ++number));
    }
    // Datagrams without the library's retransmissions: one lost is sent again.
    const auto missing = [&s] {
        std::vector<int> indexes;
        std::lock_guard lock(s.tagsLock);
        for (int i = 0; i < kExtensions; ++i) {
            if (s.tags[std::size_t(i)].empty())
                indexes.push_back(i);
        }
        return indexes;
    };
    for (int round = 0; round < 10; ++round) {
        SleepNs(500'000'000);
        const std::vector<int> again = missing();
        if (again.empty())
            break;
        for (int i : again) {
            send(Publish(i, false, {}, ++number));
            SleepNs(2'000'000);
        }
    }
    if (!missing().empty())
        Die(std::to_string(missing().size()) + " extensions could not be published");
    const std::uint64_t setupEntries = std::uint64_t(kExtensions) * kExchanges;
    while (s.entries.load() < setupEntries && MonotonicNs() - setup < 30'000'000'000)
        SleepNs(10'000'000);
    SleepNs(500'000'000);

    const double seconds = bench.quick() ? 4 : std::max(8.0, bench.seconds());
    const int changes = int(kChangeRate * seconds);
    const std::uint64_t entriesBefore = s.entries.load();
    const double cpuBefore = ProcessCpuSeconds(hub->pid());
    s.measuring = true;
    const std::int64_t start = MonotonicNs();
    for (int i = 0; i < changes; ++i) {
        SleepUntilMonotonic(start + std::int64_t(i) * 1'000'000'000 / std::int64_t(kChangeRate));
        const int index = i % kExtensions;
        // Ringing and idle in turn, so that every PUBLISH changes the station.
        const bool ringing = (i / kExtensions) % 2 == 0;
        std::string tag;
        {
            std::lock_guard lock(s.tagsLock);
            tag = s.tags[std::size_t(index)];
        }
        s.sentNs[std::size_t(index)].store(MonotonicNs(), std::memory_order_release);
        send(Publish(index, ringing, tag, ++number));
    }
    const std::uint64_t expected = std::uint64_t(changes) * kExchanges;
    const std::int64_t sentAll = MonotonicNs();
    while (s.entries.load() - entriesBefore < expected && MonotonicNs() - sentAll < 5'000'000'000)
        SleepNs(10'000'000);
    const double cpu = ProcessCpuSeconds(hub->pid()) - cpuBefore;
    const double elapsed = double(MonotonicNs() - start) / 1e9;
    s.stop = true;
    sinkReader.join();
    answerReader.join();
    close(fd);
    for (int sink : sinkFds)
        close(sink);
    hub->stop();

    const std::uint64_t got = s.entries.load() - entriesBefore;
    const std::uint64_t lost = got >= expected ? 0 : expected - got;
    std::sort(s.delaysUs.begin(), s.delaysUs.end());
    const double p50 = s.delaysUs.empty() ? 0 : Percentile(s.delaysUs, 0.5) / 1000.0;
    const double p99 = s.delaysUs.empty() ? 0 : Percentile(s.delaysUs, 0.99) / 1000.0;
    std::printf("  hub       %d extensions, %d changes in %.1f s -> %llu station reports at %d exchanges, %llu lost; "
                "PUBLISH to report p50 %.2f ms, p99 %.2f ms; %.1f us CPU per change\n",
        kExtensions, changes, elapsed, static_cast<unsigned long long>(got), kExchanges,
        static_cast<unsigned long long>(lost), p50, p99, changes ? cpu * 1e6 / changes : 0);
    std::fflush(stdout);
    Summary& summary = bench.summary();
    summary.addLost(lost);
    summary.line("sip-in: PUBLISH-to-report p50 / p99, ms", Fixed(p50, 2) + " / " + Fixed(p99, 2));
    summary.result("sip_in_p50_ms", Fixed(p50, 2));
    summary.result("sip_in_p99_ms", Fixed(p99, 2));
    summary.result("sip_in_lost", std::to_string(lost));
}

} // namespace korvel::bench
