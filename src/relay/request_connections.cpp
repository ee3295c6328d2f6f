#include "request_connections.h"

#include <QSocketNotifier>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <vector>

namespace korvel {

namespace {

// Events taken per readiness of the set; the rest come at the next turn.
constexpr int kEventsPerTurn = 64;
// Answers are a page at most; a peer that sends requests and never reads the
// answers is dropped rather than buffered for.
constexpr std::size_t kMaxUnsent = 64 * 1024;
// With this much waiting for the peer, its requests wait too, so a client
// that never reads holds this much of the hub and no more.
constexpr std::size_t kPauseUnsent = 16 * 1024;
// The kernel's share: left to itself it grows a connection's buffers to
// megabytes for a peer that does not read. A request is at most 2048 bytes
// and an answer 808.
constexpr int kKernelBuffer = 64 * 1024;

// The bytes of the request that `held` starts with: its Length field, once
// the four bytes that carry it are in, never more than one read takes; 0
// until then. A Length shorter than the header counts as the header.
std::size_t RequestLength(Bytes held)
{
    if (held.size() < wire::kShortHeaderSize)
        return 0;
    return std::clamp<std::size_t>(ReadU16(held, wire::kLengthOffset), wire::kShortHeaderSize, wire::kMaxTcpRead);
}

} // namespace

RequestConnections::RequestConnections(Handlers handlers, Limits limits, QObject* parent)
    : QObject(parent)
    , handlers_(std::move(handlers))
    , limits_(limits)
    , epoll_(epoll_create1(EPOLL_CLOEXEC))
    , notifier_(new QSocketNotifier(epoll_, QSocketNotifier::Read, this))
    , sweeper_(new QTimer(this))
{
    connect(notifier_, &QSocketNotifier::activated, this, &RequestConnections::serve);
    // Checked a few times per idle period, so a connection goes within a
    // quarter period of its time.
    sweeper_->setInterval(std::clamp(limits_.idleMs / 4, 10, 1000));
    connect(sweeper_, &QTimer::timeout, this, &RequestConnections::sweep);
}

RequestConnections::~RequestConnections()
{
    for (auto& [fd, connection] : connections_)
        close(fd);
    if (epoll_ >= 0)
        close(epoll_);
}

std::int64_t RequestConnections::nowMs() const
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void RequestConnections::listenOn(int listener)
{
    stopListening();
    epoll_event event {};
    event.events = EPOLLIN;
    event.data.fd = listener;
    if (epoll_ctl(epoll_, EPOLL_CTL_ADD, listener, &event) == 0)
        listener_ = listener;
}

void RequestConnections::stopListening()
{
    if (listener_ >= 0)
        epoll_ctl(epoll_, EPOLL_CTL_DEL, listener_, nullptr);
    listener_ = -1;
}

void RequestConnections::acceptAll()
{
    // Bounded, so that a storm of connects leaves the requests their turn.
    for (int i = 0; i < kEventsPerTurn; ++i) {
        sockaddr_in address {};
        socklen_t length = sizeof address;
        const int fd = accept4(listener_, reinterpret_cast<sockaddr*>(&address), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        // Out of descriptors, the waiting connection would keep the set ready
        // for ever: the one idle longest makes room.
        if (fd < 0 && (errno == EMFILE || errno == ENFILE) && !connections_.empty()) {
            shed(idlest());
            continue;
        }
        if (fd < 0)
            return;
        char peer[INET_ADDRSTRLEN] = {};
        if (address.sin_family != AF_INET || !inet_ntop(AF_INET, &address.sin_addr, peer, sizeof peer)
            || !handlers_.accepted(peer)) {
            close(fd);
            continue;
        }
        adopt(fd, peer);
    }
}

void RequestConnections::adopt(int fd, const std::string& peer)
{
    if (!connections_.empty() && connections_.size() >= std::max<std::size_t>(limits_.maxConnections, 1))
        shed(idlest());
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kKernelBuffer, sizeof kKernelBuffer);
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kKernelBuffer, sizeof kKernelBuffer);
    epoll_event event {};
    event.events = EPOLLIN | EPOLLRDHUP;
    event.data.fd = fd;
    if (epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) != 0) {
        close(fd);
        return;
    }
    Connection& connection = connections_[fd] = Connection { peer, {}, {}, 0, 0, false };
    heard(connection);
    if (!sweeper_->isActive())
        sweeper_->start();
}

void RequestConnections::serve()
{
    epoll_event events[kEventsPerTurn];
    const int count = epoll_wait(epoll_, events, kEventsPerTurn, 0);
    for (int i = 0; i < count; ++i) {
        const int fd = events[i].data.fd;
        if (fd == listener_) {
            acceptAll();
            continue;
        }
        if (!connections_.count(fd))
            continue;
        if (events[i].events & EPOLLOUT)
            flush(fd);
        auto found = connections_.find(fd);
        if (found == connections_.end())
            continue;
        if (!found->second.paused && (events[i].events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)))
            readFrom(fd);
        else if (found->second.paused && (events[i].events & (EPOLLHUP | EPOLLERR)))
            drop(fd, 0);
    }
}

