#include "sip_import.h"

#include "log/console_log.h"
#include "protocol/defaults.h"
#include "protocol/request_builders.h"
#include "sip/subscription_book.h"
#include "store/system_table.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QXmlStreamReader>

#include <chrono>
#include <vector>

namespace korvel {

namespace {

std::int64_t SteadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

QByteArray Bytes8(std::string_view body)
{
    return QByteArray(body.data(), static_cast<qsizetype>(body.size()));
}

} // namespace

std::optional<std::uint8_t> StateFromDialogInfo(std::string_view body)
{
    QXmlStreamReader reader(Bytes8(body));
    bool root = false;
    bool inDialog = false;
    bool inCall = false;
    while (!reader.atEnd()) {
        reader.readNext();
        if (reader.isStartElement()) {
            if (!root) {
                if (reader.name() != QLatin1String("dialog-info"))
                    return std::nullopt;
                root = true;
            } else if (reader.name() == QLatin1String("dialog")) {
                inDialog = true;
            } else if (inDialog && reader.name() == QLatin1String("state")) {
                const QString state = reader.readElementText().trimmed();
                // Ringing (early, and the two before it) and a call up both light the lamp.
                if (state == QLatin1String("early") || state == QLatin1String("confirmed")
                    || state == QLatin1String("proceeding") || state == QLatin1String("trying"))
                    inCall = true;
            }
        } else if (reader.isEndElement() && reader.name() == QLatin1String("dialog")) {
            inDialog = false;
        }
    }
    if (reader.hasError() || !root)
        return std::nullopt;
    return inCall ? STATUS_BUSY : STATUS_IDLE;
}

std::optional<std::uint8_t> StateFromPidf(std::string_view body)
{
    QXmlStreamReader reader(Bytes8(body));
    bool root = false;
    bool closed = false;
    bool busy = false;
    bool onThePhone = false;
    bool doNotDisturb = false;
    bool inActivities = false;
    while (!reader.atEnd()) {
        reader.readNext();
        if (reader.isStartElement()) {
            const QStringView name = reader.name();
            if (!root) {
                if (name != QLatin1String("presence"))
                    return std::nullopt;
                root = true;
            } else if (name == QLatin1String("basic")) {
                closed = reader.readElementText().trimmed() == QLatin1String("closed") || closed;
            } else if (name == QLatin1String("activities")) {
                inActivities = true;
            } else if (inActivities && name == QLatin1String("busy")) {
                busy = true;
            } else if (inActivities && name == QLatin1String("on-the-phone")) {
                onThePhone = true;
            } else if (name == QLatin1String("note")) {
                const QString note = reader.readElementText().simplified();
                if (note.contains(QLatin1String("do not disturb"), Qt::CaseInsensitive)
                    || note.contains(QLatin1String("do-not-disturb"), Qt::CaseInsensitive)
                    || note.compare(QLatin1String("dnd"), Qt::CaseInsensitive) == 0)
                    doNotDisturb = true;
            }
        } else if (reader.isEndElement() && reader.name() == QLatin1String("activities")) {
            inActivities = false;
        }
    }
    if (reader.hasError() || !root)
        return std::nullopt;
    if (busy && doNotDisturb)
        return STATUS_DND;
    if (busy || onThePhone)
        return STATUS_BUSY;
    return closed ? STATUS_OOS : STATUS_IDLE;
}

std::optional<std::uint8_t> StateFromDocument(SipEvent event, std::string_view body)
{
    switch (event) {
    case SipEvent::Dialog:
        return StateFromDialogInfo(body);
    case SipEvent::Presence:
        return StateFromPidf(body);
    case SipEvent::MessageSummary:
        break;
    }
    return std::nullopt;
}

SipImport::SipImport(SystemTable& table, ConsoleLog& console, SipImportOptions options, Report report, Clock clock)
    : table_(table)
    , console_(console)
    , options_(std::move(options))
    , report_(std::move(report))
    , clock_(clock ? std::move(clock) : Clock(SteadyMs))
    , tagPrefix_(QByteArray::number(QRandomGenerator::global()->generate64(), 36).toStdString())
{
    connect(&sweepTimer_, &QTimer::timeout, this, &SipImport::sweep);
}

Result<void> SipImport::start(const std::string& ownAddress)
{
    const std::string& address = options_.systemAddress;
    if (address.empty())
        return Fail("the SIP extensions' system needs an address", Failure::Kind::Invalid);
    if (address == ownAddress)
        return Fail("the SIP extensions' system cannot have the hub's own address " + address, Failure::Kind::Conflict);
    if (const SystemEntry* found = table_.findSystem(address)) {
        // Only the entry an earlier start saved is taken over.
        if (found->EndpointType != kSilentEndpointType)
            return Fail(
                address + " is an exchange of the table; the SIP extensions' system needs an address of its own",
                Failure::Kind::Conflict);
    } else {
        table_.addSystem(address, options_.systemName, kTypeQvx);
    }
    SystemEntry* entry = table_.findSystem(address);
    if (!entry)
        return Fail("the table has no room for the SIP extensions' system", Failure::Kind::Failed);
    // The silent endpoint type: neither aged nor kept alive.
    table_.setEndpointType(*entry, kSilentEndpointType);
    table_.setSystemName(*entry, options_.systemName);
    table_.setStatus(*entry, SystemStatus::Working);
    sweepTimer_.start(1000);
    return {};
}

const SystemEntry* SipImport::entry() const
{
    return table_.findSystem(options_.systemAddress);
}

void SipImport::setState(const std::string& extension, std::uint8_t state)
{
    pending_[extension] = state;
    if (!flushQueued_) {
        flushQueued_ = true;
        QMetaObject::invokeMethod(this, &SipImport::flush, Qt::QueuedConnection);
    }
}

void SipImport::flush()
{
    flushQueued_ = false;
    const SystemEntry* system = entry();
    std::vector<std::string> stations;
    std::vector<std::uint8_t> values;
    for (const auto& [extension, state] : pending_) {
        if (system) {
            const std::ptrdiff_t index = system->findStation(extension);
            if (index >= 0 && system->StationStates[static_cast<std::size_t>(index)] == state)
                continue;
        }
        stations.push_back(extension);
        values.push_back(state);
    }
    pending_.clear();
    // As many to a report as an exchange puts in one.
    for (std::size_t first = 0; first < stations.size(); first += wire::kMaxMultiAckEntries) {
        const std::size_t count = std::min(stations.size() - first, wire::kMaxMultiAckEntries);
        const std::vector<std::string> part(stations.begin() + static_cast<std::ptrdiff_t>(first),
            stations.begin() + static_cast<std::ptrdiff_t>(first + count));
        Packet packet = BuildEntryPacket(MSG_STATUSREPORT, options_.systemName, part, STATUS_IDLE);
        for (std::size_t i = 0; i < count; ++i)
            packet[wire::kFirstEntryOffset + wire::kEntrySize * i + wire::kEntryValueOffset] = values[first + i];
        ++reportsSent_;
        changesSent_ += count;
        if (report_)
            report_(packet);
    }
}

std::string SipImport::newTag()
{
    return tagPrefix_ + "." + std::to_string(++tags_);
}

PublishAnswer SipImport::publish(const std::string& extension, const std::string& ifMatch,
    std::optional<std::uint32_t> expires, bool hasBody, std::optional<std::uint8_t> state)
{
    const bool removal = expires && *expires == 0;
    const ExpiresDecision decided = DecideExpires(expires);
    if (!removal && decided.status == 423)
        return { 423, {}, kSipMinExpires };
    if (hasBody && !state)
        return { 400, {}, 0 };
    if (ifMatch.empty()) {
        // An initial publication carries its state.
        if (!hasBody || removal)
            return { 400, {}, 0 };
        Publication added { extension, *state, clock_() + std::int64_t(decided.granted) * 1000, ++order_ };
        const std::string tag = newTag();
        add(tag, std::move(added));
        settle(extension);
        return { 200, tag, decided.granted };
    }
    const auto found = publications_.find(ifMatch);
    if (found == publications_.end() || found->second.extension != extension)
        return { 412, {}, 0 };
    Publication publication = found->second;
    erase(found);
    if (removal) {
        settle(extension);
        return { 200, {}, 0 };
    }
    if (hasBody) {
        publication.state = *state;
        publication.changedOrder = ++order_;
    }
    publication.expiresAtMs = clock_() + std::int64_t(decided.granted) * 1000;
    const std::string tag = newTag();
    add(tag, std::move(publication));
    settle(extension);
    return { 200, tag, decided.granted };
}

void SipImport::add(std::string tag, Publication publication)
{
    tagsOf_[publication.extension].push_back(tag);
    publications_.emplace(std::move(tag), std::move(publication));
}

void SipImport::erase(std::unordered_map<std::string, Publication>::iterator found)
{
    const auto tags = tagsOf_.find(found->second.extension);
    if (tags != tagsOf_.end()) {
        std::erase(tags->second, found->first);
        if (tags->second.empty())
            tagsOf_.erase(tags);
    }
    publications_.erase(found);
}

void SipImport::settle(const std::string& extension)
{
    const Publication* newest = nullptr;
    if (const auto tags = tagsOf_.find(extension); tags != tagsOf_.end()) {
        for (const std::string& tag : tags->second) {
            const Publication& publication = publications_.at(tag);
            if (!newest || publication.changedOrder > newest->changedOrder)
                newest = &publication;
        }
    }
    setState(extension, newest ? newest->state : std::uint8_t { STATUS_IDLE });
}

void SipImport::sweep()
{
    const std::int64_t now = clock_();
    std::vector<std::string> ended;
    std::vector<std::string> expired;
    for (const auto& [tag, publication] : publications_) {
        if (publication.expiresAtMs <= now)
            expired.push_back(tag);
    }
    for (const std::string& tag : expired) {
        const auto found = publications_.find(tag);
        ended.push_back(found->second.extension);
        erase(found);
    }
    for (const std::string& extension : ended) {
        console_.log("SIP publication of %s expired", extension.c_str());
        settle(extension);
    }
}

std::string SipImport::json() const
{
    QJsonArray list;
    const std::int64_t now = clock_();
    for (const auto& [tag, publication] : publications_) {
        list.append(QJsonObject {
            { QStringLiteral("extension"), QString::fromStdString(publication.extension) },
            { QStringLiteral("etag"), QString::fromStdString(tag) },
            { QStringLiteral("state"), publication.state },
            { QStringLiteral("expires"), static_cast<qint64>((publication.expiresAtMs - now + 999) / 1000) },
        });
    }
    const QJsonObject out {
        { QStringLiteral("system"), QString::fromStdString(options_.systemAddress) },
        { QStringLiteral("name"), QString::fromStdString(options_.systemName) },
        { QStringLiteral("publications"), list },
        { QStringLiteral("reports"), static_cast<qint64>(reportsSent_) },
        { QStringLiteral("changes"), static_cast<qint64>(changesSent_) },
    };
    return QJsonDocument(out).toJson(QJsonDocument::Compact).toStdString();
}

} // namespace korvel
