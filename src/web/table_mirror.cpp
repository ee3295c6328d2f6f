#include "table_mirror.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace korvel {

namespace {

QString Latin1(const std::string& text)
{
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace

std::size_t TableMirror::StatusKind(SystemStatus status)
{
    switch (status) {
    case SystemStatus::Working:
        return 0;
    case SystemStatus::Error:
        return 1;
    case SystemStatus::NoData:
        return 2;
    case SystemStatus::Unknown:
        break;
    }
    return 3;
}

QByteArray TableMirror::RowJson(const SystemEntry& entry)
{
    const QJsonObject row {
        { QStringLiteral("id"), static_cast<qint64>(entry.listOrder()) },
        { QStringLiteral("name"), Latin1(entry.Name) },
        { QStringLiteral("address"), Latin1(entry.IpAddress) },
        { QStringLiteral("status"), StatusNumber(entry.Status) },
        { QStringLiteral("statusText"), QLatin1String(SystemStatusName(entry.Status)) },
        { QStringLiteral("type"), entry.Type == kTypeQvx ? QStringLiteral("QVX") : QStringLiteral("Velka") },
        { QStringLiteral("toIp"), Latin1(entry.ToIp) },
        { QStringLiteral("port"), entry.Port },
        { QStringLiteral("endpointType"), entry.EndpointType },
        // 0: nothing from it since the hub started; a loaded entry's time is its load.
        { QStringLiteral("lastHeard"), static_cast<qint64>(entry.HeardSinceStart ? entry.LastHeard : 0) },
        { QStringLiteral("stations"), static_cast<qint64>(entry.Stations.size()) },
    };
    return QJsonDocument(row).toJson(QJsonDocument::Compact);
}

TableMirror::TableMirror(SystemTable& table)
    : table_(table)
{
    for (const SystemEntry& entry : table.systems())
        systemAdded(entry);
    pushDue_.clear();
    for (auto& [id, row] : rows_)
        row.pushDue = false;
    table_.addChangeObserver(this);
}

TableMirror::~TableMirror()
{
    table_.removeChangeObserver(this);
}

TableMirror::Row* TableMirror::row(const SystemEntry& entry)
{
    auto found = rows_.find(entry.listOrder());
    return found == rows_.end() ? nullptr : &found->second;
}

const SystemEntry* TableMirror::entry(std::uint64_t id) const
{
    owner_("entry");
    auto found = rows_.find(id);
    return found == rows_.end() ? nullptr : found->second.entry;
}

void TableMirror::touch(Row& row)
{
    row.jsonDue = true;
    listDue_ = true;
    if (!row.pushDue) {
        row.pushDue = true;
        pushDue_.push_back(row.entry->listOrder());
    }
}

void TableMirror::systemAdded(const SystemEntry& entry)
{
    owner_("systemAdded");
    Row& added = rows_[entry.listOrder()];
    added.entry = &entry;
    added.statusKind = StatusKind(entry.Status);
    added.stations = entry.Stations.size();
    ++byStatus_[added.statusKind];
    stations_ += added.stations;
    touch(added);
    announce();
}

void TableMirror::systemChanged(const SystemEntry& entry)
{
    owner_("systemChanged");
    Row* changed = row(entry);
    if (!changed)
        return;
    const std::size_t kind = StatusKind(entry.Status);
    --byStatus_[changed->statusKind];
    ++byStatus_[kind];
    changed->statusKind = kind;
    touch(*changed);
    announce();
}

void TableMirror::systemHeard(const SystemEntry& entry)
{
    owner_("systemHeard");
    Row* heard = row(entry);
    if (!heard)
        return;
    heard->jsonDue = true;
    listDue_ = true;
    if (!heard->heardDue) {
        heard->heardDue = true;
        heardDue_.push_back(entry.listOrder());
    }
    announce();
}

void TableMirror::systemRemoved(const SystemEntry& entry)
{
    owner_("systemRemoved");
    auto found = rows_.find(entry.listOrder());
    if (found == rows_.end())
        return;
    --byStatus_[found->second.statusKind];
    stations_ -= found->second.stations;
    rows_.erase(found);
    // Nobody may take the changes for months (no page open): past a bound the
    // removals turn into one reset, which a page answers by reading the list.
    if (!reset_ && removed_.size() < kMaxRemovalsHeld) {
        removed_.push_back(entry.listOrder());
    } else {
        removed_.clear();
        reset_ = true;
    }
    listDue_ = true;
    announce();
}

void TableMirror::tableCleared()
{
    owner_("tableCleared");
    rows_.clear();
    byStatus_ = {};
    stations_ = 0;
    pushDue_.clear();
    removed_.clear();
    heardDue_.clear();
    stationsDue_.clear();
    listDue_ = true;
    reset_ = true;
    announce();
}

void TableMirror::stationChanged(const SystemEntry& entry, std::size_t index)
{
    owner_("stationChanged");
    Row* changed = row(entry);
    if (!changed)
        return;
    bool due = false;
    if (index >= changed->stations) {
        stations_ += index + 1 - changed->stations;
        changed->stations = index + 1;
        touch(*changed);
        due = true;
    }
    if (changed->watchers > 0) {
        due = true;
        if (changed->stationDue.size() <= index)
            changed->stationDue.resize(index + 1);
        if (!changed->stationDue[index]) {
            changed->stationDue[index] = true;
            if (changed->changedStations.empty())
                stationsDue_.push_back(entry.listOrder());
            changed->changedStations.push_back(static_cast<std::uint32_t>(index));
        }
    }
    if (due)
        announce();
}

void TableMirror::stationsReplaced(const SystemEntry& entry)
{
    owner_("stationsReplaced");
    Row* changed = row(entry);
    if (!changed)
        return;
    stations_ -= changed->stations;
    changed->stations = 0;
    for (std::size_t i = 0; i < entry.Stations.size(); ++i)
        stationChanged(entry, i);
    touch(*changed);
    announce();
}

void TableMirror::watch(std::uint64_t id)
{
    owner_("watch");
    auto found = rows_.find(id);
    if (found != rows_.end())
        ++found->second.watchers;
}

void TableMirror::unwatch(std::uint64_t id)
{
    owner_("unwatch");
    auto found = rows_.find(id);
    if (found == rows_.end() || found->second.watchers == 0)
        return;
    Row& watched = found->second;
    if (--watched.watchers == 0) {
        watched.changedStations.clear();
        watched.stationDue.clear();
    }
}

QByteArray TableMirror::systemsJson()
{
    owner_("systemsJson");
    if (!listDue_)
        return listJson_;
    QByteArray list;
    list.reserve(listJson_.size() + 256);
    list.append('[');
    for (auto& [id, listed] : rows_) {
        if (listed.jsonDue) {
            listed.json = RowJson(*listed.entry);
            listed.jsonDue = false;
        }
        if (list.size() > 1)
            list.append(',');
        list.append(listed.json);
    }
    list.append(']');
    listJson_ = std::move(list);
    listDue_ = false;
    return listJson_;
}

TableMirror::Changes TableMirror::takeChanges()
{
    owner_("takeChanges");
    Changes changes;
    changes.reset = reset_;
    reset_ = false;
    for (std::uint64_t id : heardDue_) {
        auto found = rows_.find(id);
        if (found == rows_.end())
            continue;
        found->second.heardDue = false;
        if (!found->second.pushDue)
            changes.heard.emplace_back(id, found->second.entry->LastHeard);
    }
    heardDue_.clear();
    for (std::uint64_t id : pushDue_) {
        auto found = rows_.find(id);
        if (found == rows_.end())
            continue;
        Row& due = found->second;
        if (due.jsonDue) {
            due.json = RowJson(*due.entry);
            due.jsonDue = false;
        }
        due.pushDue = false;
        changes.systems.push_back(due.json);
    }
    pushDue_.clear();
    changes.removed.swap(removed_);
    for (std::uint64_t id : stationsDue_) {
        auto found = rows_.find(id);
        if (found == rows_.end() || found->second.changedStations.empty())
            continue;
        Row& due = found->second;
        for (std::uint32_t index : due.changedStations)
            due.stationDue[index] = false;
        changes.stations[id].swap(due.changedStations);
    }
    stationsDue_.clear();
    return changes;
}

} // namespace korvel
