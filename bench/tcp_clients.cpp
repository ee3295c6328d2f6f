#include "tcp_clients.h"

#include "bench_net.h"
#include "protocol/wire_format.h"

#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <new>
#include <string>

namespace korvel::bench {

namespace {

constexpr std::int64_t kRequestTimeoutNs = 5'000'000'000;

struct Client {
    sockaddr_in source {};
    int fd = -1;
    std::uint16_t sequence = 0;
    std::int64_t startedNs = 0;
    std::array<std::uint8_t, wire::kMaxGetResponseSize> page {};
    std::size_t have = 0;
    bool connected = false;
};

} // namespace

TcpClients::TcpClients(const std::vector<std::string>& sources, const std::string& server, int port)
{
    shared_ = new (helper_.share(sizeof(Shared))) Shared {};
    helper_.start("tcp clients", [&] { return run(sources, server, port); });
    while (shared_->ready.load(std::memory_order_acquire) == 0)
        SleepNs(1'000'000);
}

TcpClients::~TcpClients()
{
    if (helper_.pid() > 0)
        finish();
}

TcpClients::Result TcpClients::finish()
{
    shared_->stop.store(1, std::memory_order_release);
    if (helper_.pid() > 0 && helper_.wait() != 0)
        Die("the TCP clients failed");
    Result result;
    result.answered = shared_->answered.load();
    result.failed = shared_->failed.load();
    result.p50Ms = shared_->p50Ms;
    result.p99Ms = shared_->p99Ms;
    result.maxMs = shared_->maxMs;
    result.failures = shared_->failures;
    return result;
}

int TcpClients::run(const std::vector<std::string>& sources, const std::string& server, int port)
{
    const sockaddr_in target = Ipv4(server, port);
    const int poller = epoll_create1(EPOLL_CLOEXEC);
    std::vector<Client> clients(sources.size());
    std::vector<std::int64_t> durations;
    durations.reserve(1 << 20);

    std::array<std::uint8_t, wire::kGetDataSize> request {};
    request[wire::kMarkerOffset] = wire::kMarker;
    request[wire::kCodeOffset] = MSG_GETDATA;
    WriteU16(request, wire::kLengthOffset, static_cast<std::uint16_t>(request.size()));
    WriteField(request, wire::kSystemIdOffset, wire::kSystemIdSize, "PBX-TCP");

    std::map<std::string, std::uint64_t> failures;
    const auto end = [&](std::size_t index, bool ok) {
        Client& client = clients[index];
        if (client.fd >= 0)
            close(client.fd);
        client.fd = -1;
        if (ok) {
            durations.push_back(MonotonicNs() - client.startedNs);
            shared_->answered.fetch_add(1, std::memory_order_release);
        } else {
            shared_->failed.fetch_add(1, std::memory_order_relaxed);
        }
    };
    const auto fail = [&](std::size_t index, const char* what, int error) {
        ++failures[std::string(what) + (error ? std::string(" ") + strerrorname_np(error) : "")];
        end(index, false);
    };
    const auto begin = [&](std::size_t index) {
        Client& client = clients[index];
        client.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        client.startedNs = MonotonicNs();
        client.have = 0;
        client.connected = false;
        ++client.sequence;
        const int on = 1;
        // The port is picked at connect, per destination.
        setsockopt(client.fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
        setsockopt(client.fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        if (bind(client.fd, reinterpret_cast<const sockaddr*>(&client.source), sizeof client.source) != 0)
            return fail(index, "bind", errno);
        if (connect(client.fd, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0 && errno != EINPROGRESS)
            return fail(index, "connect", errno);
        epoll_event event {};
        event.events = EPOLLOUT | EPOLLIN;
        event.data.u64 = index;
        epoll_ctl(poller, EPOLL_CTL_ADD, client.fd, &event);
    };
    // Writable: connected, send the request; readable: take the page.
    const auto step = [&](std::size_t index, std::uint32_t events) {
        Client& client = clients[index];
        if (!client.connected) {
            if (events & (EPOLLERR | EPOLLHUP)) {
                int error = 0;
                socklen_t length = sizeof error;
                getsockopt(client.fd, SOL_SOCKET, SO_ERROR, &error, &length);
                return fail(index, "connect", error);
            }
            if (!(events & EPOLLOUT))
                return;
            client.connected = true;
            WriteU16(request, wire::kSequenceOffset, client.sequence);
            if (send(client.fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
                return fail(index, "send", errno);
            epoll_event event {};
            event.events = EPOLLIN;
            event.data.u64 = index;
            epoll_ctl(poller, EPOLL_CTL_MOD, client.fd, &event);
            return;
        }
        for (;;) {
            const ssize_t got = recv(client.fd, client.page.data() + client.have, client.page.size() - client.have, 0);
            if (got < 0 && errno == EAGAIN)
                return;
            if (got < 0)
                return fail(index, "read", errno);
            if (got == 0)
                return fail(index, "closed early", 0);
            client.have += static_cast<std::size_t>(got);
            if (client.have < wire::kPageHeaderSize)
                continue;
            const std::size_t want
                = std::min<std::size_t>(ReadU16(client.page, wire::kLengthOffset), client.page.size());
            if (client.have < want)
                continue;
            if (client.page[wire::kCodeOffset] != MSG_GETRESPONSE
                || ReadU16(client.page, wire::kSequenceOffset) != client.sequence)
                return fail(index, "wrong answer", 0);
            return end(index, true);
        }
    };

    for (std::size_t i = 0; i < clients.size(); ++i)
        clients[i].source = Ipv4(sources[i], 0);
    shared_->ready.store(1, std::memory_order_release);
    std::vector<epoll_event> events(clients.size() + 1);
    for (;;) {
        const bool stopping = shared_->stop.load(std::memory_order_acquire) != 0;
        std::size_t busy = 0;
        const std::int64_t now = MonotonicNs();
        for (std::size_t i = 0; i < clients.size(); ++i) {
            if (clients[i].fd >= 0 && now - clients[i].startedNs > kRequestTimeoutNs)
                fail(i, "timed out", 0);
            if (clients[i].fd < 0 && !stopping)
                begin(i);
            busy += clients[i].fd >= 0;
        }
        if (stopping && busy == 0)
            break;
        const int ready = epoll_wait(poller, events.data(), static_cast<int>(events.size()), 10);
        for (int e = 0; e < ready; ++e) {
            const auto& event = events[static_cast<std::size_t>(e)];
            step(event.data.u64, event.events);
        }
    }

    std::sort(durations.begin(), durations.end());
    const auto percentile = [&](double fraction) {
        if (durations.empty())
            return 0.0;
        const auto rank = static_cast<std::size_t>(fraction * double(durations.size() - 1));
        return double(durations[rank]) / 1e6;
    };
    shared_->p50Ms = percentile(0.5);
    shared_->p99Ms = percentile(0.99);
    shared_->maxMs = percentile(1.0);
    std::string kinds;
    for (const auto& [what, count] : failures)
        kinds += (kinds.empty() ? "" : ", ") + what + " " + std::to_string(count);
    std::snprintf(shared_->failures, sizeof shared_->failures, "%s", kinds.c_str());
    return 0;
}

} // namespace korvel::bench
