#include "web_clients.h"

#include "bench_net.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace korvel::bench {

namespace {

// A client's frames are masked; the mask itself may be any value.
std::string MaskedText(const std::string& text)
{
    const unsigned char mask[4] = { 0x12, 0x34, 0x56, 0x78 };
    std::string frame;
    frame += static_cast<char>(0x81);
    frame += static_cast<char>(0x80 | text.size()); // short messages only
    frame.append(reinterpret_cast<const char*>(mask), 4);
    for (std::size_t i = 0; i < text.size(); ++i)
        frame += static_cast<char>(text[i] ^ mask[i % 4]);
    return frame;
}

bool SendAll(int fd, const std::string& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Connects, upgrades and asks to watch; -1 when the hub refuses.
int OpenFeed(int port, std::uint64_t watchedSystem)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    const sockaddr_in hub = Ipv4("127.0.0.1", port);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&hub), sizeof hub) != 0) {
        ::close(fd);
        return -1;
    }
    const std::string request = "GET /ws HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port)
        + "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
          "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n";
    std::string answer;
    char buffer[4096];
    bool ok = SendAll(fd, request);
    while (ok && answer.find("\r\n\r\n") == std::string::npos) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        ok = n > 0;
        if (ok)
            answer.append(buffer, static_cast<std::size_t>(n));
    }
    if (!ok || answer.compare(0, 12, "HTTP/1.1 101") != 0
        || !SendAll(fd, MaskedText("{\"watch\":" + std::to_string(watchedSystem) + "}"))) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

WebClients::WebClients(int count, int port, std::uint64_t watchedSystem)
{
    shared_ = new (helper_.share(sizeof(Shared))) Shared {};
    helper_.start("web clients", [&] { return run(count, port, watchedSystem); });
    while (shared_->ready.load(std::memory_order_acquire) == 0)
        SleepNs(1'000'000);
    if (connected() != count)
        Die("the hub's live feed took " + std::to_string(connected()) + " of " + std::to_string(count) + " clients");
}

WebClients::~WebClients()
{
    shared_->stop.store(1, std::memory_order_release);
    helper_.wait();
}

int WebClients::run(int count, int port, std::uint64_t watchedSystem)
{
    std::vector<pollfd> feeds;
    for (int i = 0; i < count; ++i) {
        const int fd = OpenFeed(port, watchedSystem);
        if (fd >= 0)
            feeds.push_back({ fd, POLLIN, 0 });
    }
    shared_->connected.store(static_cast<int>(feeds.size()), std::memory_order_release);
    shared_->ready.store(1, std::memory_order_release);
    // Reads and drops what comes; the hub pings far less often than a run lasts.
    char buffer[65536];
    while (shared_->stop.load(std::memory_order_acquire) == 0) {
        if (::poll(feeds.data(), feeds.size(), 50) <= 0)
            continue;
        for (pollfd& feed : feeds) {
            if (!(feed.revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            const ssize_t n = ::recv(feed.fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0)
                shared_->bytes.fetch_add(static_cast<std::uint64_t>(n), std::memory_order_release);
            else if (n == 0)
                feed.events = 0;
        }
    }
    for (const pollfd& feed : feeds)
        ::close(feed.fd);
    return 0;
}

} // namespace korvel::bench
