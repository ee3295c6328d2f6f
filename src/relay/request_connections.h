#pragma once

#include "protocol/wire_format.h"

#include <QObject>

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>

class QSocketNotifier;
class QTimer;

namespace korvel {

// The TCP listener's connections, accepted and served on the main thread
// through one epoll set behind one socket notifier: hundreds of systems
// asking for their page at once cost the event loop one descriptor, not one
// each, and a connection costs no objects of its own. One read is one
// request, except that a request arriving in pieces is gathered until the
// bytes its Length field names are in.
class RequestConnections : public QObject {
    Q_OBJECT

public:
    struct Handlers {
        // A connection from `peer` (dotted quad) was accepted: false closes it.
        std::function<bool(const std::string& peer)> accepted;
        // A request read on a connection (never empty).
        std::function<void(int id, const std::string& peer, Bytes request)> request;
        // The connection is gone: the peer closed it, it was silent too long,
        // or it was dropped.
        std::function<void(const std::string& peer)> closed;
        // The socket reported an error (the system's error number); the
        // connection is closed after it.
        std::function<void(const std::string& peer, int code)> error;
        // The connection is closed to make room for a new one, or because its
        // answers were not taken (`closed` follows); may be empty.
        std::function<void(const std::string& peer)> shed = {};
    };

    struct Limits {
        // A connection that sends no whole request and takes no answer for
        // this long is closed.
        int idleMs = 60000;
        // Open at once; a new connection beyond this closes the one idle longest.
        std::size_t maxConnections = 1024;
    };

    RequestConnections(Handlers handlers, Limits limits, QObject* parent = nullptr);
    ~RequestConnections() override;

    // Accepts the connections of a listening socket (which stays the
    // caller's) until stopListening; its own notifications must be off.
    void listenOn(int listener);
    void stopListening();
    // Writes on a connection; what the kernel does not take at once is sent
    // when it can. Returns the length, or -1 when the connection is gone.
    std::int64_t write(int id, Bytes bytes);
    // Drops every connection (each is reported closed).
    void closeAll();
    std::size_t size() const { return connections_.size(); }

private:
    struct Connection {
        std::string peer;
        std::string unsent;
        // The first pieces of a request that is not whole yet.
        std::string partial;
        // Last whole request or answer taken by the peer.
        std::int64_t lastHeardMs = 0;
        // Orders the same events exactly: many fall in one millisecond.
        std::uint64_t heardOrder = 0;
        // No requests are read while answers wait for the peer.
        bool paused = false;
    };
    void serve();
    void acceptAll();
    void adopt(int fd, const std::string& peer);
    void readFrom(int fd);
    void flush(int fd);
    void drop(int fd, int errorCode);
    void shed(int fd);
    // The connection that has waited longest for a request or an answer taken.
    int idlest() const;
    // Asks epoll for what the connection's state calls for.
    void watch(int fd, const Connection& connection);
    void sweep();
    std::int64_t nowMs() const;
    void heard(Connection& connection);

    Handlers handlers_;
    Limits limits_;
    int epoll_ = -1;
    int listener_ = -1;
    QSocketNotifier* notifier_;
    QTimer* sweeper_;
    // By descriptor, which is also the connection's id while it is open.
    std::unordered_map<int, Connection> connections_;
    std::uint64_t heardCount_ = 0;
};

} // namespace korvel
