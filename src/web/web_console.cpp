#include "web_console.h"

#include "log/console_log.h"
#include "relay/hub.h"
#include "relay/stall_watch.h"
#include "web/http_guard.h"
#include "web/http_reply.h"
#include "web/icon_svg.h"
#include "web/live_push.h"
#include "web/metrics_text.h"
#include "web/table_mirror.h"
#include "web/trace_tail.h"
#include "web/traffic_history.h"
#include "web/write_api.h"

#include <QDateTime>
#include <QFile>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QPointer>
#include <QTcpSocket>
#include <QUrlQuery>
#include <QWebSocket>

#include <vector>

namespace korvel {

namespace {

using Status = HttpStatus;

constexpr int kLiveSendBuffer = 64 * 1024;
const QString kStationsSuffix = QStringLiteral("/stations");
const QString kSystemsPrefix = QStringLiteral("/api/systems/");

// The page's files, compiled in; path -> content type.
struct Asset {
    const char* path;
    const char* type;
};
constexpr Asset kAssets[] = {
    { "/index.html", "text/html; charset=utf-8" },
    { "/app.js", "text/javascript; charset=utf-8" },
    { "/commands.js", "text/javascript; charset=utf-8" },
    { "/style.css", "text/css; charset=utf-8" },
};

const Asset* FindAsset(const QString& path)
{
    const QString wanted = path == QLatin1String("/") ? QStringLiteral("/index.html") : path;
    for (const Asset& asset : kAssets) {
        if (wanted == QLatin1String(asset.path))
            return &asset;
    }
    return nullptr;
}

// The icons are the window's own pictures, drawn from the same SVG text.
struct Icon {
    const char* path;
    QByteArray (*draw)(int);
    int index;
};
constexpr Icon kIcons[] = {
    { "/icons/app.svg", [](int) { return ApplicationSvg(); }, 0 },
    { "/icons/station-idle.svg", StationSvg, 0 },
    { "/icons/station-busy.svg", StationSvg, 1 },
    { "/icons/station-dnd.svg", StationSvg, 2 },
    { "/icons/station-message.svg", StationSvg, 3 },
    { "/icons/station-unknown.svg", StationSvg, 4 },
    { "/icons/station-out-of-service.svg", StationSvg, 5 },
    { "/icons/system.svg", SystemSvg, 0 },
    { "/icons/system-trouble.svg", SystemSvg, 1 },
    { "/icons/system-silent.svg", SystemSvg, 2 },
    { "/icons/status-working.svg", SystemStatusSvg, 0 },
    { "/icons/status-error.svg", SystemStatusSvg, 1 },
    { "/icons/status-no-data.svg", SystemStatusSvg, 2 },
    { "/icons/status-unknown.svg", SystemStatusSvg, 3 },
};

const Icon* FindIcon(const QString& path)
{
    for (const Icon& icon : kIcons) {
        if (path == QLatin1String(icon.path))
            return &icon;
    }
    return nullptr;
}

QString Latin1(std::string_view text)
{
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

std::uint64_t ReceiveQueueBytes(const std::array<ReceiveQueue, 3>& queues)
{
    std::uint64_t bytes = 0;
    for (const ReceiveQueue& queue : queues)
        bytes += queue.bytes;
    return bytes;
}

bool IsUpgrade(const QHttpServerRequest& request)
{
    return request.value("upgrade").compare("websocket", Qt::CaseInsensitive) == 0;
}

bool IsLocalName(const QString& host)
{
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    const QHostAddress address(host);
    return !address.isNull() && address.isLoopback();
}

} // namespace

WebConsole::WebConsole(Hub& hub, WebOptions options, QObject* parent)
    : QAbstractHttpServer(parent)
    , hub_(hub)
    , options_(std::move(options))
    , listener_(new GuardedListener(options_, this))
    , mirror_(std::make_unique<TableMirror>(hub.table()))
    , history_(std::make_unique<TrafficHistory>(hub.counters()))
    , trace_(new TraceTail(hub.console(), this))
    , push_(new LivePush(*mirror_, *trace_, *history_, options_.maxLiveClients, options_.maxLiveBacklogBytes, this))
    , writes_(new WriteApi(hub, options_, this))
    , lag_(new StallWatch(nullptr, this))
{
    sampler_.setInterval(1000);
    connect(&sampler_, &QTimer::timeout, this, &WebConsole::sampleTraffic);
    connect(this, &QAbstractHttpServer::newWebSocketConnection, this, &WebConsole::acceptWebSockets);
    // Qt's HTTP server writes a warning to standard error for every WebSocket
    // request the console refuses (with a misleading "no slots connected"); a
    // client could fill the journal with them. The refusal is the answer.
    // QT_LOGGING_RULES still overrides this rule.
    QLoggingCategory::setFilterRules(QStringLiteral("qt.httpserver.warning=false"));
}

WebConsole::~WebConsole()
{
    // The feed holds the mirror's change handler; it goes first.
    delete push_;
}

Result<QStringList> WebConsole::start()
{
    if (Result<void> checked = CheckWebOptions(options_); !checked)
        return checked.failure();
    QStringList notices;
    if (options_.tls.enabled()) {
        Result<QStringList> loaded = reloadTls();
        if (!loaded)
            return loaded;
        notices << *loaded;
    } else if (options_.insecure && !options_.address.isLoopback()) {
        notices << QStringLiteral("--http-insecure: the token crosses the network in clear on %1")
                       .arg(options_.address.toString());
    }
    if (!listener_->listen(options_.address, options_.port)) {
        return Fail(QStringLiteral("cannot listen on %1 port %2: %3")
                        .arg(options_.address.toString())
                        .arg(options_.port)
                        .arg(listener_->errorString())
                        .toStdString());
    }
    bind(listener_);
    uptime_.start();
    lag_->start();
    sampler_.start();
    return notices;
}

Result<QStringList> WebConsole::reloadTls()
{
    if (!options_.tls.enabled())
        return QStringList();
    Result<TlsCredentials> loaded = LoadTlsCredentials(options_.tls);
    if (!loaded)
        return loaded.failure();
    listener_->setTls(loaded->configuration);
    return QStringList { QStringLiteral("serving %1").arg(loaded->description) } + loaded->warnings;
}

bool WebConsole::tls() const
{
    return listener_->tls();
}

void WebConsole::setOperatorCommands(OperatorCommands* commands)
{
    writes_->setCommands(commands);
}

quint16 WebConsole::port() const
{
    return listener_->serverPort();
}

int WebConsole::openConnections() const
{
    return listener_->openConnections();
}

int WebConsole::liveClients() const
{
    return push_->clients();
}

QString WebConsole::url() const
{
    const QString host = options_.address.protocol() == QAbstractSocket::IPv6Protocol
        ? QLatin1Char('[') + options_.address.toString() + QLatin1Char(']')
        : options_.address.toString();
    return QStringLiteral("%1://%2:%3/")
        .arg(tls() ? QStringLiteral("https") : QStringLiteral("http"), host)
        .arg(port());
}

void WebConsole::sampleTraffic()
{
    history_->sample(QDateTime::currentMSecsSinceEpoch(), ReceiveQueueBytes(hub_.receiveQueues()));
    push_->trafficSampled();
}

bool WebConsole::authorized(const QUrl& url, const QByteArray& authorization) const
{
    if (options_.token.isEmpty())
        return true;
    // The admin token reads too: the page that writes must see what it changed.
    const QByteArray presented = PresentedToken(url, authorization);
    return SameSecret(presented, options_.token)
        || (!options_.adminToken.isEmpty() && SameSecret(presented, options_.adminToken));
}

// Without a token only a loopback client can reach the console, but a web
// page elsewhere can still make the operator's browser ask under a name of
// its own that resolves to 127.0.0.1; such a request is refused by its Host.
bool WebConsole::hostAllowed(const QByteArray& hostField) const
{
    if (!options_.token.isEmpty())
        return true;
    QString host = QString::fromLatin1(hostField);
    if (host.isEmpty())
        return true;
    if (host.startsWith(QLatin1Char('['))) {
        host = host.mid(1, host.indexOf(QLatin1Char(']')) - 1);
    } else {
        const qsizetype colon = host.lastIndexOf(QLatin1Char(':'));
        if (colon >= 0)
            host.truncate(colon);
    }
    return IsLocalName(host);
}

// A request to become a WebSocket is held to the rules of every request
// (method, Host, token), then to its own. A WebSocket is not held to the
// same-origin rule: any page the operator has open may open one to the
// console, so one from a page of another origin is refused, whatever the token.
// Not handled when the upgrade may go ahead.
WebConsole::Reply WebConsole::upgradeRefusal(const QHttpServerRequest& request) const
{
    const QString path = request.url().path(QUrl::FullyDecoded);
    Reply reply = refusal(request, path);
    if (reply.handled)
        return reply;
    if (path != QLatin1String("/ws"))
        return Reply::Text(Status::NotFound, "Not found");
    if (CrossOrigin(request))
        return Reply::Text(Status::Forbidden, "Not from this origin");
    if (push_->full())
        return Reply::Text(Status::ServiceUnavailable, "Too many live clients");
    return reply;
}

void WebConsole::acceptWebSockets()
{
    while (hasPendingWebSocketConnections()) {
        std::unique_ptr<QWebSocket> socket = nextPendingWebSocketConnection();
        if (!socket)
            break;
        push_->add(std::move(socket));
    }
}

WebConsole::Reply WebConsole::refusal(const QHttpServerRequest& request, const QString& path) const
{
    if (request.method() != QHttpServerRequest::Method::Get) {
        Reply reply = Reply::Text(Status::MethodNotAllowed, "Only GET is served here");
        reply.headers.emplace_back("Allow", "GET");
        return reply;
    }
    if (!hostAllowed(request.value("host")))
        return Reply::Text(Status::Forbidden, "This console answers to localhost and loopback addresses only");
    if (FindAsset(path) || FindIcon(path))
        return Reply { Status::Ok, {}, {}, {}, false };
    if (!authorized(request.url(), request.value("authorization"))) {
        Reply reply = Reply::Text(Status::Unauthorized, "A bearer token is required");
        reply.headers.emplace_back("WWW-Authenticate", "Bearer realm=\"korvel\"");
        return reply;
    }
    return Reply { Status::Ok, {}, {}, {}, false };
}

bool WebConsole::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket)
{
    // A request to become a WebSocket is handed over when this returns true
    // having written nothing; false has missingHandler answer it.
    if (IsUpgrade(request)) {
        if (upgradeRefusal(request).handled)
            return false;
        GuardedListener::upgraded(socket);
        // What the kernel holds for a client that stops reading is bounded
        // too; past it, the unsent updates count against the feed's bound.
        socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, kLiveSendBuffer);
        return true;
    }
    GuardedListener::requestHandled(socket);
    const QString path = request.url().path(QUrl::FullyDecoded);
    const bool writing = WriteApi::IsWrite(request, path);
    Reply reply = writing ? write(request, path, socket) : refusal(request, path);
    if (!reply.handled && !writing)
        reply = route(request, path);
    if (!reply.handled)
        return true; // a ping, answered when it ends
    QHttpServerResponder responder = makeResponder(request, socket);
    send(responder, reply);
    return true;
}

