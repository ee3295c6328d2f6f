#include "live_push.h"

#include "log/console_log.h"
#include "web/table_mirror.h"
#include "web/trace_tail.h"
#include "web/traffic_history.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QWebSocket>

#include <algorithm>
#include <map>

namespace korvel {

namespace {

constexpr std::uint64_t kNothing = ~std::uint64_t(0);
// What a client may send: {"watch":id}.
constexpr quint64 kMaxIncoming = 1024;

QByteArray Compact(const QJsonArray& array)
{
    return QJsonDocument(array).toJson(QJsonDocument::Compact);
}

QByteArray Compact(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QString Latin1(std::string_view text)
{
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

QByteArray IdList(const std::vector<std::uint64_t>& ids)
{
    QByteArray list = "[";
    for (std::uint64_t id : ids) {
        if (list.size() > 1)
            list += ',';
        list += QByteArray::number(id);
    }
    return list + ']';
}

} // namespace

struct LivePush::Client {
    QWebSocket* socket = nullptr;
    std::uint64_t watched = kNothing;
    // Asked for, taken up at the next push: a client cannot have the
    // stations built more often than the pushes go out.
    std::uint64_t wanted = kNothing;
    bool watchDue = false;
    QElapsedTimer sincePong;
};

LivePush::LivePush(TableMirror& mirror, TraceTail& trace, TrafficHistory& history, int maxClients,
    qint64 maxBacklogBytes, QObject* parent)
    : QObject(parent)
    , mirror_(mirror)
    , trace_(trace)
    , history_(history)
    , maxClients_(maxClients)
    , maxBacklog_(maxBacklogBytes)
{
    flushTimer_.setSingleShot(true);
    connect(&flushTimer_, &QTimer::timeout, this, &LivePush::flush);
    pingTimer_.setInterval(kPingMs);
    connect(&pingTimer_, &QTimer::timeout, this, &LivePush::pingAll);
    sinceFlush_.start();
    mirror_.setChangeHandler([this] { schedule(); });
    connect(&trace_, &TraceTail::linesAdded, this, [this] {
        traceDue_ = true;
        schedule();
    });
}

LivePush::~LivePush()
{
    mirror_.setChangeHandler({});
    for (const auto& client : clients_)
        delete client->socket;
}

void LivePush::add(std::unique_ptr<QWebSocket> owned)
{
    if (full()) {
        owned->close(QWebSocketProtocol::CloseCodeTooMuchData, QStringLiteral("too many live clients"));
        owned.release()->deleteLater();
        return;
    }
    // The first client starts from a whole list; what was gathered before is stale.
    if (clients_.empty()) {
        mirror_.takeChanges();
        trace_.takeNew();
        traceDue_ = trafficDue_ = false;
        pingTimer_.start();
    }
    auto client = std::make_unique<Client>();
    client->socket = owned.release();
    client->socket->setParent(this);
    client->socket->setMaxAllowedIncomingFrameSize(kMaxIncoming);
    client->socket->setMaxAllowedIncomingMessageSize(kMaxIncoming);
    client->sincePong.start();
    Client* raw = client.get();
    connect(raw->socket, &QWebSocket::disconnected, this, [this, raw] { drop(raw); });
    connect(raw->socket, &QWebSocket::textMessageReceived, this,
        [this, raw](const QString& message) { received(raw, message); });
    connect(raw->socket, &QWebSocket::pong, this, [raw] { raw->sincePong.restart(); });
    clients_.push_back(std::move(client));

    QJsonArray traffic;
    for (const TrafficHistory::Sample& sample : history_.samples())
        traffic.append(TrafficHistory::ToJson(sample));
    send(*raw,
        "{\"t\":\"hello\",\"systems\":" + mirror_.systemsJson() + ",\"traffic\":" + Compact(traffic)
            + ",\"trace\":" + Compact(QJsonArray::fromStringList(trace_.tail()))
            + ",\"logging\":" + (trace_.logging() ? "true" : "false") + '}');
}

void LivePush::trafficSampled()
{
    trafficDue_ = true;
    schedule();
}

void LivePush::schedule()
{
    if (clients_.empty() || flushTimer_.isActive())
        return;
    flushTimer_.start(static_cast<int>(std::max<qint64>(0, kIntervalMs - sinceFlush_.elapsed())));
}

void LivePush::flush()
{
    sinceFlush_.restart();
    TableMirror::Changes changes = mirror_.takeChanges();

    QByteArray shared;
    auto member = [&shared](const char* name, const QByteArray& value) {
        shared += ",\"";
        shared += name;
        shared += "\":";
        shared += value;
    };
    if (changes.reset) {
        member("reset", "true");
        member("systems", mirror_.systemsJson());
        // The mirror forgot every watch with the rows.
        for (const auto& client : clients_)
            client->watched = kNothing;
    } else {
        if (!changes.systems.empty()) {
            QByteArray rows = "[";
            for (const QByteArray& row : changes.systems) {
                if (rows.size() > 1)
                    rows += ',';
                rows += row;
            }
            member("systems", rows + ']');
        }
        if (!changes.removed.empty())
            member("removed", IdList(changes.removed));
        if (!changes.heard.empty()) {
            QByteArray heard = "[";
            for (const auto& [id, time] : changes.heard) {
                if (heard.size() > 1)
                    heard += ',';
                heard += '[' + QByteArray::number(id) + ',' + QByteArray::number(time) + ']';
            }
            member("heard", heard + ']');
        }
    }
    if (trafficDue_ && !history_.samples().empty()) {
        member("traffic", Compact(TrafficHistory::ToJson(history_.samples().back())));
        member("logging", trace_.logging() ? "true" : "false");
    }
    trafficDue_ = false;
    if (traceDue_) {
        const QStringList lines = trace_.takeNew();
        if (!lines.isEmpty())
            member("trace", Compact(QJsonArray::fromStringList(lines)));
        traceDue_ = false;
    }

    // Each watched system's station changes, built once however many watch it.
    std::map<std::uint64_t, QByteArray> stationParts;
    for (const auto& [id, indices] : changes.stations) {
        const SystemEntry* entry = mirror_.entry(id);
        if (!entry)
            continue;
        QJsonArray changed;
        for (std::uint32_t index : indices) {
            if (index < entry->Stations.size()) {
                changed.append(QJsonArray {
                    static_cast<qint64>(index), Latin1(entry->Stations[index]), entry->StationStates[index] });
            }
        }
        stationParts[id] = ",\"stations\":"
            + Compact(QJsonObject { { QStringLiteral("id"), static_cast<qint64>(id) },
                { QStringLiteral("count"), static_cast<qint64>(entry->Stations.size()) },
                { QStringLiteral("changes"), changed } });
    }

    // Most clients get the same message: it is made text once.
    QString common;
    std::map<std::uint64_t, QString> snapshots;
    std::vector<Client*> receivers;
    for (const auto& client : clients_)
        receivers.push_back(client.get());
    for (Client* client : receivers) {
        const auto part = client->watchDue ? stationParts.end() : stationParts.find(client->watched);
        if (part != stationParts.end()) {
            if (!send(*client, QString::fromUtf8("{\"t\":\"update\"" + shared + part->second + '}')))
                continue;
        } else if (!shared.isEmpty()) {
            if (common.isEmpty())
                common = QString::fromUtf8("{\"t\":\"update\"" + shared + '}');
            if (!send(*client, common))
                continue;
        }
        if (client->watchDue) {
            watch(*client);
            auto snapshot = snapshots.find(client->wanted);
            if (snapshot == snapshots.end())
                snapshot = snapshots.emplace(client->wanted, stationsMessage(client->wanted)).first;
            send(*client, snapshot->second);
        }
    }
}

void LivePush::received(Client* client, const QString& message)
{
    const QJsonValue watch = QJsonDocument::fromJson(message.toUtf8()).object().value(QLatin1String("watch"));
    std::uint64_t id = kNothing;
    if (watch.isDouble()) {
        const double value = watch.toDouble();
        if (value >= 0 && value < 9e15 && value == static_cast<double>(static_cast<std::uint64_t>(value)))
            id = static_cast<std::uint64_t>(value);
    } else if (!watch.isNull()) {
        return;
    }
    client->wanted = id;
    client->watchDue = true;
    schedule();
}

void LivePush::watch(Client& client)
{
    client.watchDue = false;
    if (client.watched != kNothing)
        mirror_.unwatch(client.watched);
    client.watched = mirror_.entry(client.wanted) ? client.wanted : kNothing;
    if (client.watched != kNothing)
        mirror_.watch(client.watched);
}

QString LivePush::stationsMessage(std::uint64_t id) const
{
    const SystemEntry* entry = mirror_.entry(id);
    if (!entry)
        return id == kNothing ? QString() : QStringLiteral("{\"t\":\"stations\",\"id\":%1,\"gone\":true}").arg(id);
    QJsonArray numbers;
    QJsonArray states;
    for (std::size_t i = 0; i < entry->Stations.size(); ++i) {
        numbers.append(Latin1(entry->Stations[i]));
        states.append(entry->StationStates[i]);
    }
    return QString::fromUtf8("{\"t\":\"stations\",\"id\":" + QByteArray::number(id) + ",\"numbers\":" + Compact(numbers)
        + ",\"states\":" + Compact(states) + '}');
}

bool LivePush::send(Client& client, const QByteArray& message)
{
    return send(client, QString::fromUtf8(message));
}

bool LivePush::send(Client& client, const QString& message)
{
    if (message.isEmpty())
        return true;
    // A client that does not read would make its socket buffer all we send.
    if (client.socket->bytesToWrite() > maxBacklog_) {
        ++dropped_;
        drop(&client);
        return false;
    }
    client.socket->sendTextMessage(message);
    return true;
}

void LivePush::drop(Client* client)
{
    const auto found
        = std::find_if(clients_.begin(), clients_.end(), [client](const auto& held) { return held.get() == client; });
    if (found == clients_.end())
        return;
    if (client->watched != kNothing)
        mirror_.unwatch(client->watched);
    client->socket->disconnect(this);
    client->socket->abort();
    client->socket->deleteLater();
    clients_.erase(found);
    if (clients_.empty())
        pingTimer_.stop();
}

void LivePush::pingAll()
{
    std::vector<Client*> all;
    for (const auto& client : clients_)
        all.push_back(client.get());
    for (Client* client : all) {
        if (client->sincePong.elapsed() > 3 * kPingMs) {
            ++dropped_;
            drop(client);
        } else {
            client->socket->ping();
        }
    }
}

} // namespace korvel