void RequestConnections::readFrom(int fd)
{
    Connection& connection = connections_.at(fd);
    // A request that came in pieces goes on where it stopped; it never
    // reaches a whole buffer, since the Length it waits for is at most that.
    std::uint8_t buffer[wire::kMaxTcpRead];
    const std::size_t held = connection.partial.size();
    std::copy(connection.partial.begin(), connection.partial.end(), buffer);
    const ssize_t count = recv(fd, buffer + held, sizeof buffer - held, 0);
    if (count > 0) {
        const Bytes request(buffer, held + static_cast<std::size_t>(count));
        const std::size_t needed = RequestLength(request);
        if (needed == 0 || request.size() < needed) {
            connection.partial.assign(reinterpret_cast<const char*>(request.data()), request.size());
            return;
        }
        connection.partial.clear();
        heard(connection);
        // Copied: the handler may drop this very connection.
        const std::string peer = connection.peer;
        handlers_.request(fd, peer, request);
        return;
    }
    if (count < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    // A reset is how many peers end a request; like an orderly close it is
    // no error.
    drop(fd, count == 0 || errno == ECONNRESET || errno == EPIPE ? 0 : errno);
}

std::int64_t RequestConnections::write(int id, Bytes bytes)
{
    auto found = connections_.find(id);
    if (found == connections_.end())
        return -1;
    Connection& connection = found->second;
    std::size_t sent = 0;
    if (connection.unsent.empty()) {
        const ssize_t result = send(id, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (result < 0 && errno != EAGAIN) {
            // Reported when the connection is next read, as the socket sees it.
            return -1;
        }
        sent = result < 0 ? 0 : static_cast<std::size_t>(result);
    }
    if (sent < bytes.size()) {
        if (connection.unsent.size() + bytes.size() - sent > kMaxUnsent) {
            drop(id, ENOBUFS);
            return -1;
        }
        const bool wasEmpty = connection.unsent.empty();
        connection.unsent.append(reinterpret_cast<const char*>(bytes.data()) + sent, bytes.size() - sent);
        const bool pause = !connection.paused && connection.unsent.size() >= kPauseUnsent;
        connection.paused = connection.paused || pause;
        if (wasEmpty || pause)
            watch(id, connection);
    }
    return static_cast<std::int64_t>(bytes.size());
}

void RequestConnections::flush(int fd)
{
    Connection& connection = connections_.at(fd);
    const ssize_t result = send(fd, connection.unsent.data(), connection.unsent.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (result < 0) {
        if (errno != EAGAIN && errno != EINTR)
            drop(fd, errno == EPIPE || errno == ECONNRESET ? 0 : errno);
        return;
    }
    connection.unsent.erase(0, static_cast<std::size_t>(result));
    if (result > 0)
        heard(connection);
    const bool resume = connection.paused && connection.unsent.size() < kPauseUnsent;
    connection.paused = connection.paused && !resume;
    if (connection.unsent.empty() || resume)
        watch(fd, connection);
}

void RequestConnections::watch(int fd, const Connection& connection)
{
    epoll_event event {};
    event.events = (connection.paused ? 0u : EPOLLIN | EPOLLRDHUP) | (connection.unsent.empty() ? 0u : EPOLLOUT);
    event.data.fd = fd;
    epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &event);
}

void RequestConnections::heard(Connection& connection)
{
    connection.lastHeardMs = nowMs();
    connection.heardOrder = ++heardCount_;
}

int RequestConnections::idlest() const
{
    return std::min_element(connections_.begin(), connections_.end(), [](const auto& a, const auto& b) {
        return a.second.heardOrder < b.second.heardOrder;
    })->first;
}

void RequestConnections::shed(int fd)
{
    auto found = connections_.find(fd);
    if (found == connections_.end())
        return;
    if (handlers_.shed)
        handlers_.shed(found->second.peer);
    drop(fd, 0);
}

void RequestConnections::drop(int fd, int errorCode)
{
    auto found = connections_.find(fd);
    if (found == connections_.end())
        return;
    const std::string peer = std::move(found->second.peer);
    connections_.erase(found);
    close(fd);
    if (connections_.empty())
        sweeper_->stop();
    if (errorCode != 0)
        handlers_.error(peer, errorCode);
    handlers_.closed(peer);
}

void RequestConnections::sweep()
{
    const std::int64_t now = nowMs();
    std::vector<int> silent, stuck;
    for (const auto& [fd, connection] : connections_)
        if (now - connection.lastHeardMs >= limits_.idleMs)
            (connection.unsent.empty() ? silent : stuck).push_back(fd);
    for (int fd : silent)
        drop(fd, 0);
    // Answers that have not moved for the idle time: the peer does not read.
    for (int fd : stuck)
        shed(fd);
}

void RequestConnections::closeAll()
{
    std::vector<int> all;
    for (const auto& [fd, connection] : connections_)
        all.push_back(fd);
    for (int fd : all)
        drop(fd, 0);
}

} // namespace korvel