WebConsole::Reply WebConsole::write(const QHttpServerRequest& request, const QString& path, QTcpSocket* socket)
{
    if (!hostAllowed(request.value("host")))
        return Reply::Text(Status::Forbidden, "This console answers to localhost and loopback addresses only");
    // A ping answers seconds later, on the same connection if it is still open.
    return writes_->handle(request, path, [socket = QPointer<QTcpSocket>(socket)](const Reply& reply) {
        if (socket)
            socket->write(reply.serialized());
    });
}

void WebConsole::missingHandler(const QHttpServerRequest& request, QTcpSocket* socket)
{
    QHttpServerResponder responder = makeResponder(request, socket);
    Reply reply = IsUpgrade(request) ? upgradeRefusal(request) : Reply { Status::NotFound, {}, {}, {}, false };
    if (!reply.handled)
        reply = Reply::Text(Status::NotFound, "Not found");
    send(responder, reply);
}

void WebConsole::send(QHttpServerResponder& responder, const Reply& reply)
{
    responder.writeStatusLine(reply.status);
    for (const auto& [name, value] : reply.allHeaders())
        responder.writeHeader(name, value);
    responder.writeBody(reply.body);
}

WebConsole::Reply WebConsole::route(const QHttpServerRequest& request, const QString& path)
{
    if (const Asset* asset = FindAsset(path)) {
        QFile file(QStringLiteral(":/web") + QLatin1String(asset->path));
        if (!file.open(QIODevice::ReadOnly))
            return Reply::Text(Status::NotFound, "Not found");
        Reply reply { Status::Ok, asset->type, file.readAll(), {} };
        reply.headers.emplace_back("Cache-Control", "no-cache");
        if (path == QLatin1String("/") || path == QLatin1String("/index.html")) {
            reply.headers.emplace_back("Content-Security-Policy",
                "default-src 'self'; img-src 'self'; style-src 'self'; script-src 'self'; connect-src 'self'; "
                "frame-ancestors 'none'; base-uri 'none'; form-action 'none'");
        }
        return reply;
    }
    if (const Icon* icon = FindIcon(path)) {
        Reply reply { Status::Ok, "image/svg+xml", icon->draw(icon->index), {} };
        reply.headers.emplace_back("Cache-Control", "max-age=3600");
        return reply;
    }
    if (path == QLatin1String("/api/systems"))
        return Reply::Json("{\"systems\":" + mirror_->systemsJson() + '}');
    if (path.startsWith(kSystemsPrefix) && path.endsWith(kStationsSuffix))
        return stationsReply(
            path.mid(kSystemsPrefix.size(), path.size() - kSystemsPrefix.size() - kStationsSuffix.size()));
    if (path == QLatin1String("/api/stats"))
        return Reply::Json(statsJson());
    if (path == QLatin1String("/api/sip"))
        return sip_.json ? Reply::Json(sip_.json()) : Reply::Text(Status::NotFound, "SIP is off (--sip)");
    if (path == QLatin1String("/api/options"))
        return Reply::Json(writes_->optionsJson());
    if (path == QLatin1String("/api/whoami")) {
        const QJsonObject whoami { { QStringLiteral("write"), writes_->mayWrite(request) },
            { QStringLiteral("writable"), writes_->writable() } };
        return Reply::Json(QJsonDocument(whoami).toJson(QJsonDocument::Compact));
    }
    if (path == QLatin1String("/api/trace")) {
        const QJsonObject trace { { QStringLiteral("logging"), hub_.console().enabled() },
            { QStringLiteral("lines"), QJsonArray::fromStringList(trace_->tail()) } };
        return Reply::Json(QJsonDocument(trace).toJson(QJsonDocument::Compact));
    }
    if (path == QLatin1String("/metrics")) {
        Reply reply = Reply::Json(MetricsText(metrics()));
        reply.type = kMetricsContentType;
        return reply;
    }
    if (path == QLatin1String("/healthz")) {
        const QStringList problems = healthProblems();
        if (problems.isEmpty())
            return Reply::Text(Status::Ok, "ok");
        return Reply::Text(Status::ServiceUnavailable, problems.join(QLatin1Char('\n')).toUtf8());
    }
    return Reply::Text(Status::NotFound, "Not found");
}

