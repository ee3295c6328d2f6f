#include "subscription_file.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <string_view>
#include <type_traits>

namespace korvel {

namespace {

void AppendString(std::string& out, std::string_view text)
{
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            out += "\\u00";
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        } else {
            out += c;
        }
    }
    out += '"';
}

void AppendKey(std::string& out, std::string_view key, bool comma)
{
    if (comma)
        out += ',';
    out += '"';
    out += key;
    out += "\":";
}

void AppendMember(std::string& out, std::string_view key, std::string_view text)
{
    AppendKey(out, key, true);
    AppendString(out, text);
}

template <typename Number>
requires std::is_integral_v<Number>
void AppendMember(std::string& out, std::string_view key, Number number, bool comma = true)
{
    AppendKey(out, key, comma);
    out += std::to_string(number);
}

std::string Std(const QJsonValue& value)
{
    return value.toString().toStdString();
}

} // namespace

std::string SubscriptionsText(const SubscriptionBook& book, std::int64_t offsetMs, std::int64_t nowWallMs, bool orderly)
{
    // Written by hand rather than through a document tree: tens of thousands
    // of subscriptions are saved every few seconds while they change.
    std::string out;
    out.reserve(64 + book.all().size() * 400);
    out += "{\"orderly\":";
    out += orderly ? "true" : "false";
    out += ",\"written\":" + std::to_string(nowWallMs) + ",\"subscriptions\":[";
    bool first = true;
    for (const auto& [id, s] : book.all()) {
        out += first ? "\n{" : ",\n{";
        first = false;
        AppendMember(out, "id", id, false);
        AppendMember(out, "event", std::string_view(SipEventName(s->event)));
        AppendMember(out, "station", s->station);
        AppendMember(out, "entity", s->entity);
        AppendMember(out, "callId", s->callId);
        AppendMember(out, "localTag", s->localTag);
        AppendMember(out, "remoteTag", s->remoteTag);
        AppendMember(out, "localUri", s->localUri);
        AppendMember(out, "remoteUri", s->remoteUri);
        AppendMember(out, "remoteTarget", s->remoteTarget);
        out += ",\"routeSet\":[";
        for (std::size_t i = 0; i < s->routeSet.size(); ++i) {
            if (i)
                out += ',';
            AppendString(out, s->routeSet[i]);
        }
        out += ']';
        AppendMember(out, "sourceAddress", s->sourceAddress);
        AppendMember(out, "sourcePort", s->sourcePort);
        AppendMember(out, "transport", s->transport);
        AppendMember(out, "cseq", s->cseq);
        AppendMember(out, "version", s->version);
        AppendMember(out, "expires", s->expiresAtMs + offsetMs);
        out += '}';
    }
    out += "\n]}\n";
    return out;
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
