#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <cstdint>
#include <memory>
#include <vector>

class QWebSocket;

namespace korvel {

class TableMirror;
class TraceTail;
class TrafficHistory;

// The page's live feed over WebSockets. A client is sent the system list, the
// traffic of the last five minutes and the trace tail when it connects, then
// only what changed: rows added, changed or removed, the
// systems heard, the new states of the stations of the one system it watches
// (it asks with {"watch":id}), the traffic of each second and new trace lines.
// Changes are gathered from the table mirror and sent at most ten times a
// second, one message per client. A client that does not read is dropped once
// its unsent backlog passes a bound, and one that stops answering pings is
// dropped too. Main thread only.
class LivePush : public QObject {
    Q_OBJECT

public:
    static constexpr int kIntervalMs = 100;
    static constexpr int kPingMs = 15000;

    LivePush(TableMirror& mirror, TraceTail& trace, TrafficHistory& history, int maxClients, qint64 maxBacklogBytes,
        QObject* parent = nullptr);
    ~LivePush() override;

    bool full() const { return static_cast<int>(clients_.size()) >= maxClients_; }
    int clients() const { return static_cast<int>(clients_.size()); }
    std::uint64_t droppedClients() const { return dropped_; }

    void add(std::unique_ptr<QWebSocket> socket);
    // The history took a sample: it goes out with the next push.
    void trafficSampled();

private:
    struct Client;
    void schedule();
    void flush();
    void received(Client* client, const QString& message);
    void watch(Client& client);
    // The stations of a system as a client is first sent them; empty for none.
    QString stationsMessage(std::uint64_t id) const;
    bool send(Client& client, const QByteArray& message);
    bool send(Client& client, const QString& message);
    void drop(Client* client);
    void pingAll();

    TableMirror& mirror_;
    TraceTail& trace_;
    TrafficHistory& history_;
    const int maxClients_;
    const qint64 maxBacklog_;
    std::vector<std::unique_ptr<Client>> clients_;
    QTimer flushTimer_;
    QTimer pingTimer_;
    QElapsedTimer sinceFlush_;
    bool trafficDue_ = false;
    bool traceDue_ = false;
    std::uint64_t dropped_ = 0;
};

} // namespace korvel