WebConsole::Reply WebConsole::stationsReply(const QString& address)
{
    const SystemEntry* entry = hub_.table().findSystem(address.toLatin1().toStdString());
    if (!entry)
        return Reply::Text(Status::NotFound, "No system has that address");
    QJsonArray stations;
    std::array<qint64, 7> counts {};
    for (std::size_t i = 0; i < entry->Stations.size(); ++i) {
        const std::int32_t state = entry->StationStates[i];
        QJsonObject station { { QStringLiteral("number"), Latin1(entry->Stations[i]) },
            { QStringLiteral("state"), state } };
        // With SIP on, how many subscriptions watch the station.
        if (sip_.watchers)
            station.insert(
                QStringLiteral("watchers"), static_cast<qint64>(sip_.watchers(std::string(entry->Stations[i]))));
        stations.append(station);
        ++counts[static_cast<std::size_t>(state >= 0 && state <= 5 ? state : 6)];
    }
    QJsonObject byStatus;
    for (int state = -1; state <= 5; ++state)
        byStatus.insert(
            QLatin1String(StationStatusName(state)), counts[static_cast<std::size_t>(state < 0 ? 6 : state)]);
    const QJsonObject body {
        { QStringLiteral("id"), static_cast<qint64>(entry->listOrder()) },
        { QStringLiteral("address"), Latin1(entry->IpAddress) },
        { QStringLiteral("name"), Latin1(entry->Name) },
        { QStringLiteral("counts"), byStatus },
        { QStringLiteral("stations"), stations },
    };
    return Reply::Json(QJsonDocument(body).toJson(QJsonDocument::Compact));
}

