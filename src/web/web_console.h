#pragma once

#include "base/result.h"
#include "web/cluster_status.h"
#include "web/http_reply.h"
#include "web/sip_status.h"
#include "web/web_options.h"

#include <QAbstractHttpServer>
#include <QElapsedTimer>
#include <QTimer>

#include <memory>

class QHttpServerResponder;

namespace korvel {

class GuardedListener;
class Hub;
class LivePush;
class OperatorCommands;
class StallWatch;
class TableMirror;
class TraceTail;
class TrafficHistory;
class WriteApi;
struct MetricsSnapshot;

// The hub's web front end: the page, the JSON API, /metrics and /healthz,
// and with an admin token the operator's commands. It runs on the main thread beside the hub and learns of changes
// from the table's notifications and the hub's counters; nothing it serves
// is built by walking the table.
class WebConsole : public QAbstractHttpServer {
    Q_OBJECT

public:
    WebConsole(Hub& hub, WebOptions options, QObject* parent = nullptr);
    ~WebConsole() override;

    // Listens; the reason when the address or port cannot be had, or the
    // certificate and key cannot be used. What it holds is what the operator
    // should read at start (the certificate served, its warnings).
    Result<QStringList> start();
    // Reads the certificate and key again, for connections from now on; on
    // failure the ones in use stay. Nothing to do over plain HTTP.
    Result<QStringList> reloadTls();
    bool tls() const;
    quint16 port() const;
    // Where an operator points a browser, e.g. "https://127.0.0.1:9080/".
    QString url() const;
    int openConnections() const;
    int liveClients() const;

    // Where the cluster's part of /api/stats and /metrics comes from; none
    // for a hub on its own.
    void setClusterStatus(ClusterStatusSource source) { cluster_ = std::move(source); }
    // The SIP presence server's part of /metrics and /api/sip; none without --sip.
    void setSipSource(SipSource source) { sip_ = std::move(source); }
    // What the write API's commands go through; null (the default) keeps the
    // console read-only, as does starting without an admin token.
    void setOperatorCommands(OperatorCommands* commands);

    // What /healthz says: empty when healthy, else one reason a line.
    QStringList healthProblems() const;
    MetricsSnapshot metrics();

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

private:
    using Reply = HttpReply;
    Reply route(const QHttpServerRequest& request, const QString& path);
    Reply refusal(const QHttpServerRequest& request, const QString& path) const;
    bool authorized(const QUrl& url, const QByteArray& authorization) const;
    bool hostAllowed(const QByteArray& host) const;
    // The answer refusing a request to become a WebSocket; not handled when
    // it may go ahead.
    Reply upgradeRefusal(const QHttpServerRequest& request) const;
    Reply write(const QHttpServerRequest& request, const QString& path, QTcpSocket* socket);
    void acceptWebSockets();
    Reply stationsReply(const QString& address);
    QByteArray statsJson();
    void sampleTraffic();
    static void send(QHttpServerResponder& responder, const Reply& reply);

    Hub& hub_;
    WebOptions options_;
    GuardedListener* listener_;
    std::unique_ptr<TableMirror> mirror_;
    std::unique_ptr<TrafficHistory> history_;
    TraceTail* trace_;
    LivePush* push_;
    WriteApi* writes_;
    StallWatch* lag_;
    QTimer sampler_;
    QElapsedTimer uptime_;
    ClusterStatusSource cluster_;
    SipSource sip_;
};

} // namespace korvel
