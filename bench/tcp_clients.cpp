#include "tcp_clients.h"

#include "bench_net.h"
#include "protocol/packet_builders.h"

#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <thread>

namespace korvel::bench {

namespace {

bool Exchange(const sockaddr_in& source, const sockaddr_in& server, std::uint16_t sequence)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const int on = 1;
    // The port is picked at connect, per destination, so one source address
    // is not limited to one ephemeral range for all servers.
    setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    const timeval timeout { 2, 0 };
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);

    bool ok = bind(fd, reinterpret_cast<const sockaddr*>(&source), sizeof source) == 0
        && connect(fd, reinterpret_cast<const sockaddr*>(&server), sizeof server) == 0;
    if (ok) {
        std::array<std::uint8_t, wire::kGetDataSize> request {};
        request[wire::kMarkerOffset] = wire::kMarker;
        request[wire::kCodeOffset] = MSG_GETDATA;
        WriteU16(request, wire::kLengthOffset, static_cast<std::uint16_t>(request.size()));
        WriteU16(request, wire::kSequenceOffset, sequence);
        WriteField(request, wire::kSystemIdOffset, wire::kSystemIdSize, "PBX-TCP");
        ok = send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size());
    }
    if (ok) {
        std::array<std::uint8_t, wire::kMaxGetResponseSize> page {};
        std::size_t have = 0;
        std::size_t want = wire::kPageHeaderSize;
        while (ok && have < want) {
            const ssize_t got = recv(fd, page.data() + have, page.size() - have, 0);
            ok = got > 0;
            if (ok)
                have += static_cast<std::size_t>(got);
            if (have >= wire::kPageHeaderSize)
                want = std::min<std::size_t>(ReadU16(page, wire::kLengthOffset), page.size());
        }
        ok = ok && page[wire::kCodeOffset] == MSG_GETRESPONSE && ReadU16(page, wire::kSequenceOffset) == sequence;
    }
    close(fd);
    return ok;
}

} // namespace

TcpStats RunGetDataClients(
    const std::vector<std::string>& sources, const std::string& server, int port, std::int64_t durationNs)
{
    std::atomic<std::uint64_t> answered { 0 };
    std::atomic<std::uint64_t> failed { 0 };
    const sockaddr_in target = Ipv4(server, port);
    const std::int64_t start = MonotonicNs();
    const std::int64_t end = start + durationNs;
    std::vector<std::thread> clients;
    for (const std::string& address : sources) {
        clients.emplace_back([&, source = Ipv4(address, 0)] {
            std::uint16_t sequence = 1;
            while (MonotonicNs() < end) {
                if (Exchange(source, target, sequence++))
                    answered.fetch_add(1, std::memory_order_relaxed);
                else
                    failed.fetch_add(1, std::memory_order_relaxed);
            }
        });
    }
    for (auto& client : clients)
        client.join();
    TcpStats stats;
    stats.answered = answered.load();
    stats.failed = failed.load();
    stats.seconds = double(MonotonicNs() - start) / 1e9;
    return stats;
}

} // namespace korvel::bench