QByteArray WebConsole::statsJson()
{
    const MetricsSnapshot snapshot = metrics();
    QJsonObject systems;
    static const char* const kNames[] = { "Working", "Error", "No Data", "Unknown" };
    for (std::size_t k = 0; k < TableMirror::kStatusKinds; ++k)
        systems.insert(QLatin1String(kNames[k]), static_cast<qint64>(snapshot.systemsByStatus[k]));
    QJsonArray traffic;
    for (const TrafficHistory::Sample& sample : history_->samples())
        traffic.append(TrafficHistory::ToJson(sample));
    QJsonObject stats {
        { QStringLiteral("time"), QDateTime::currentMSecsSinceEpoch() },
        { QStringLiteral("uptime"), uptime_.isValid() ? uptime_.elapsed() / 1000 : 0 },
        { QStringLiteral("sentBytes"), static_cast<qint64>(snapshot.sentBytes) },
        { QStringLiteral("receivedBytes"), static_cast<qint64>(snapshot.receivedBytes) },
        { QStringLiteral("liveSenders"), static_cast<qint64>(snapshot.liveSenders) },
        { QStringLiteral("sendQueueDepth"), static_cast<qint64>(snapshot.queueDepth) },
        { QStringLiteral("receiveQueueBytes"), static_cast<qint64>(ReceiveQueueBytes(snapshot.receiveQueues)) },
        { QStringLiteral("systems"), systems },
        { QStringLiteral("systemCount"), static_cast<qint64>(mirror_->systemCount()) },
        { QStringLiteral("stations"), static_cast<qint64>(snapshot.stations) },
        { QStringLiteral("consoleLogging"), hub_.console().enabled() },
        { QStringLiteral("ownAddress"), Latin1(hub_.settings().OwnAddress) },
        { QStringLiteral("traffic"), traffic },
    };
    if (snapshot.cluster) {
        const ClusterStatus& cluster = *snapshot.cluster;
        stats.insert(QStringLiteral("cluster"),
            QJsonObject { { QStringLiteral("node"), QString::fromStdString(cluster.node) },
                { QStringLiteral("state"), QString::fromStdString(cluster.state) },
                { QStringLiteral("liveNodes"), static_cast<qint64>(cluster.liveNodes) },
                { QStringLiteral("systemsOwned"), static_cast<qint64>(cluster.systemsOwned) },
                { QStringLiteral("published"), static_cast<qint64>(cluster.published) },
                { QStringLiteral("received"), static_cast<qint64>(cluster.received) } });
    }
    return QJsonDocument(stats).toJson(QJsonDocument::Compact);
}

