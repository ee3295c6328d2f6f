#include "subscription_file.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace korvel {

namespace {

QString Text(const std::string& text)
{
    return QString::fromStdString(text);
}

std::string Std(const QJsonValue& value)
{
    return value.toString().toStdString();
}

} // namespace

std::string SubscriptionsText(const SubscriptionBook& book, std::int64_t offsetMs, std::int64_t nowWallMs, bool orderly)
{
    QJsonArray list;
    for (const auto& [id, s] : book.all()) {
        QJsonArray routes;
        for (const std::string& route : s->routeSet)
            routes.append(Text(route));
        list.append(QJsonObject {
            { QStringLiteral("id"), static_cast<qint64>(id) },
            { QStringLiteral("event"), QLatin1String(SipEventName(s->event)) },
            { QStringLiteral("station"), Text(s->station) },
            { QStringLiteral("entity"), Text(s->entity) },
            { QStringLiteral("callId"), Text(s->callId) },
            { QStringLiteral("localTag"), Text(s->localTag) },
            { QStringLiteral("remoteTag"), Text(s->remoteTag) },
            { QStringLiteral("localUri"), Text(s->localUri) },
            { QStringLiteral("remoteUri"), Text(s->remoteUri) },
            { QStringLiteral("remoteTarget"), Text(s->remoteTarget) },
            { QStringLiteral("routeSet"), routes },
            { QStringLiteral("sourceAddress"), Text(s->sourceAddress) },
            { QStringLiteral("sourcePort"), s->sourcePort },
            { QStringLiteral("transport"), Text(s->transport) },
            { QStringLiteral("cseq"), static_cast<qint64>(s->cseq) },
            { QStringLiteral("version"), static_cast<qint64>(s->version) },
            { QStringLiteral("expires"), static_cast<qint64>(s->expiresAtMs + offsetMs) },
        });
    }
    const QJsonObject file { { QStringLiteral("orderly"), orderly },
        { QStringLiteral("written"), static_cast<qint64>(nowWallMs) }, { QStringLiteral("subscriptions"), list } };
    return QJsonDocument(file).toJson(QJsonDocument::Indented).toStdString();
}

Result<std::vector<SipSubscription>> ParseSubscriptions(
    const std::string& text, std::int64_t nowWallMs, std::int64_t offsetMs)
{
    QJsonParseError error {};
    const QJsonDocument document
        = QJsonDocument::fromJson(QByteArray::fromRawData(text.data(), static_cast<qsizetype>(text.size())), &error);
    if (!document.isObject())
        return Fail("not a subscription list: " + error.errorString().toStdString());
    const QJsonObject file = document.object();
    const std::int64_t sinceSeconds = std::clamp<std::int64_t>(
        (nowWallMs - file.value(QStringLiteral("written")).toInteger()) / 1000, 0, 100'000'000);
    const std::uint32_t margin = file.value(QStringLiteral("orderly")).toBool()
        ? 0
        : kSipRestartMargin + static_cast<std::uint32_t>(sinceSeconds) * kSipRestartMarginPerSecond;
    std::vector<SipSubscription> loaded;
    for (const QJsonValue item : file.value(QStringLiteral("subscriptions")).toArray()) {
        const QJsonObject o = item.toObject();
        SipSubscription s;
        const std::int64_t expires = o.value(QStringLiteral("expires")).toInteger();
        if (expires <= nowWallMs || !ParseSipEvent(Std(o.value(QStringLiteral("event"))), &s.event))
            continue;
        s.id = static_cast<std::uint64_t>(o.value(QStringLiteral("id")).toInteger());
        s.station = Std(o.value(QStringLiteral("station")));
        s.entity = Std(o.value(QStringLiteral("entity")));
        s.callId = Std(o.value(QStringLiteral("callId")));
        s.localTag = Std(o.value(QStringLiteral("localTag")));
        s.remoteTag = Std(o.value(QStringLiteral("remoteTag")));
        s.localUri = Std(o.value(QStringLiteral("localUri")));
        s.remoteUri = Std(o.value(QStringLiteral("remoteUri")));
        s.remoteTarget = Std(o.value(QStringLiteral("remoteTarget")));
        for (const QJsonValue route : o.value(QStringLiteral("routeSet")).toArray())
            s.routeSet.push_back(route.toString().toStdString());
        s.sourceAddress = Std(o.value(QStringLiteral("sourceAddress")));
        s.sourcePort = static_cast<std::uint16_t>(o.value(QStringLiteral("sourcePort")).toInt());
        s.transport = Std(o.value(QStringLiteral("transport")));
        s.cseq = static_cast<std::uint32_t>(o.value(QStringLiteral("cseq")).toInteger()) + margin;
        s.version = static_cast<std::uint32_t>(o.value(QStringLiteral("version")).toInteger()) + margin;
        s.expiresAtMs = expires - offsetMs;
        if (s.station.empty() || s.callId.empty() || s.localTag.empty() || s.remoteTarget.empty())
            continue;
        loaded.push_back(std::move(s));
    }
    return loaded;
}

} // namespace korvel
