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

} // namespace

RequestConnections::RequestConnections(Handlers handlers, int idleMs, QObject* parent)
    : QObject(parent)
    , handlers_(std::move(handlers))
    , idleMs_(idleMs)
    , epoll_(epoll_create1(EPOLL_CLOEXEC))
    , notifier_(new QSocketNotifier(epoll_, QSocketNotifier::Read, this))
    , sweeper_(new QTimer(this))
{
    connect(notifier_, &QSocketNotifier::activated, this, &RequestConnections::serve);
    // Checked a few times per idle period, so a connection goes within a
    // quarter period of its time.
    sweeper_->setInterval(std::clamp(idleMs_ / 4, 10, 1000));
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
    epoll_event event {};
    event.events = EPOLLIN | EPOLLRDHUP;
    event.data.fd = fd;
    if (epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) != 0) {
        close(fd);
        return;
    }
    connections_[fd] = Connection { peer, {}, nowMs() };
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
        if (connections_.count(fd) && (events[i].events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)))
            readFrom(fd);
    }
}

void RequestConnections::readFrom(int fd)
{
    std::uint8_t buffer[wire::kMaxTcpRead];
    const ssize_t count = recv(fd, buffer, sizeof buffer, 0);
    if (count > 0) {
        Connection& connection = connections_.at(fd);
        connection.lastHeardMs = nowMs();
        // Copied: the handler may drop this very connection.
        const std::string peer = connection.peer;
        handlers_.request(fd, peer, Bytes(buffer, static_cast<std::size_t>(count)));
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
        if (wasEmpty) {
            epoll_event event {};
            event.events = EPOLLIN | EPOLLRDHUP | EPOLLOUT;
            event.data.fd = id;
            epoll_ctl(epoll_, EPOLL_CTL_MOD, id, &event);
        }
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
    if (connection.unsent.empty()) {
        epoll_event event {};
        event.events = EPOLLIN | EPOLLRDHUP;
        event.data.fd = fd;
        epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &event);
    }
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
    std::vector<int> silent;
    for (const auto& [fd, connection] : connections_)
        if (now - connection.lastHeardMs >= idleMs_)
            silent.push_back(fd);
    for (int fd : silent)
        drop(fd, 0);
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