MetricsSnapshot WebConsole::metrics()
{
    TrafficCounters& counters = hub_.counters();
    MetricsSnapshot s;
    s.counters = &counters;
    s.sentBytes = counters.sentBytesTotal();
    s.receivedBytes = counters.receivedBytesTotal();
    s.queueDropped = hub_.sendQueueDropped();
    s.refusedSenders = hub_.refusedCount();
    s.traceLinesDropped = hub_.console().droppedLines();
    s.systemsByStatus = mirror_->systemsByStatus();
    s.stations = mirror_->stationCount();
    s.liveSenders = counters.LiveSenderCount.load(std::memory_order_relaxed);
    s.queueDepth = hub_.sendQueueDepth();
    s.receiveQueues = hub_.receiveQueues();
    s.saveSucceeded = hub_.lastSave().succeeded;
    s.saveSeconds = std::chrono::duration<double>(hub_.lastSave().duration).count();
    s.lagSeconds = static_cast<double>(lag_->recentLongest()) / 1000.0;
    if (cluster_)
        s.cluster = cluster_();
    if (sip_.status)
        s.sip = sip_.status();
    s.liveClients = static_cast<std::uint64_t>(push_->clients());
    s.maxSystems = hub_.maxSystems();
    s.healthy = healthProblems().isEmpty();
    s.writes = writes_->counts();
    return s;
}

QStringList WebConsole::healthProblems() const
{
    QStringList problems;
    if (!hub_.listening())
        problems << QStringLiteral("the TCP endpoint is not listening");
    if (hub_.udpPort() == 0)
        problems << QStringLiteral("the UDP endpoint is not bound");
    if (hub_.velkaPort() == 0)
        problems << QStringLiteral("the UDP_VELKA endpoint is not bound");
    if (hub_.rackPort() == 0)
        problems << QStringLiteral("the UDP_RACK endpoint is not bound");
    if (!hub_.lastSave().succeeded)
        problems << QStringLiteral("the last save failed");
    if (cluster_) {
        const std::string problem = cluster_().problem;
        if (!problem.empty())
            problems << QStringLiteral("cluster: %1").arg(QString::fromStdString(problem));
    }
    return problems;
}

} // namespace korvel
