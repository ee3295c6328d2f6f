// Forged senders: datagrams from thousands of new addresses fill the table
// while a known system keeps reporting. How long the event loop stalls, and
// how far behind the known system's reports are when the flood ends.
#include "bench.h"
#include "bench_net.h"
#include "desktop.h"

#include "protocol/request_builders.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

namespace korvel::bench {

namespace {

constexpr int kFloodRate = 2000;
constexpr int kFloodSeconds = 5;
constexpr int kFloodBlock = 150; // 127.0.150.1 and up: 10,000 addresses, 40 blocks
constexpr int kReports = 200;
constexpr int kFirstStation = 50000;

// Each forged datagram comes from an address of its own, as a spoofing
// sender's would; an acknowledgement asks for no answer and no forward.
void Flood(int port)
{
    const sockaddr_in target = Ipv4(kServer, port);
    const std::uint8_t ack[] = { wire::kMarker, MSG_ACK, 0x00, 0x06, 0x00, 0x01 };
    const std::int64_t start = MonotonicNs();
    for (int i = 0; i < kFloodRate * kFloodSeconds; ++i) {
        SleepUntilMonotonic(start + std::int64_t(i) * 1'000'000'000 / kFloodRate);
        const int fd = TryBindUdp(BlockAddress(kFloodBlock, i), 0);
        if (fd < 0)
            Die("cannot bind a flood address");
        if (sendto(fd, ack, sizeof ack, 0, reinterpret_cast<const sockaddr*>(&target), sizeof target) < 0)
            Die("cannot send to the hub");
        close(fd);
    }
}

// The known system's reports, each with a station of its own, spread over the flood.
void Reports(const std::string& source, int port)
{
    const int fd = BindUdp(source, kSourceSystemPort);
    const sockaddr_in target = Ipv4(kServer, port);
    const std::int64_t start = MonotonicNs();
    for (int i = 0; i < kReports; ++i) {
        SleepUntilMonotonic(start + std::int64_t(i) * kFloodSeconds * 1'000'000'000 / kReports);
        const Packet report = BuildEntryPacket(MSG_STATUSREPORT, "KNOWN", { std::to_string(kFirstStation + i) }, 1);
        if (sendto(fd, report.data(), report.size(), 0, reinterpret_cast<const sockaddr*>(&target), sizeof target) < 0)
            Die("cannot send a report to the hub");
    }
    close(fd);
}

// The stations the hub holds for the known system, as it answers the system's
// own page requests: what it has stored so far.
int StoredStations(const std::string& source, int port)
{
    int stored = 0;
    SequenceCounter sequence;
    for (std::uint16_t page = 0;; ++page) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in local = Ipv4(source, 0);
        const sockaddr_in server = Ipv4(kServer, port);
        timeval timeout { 10, 0 };
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0
            || connect(fd, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0)
            Die("cannot connect to the hub");
        const Packet request = BuildGetDataV2(sequence, "KNOWN", page);
        std::uint8_t answer[wire::kMaxGetResponseSize];
        std::size_t got = 0;
        if (send(fd, request.data(), request.size(), 0) == static_cast<ssize_t>(request.size())) {
            for (ssize_t n; got < wire::kPageHeaderSize || got < ReadU16(answer, wire::kLengthOffset);) {
                n = recv(fd, answer + got, sizeof answer - got, 0);
                if (n <= 0)
                    break;
                got += static_cast<std::size_t>(n);
            }
        }
        close(fd);
        if (got < wire::kPageHeaderSize)
            Die("no page from the hub");
        const int count = ReadU16(answer, wire::kPageArraySizeOffset);
        stored += count;
        if (count < static_cast<int>(wire::kStationsPerPage))
            return stored;
    }
}

} // namespace

void FloodRow(Bench& bench)
{
    const int webPort = bench.basePort() + 8;
    const std::string& known = bench.source();
    // Each round a new hub with a table of its own: the stall comes in kinds
    // of run, so one run says little.
    std::vector<double> longest, storedAtEnds;
    const int rounds = bench.quick() ? 1 : bench.rounds();
    for (int round = 0; round < rounds; ++round) {
        auto hub = bench.startHub("flood-" + std::to_string(round), { { known, kSourceSystemPort, "KNOWN", {} } },
            { "--headless", "--report-stalls", "--http", "127.0.0.1:" + std::to_string(webPort) });
        std::thread reports(Reports, known, bench.basePort() + 1);
        Flood(bench.basePort() + 1);
        reports.join();
        const int storedAtEnd = StoredStations(known, bench.basePort());
        const std::int64_t ended = MonotonicNs();
        int stored = storedAtEnd;
        while (stored < kReports && MonotonicNs() - ended < 30'000'000'000) {
            SleepNs(100'000'000);
            stored = StoredStations(known, bench.basePort());
        }
        const double catchUp = double(MonotonicNs() - ended) / 1e9;
        hub->stop();
        const StallReport stalls = ReadStallReport(hub->log());
        std::printf("  hub       %d datagrams/s from new addresses for %d s: longest event-loop stall %lld ms, %d over "
                    "100 ms; %d of %d reports of a known system stored when the flood ended, %d %.1f s later\n",
            kFloodRate, kFloodSeconds, static_cast<long long>(stalls.longestMs), stalls.stalls, storedAtEnd, kReports,
            stored, catchUp);
        std::fflush(stdout);
        longest.push_back(double(stalls.longestMs));
        storedAtEnds.push_back(storedAtEnd);
    }
    Summary& summary = bench.summary();
    summary.line("flood: longest event-loop stall, ms", Fixed(Median(longest), 0), "", "", Spread(longest, 0));
    summary.line("flood: known reports stored at its end, of 200", Fixed(Median(storedAtEnds), 0), "", "",
        Spread(storedAtEnds, 0));
    summary.result("flood_stall_ms", Fixed(Median(longest), 0));
    summary.result("flood_stored", Fixed(Median(storedAtEnds), 0));
}

} // namespace korvel::bench
