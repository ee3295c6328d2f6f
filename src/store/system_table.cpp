#include "system_table.h"

#include "system_files.h"

#include <algorithm>
#include <utility>

namespace korvel {

namespace {

template <typename Iterator> void InsertInListOrder(std::vector<Iterator>& bucket, Iterator it)
{
    auto position = std::find_if(
        bucket.begin(), bucket.end(), [&](const Iterator& other) { return other->listOrder() > it->listOrder(); });
    bucket.insert(position, it);
}

template <typename Map, typename Iterator> void EraseFromBucket(Map& map, const std::string& key, Iterator it)
{
    auto found = map.find(key);
    if (found == map.end())
        return;
    auto& bucket = found->second;
    bucket.erase(std::remove(bucket.begin(), bucket.end(), it), bucket.end());
    if (bucket.empty())
        map.erase(found);
}

} // namespace

std::ptrdiff_t SystemEntry::findStation(std::string_view station) const
{
    return Stations.find(station);
}

void SystemEntry::setStations(std::vector<std::string> stations)
{
    if (stations.size() > kMaxStations)
        stations.resize(kMaxStations);
    Stations = StationList(stations);
    StationStates.assign(Stations.size(), -1);
    StationStates.shrink_to_fit();
}

bool SystemEntry::appendStation(std::string_view station)
{
    // A real exchange never comes near this; the cap keeps a hostile sender
    // from growing a system without bound.
    if (Stations.size() >= kMaxStations)
        return false;
    // Room grows by a quarter, never past the cap.
    if (Stations.size() == Stations.capacity()) {
        const std::size_t room = std::min(kMaxStations, std::max<std::size_t>(8, Stations.size() * 5 / 4));
        Stations.reserve(room);
        StationStates.reserve(room);
    }
    Stations.push_back(station);
    StationStates.push_back(-1);
    return true;
}

void SystemEntry::resetStations()
{
    Stations.clear();
    StationStates.clear();
    Status = SystemStatus::Unknown;
}

SystemTable::SystemTable(std::filesystem::path dataDirectory, Clock clock)
    : dataDirectory_(std::move(dataDirectory))
    , clock_(clock ? std::move(clock) : [] { return static_cast<std::int64_t>(std::time(nullptr)); })
{
}

SystemEntry* SystemTable::findSystem(const std::string& ip)
{
    owner_("FindSystem");
    auto found = byAddress_.find(ip);
    return found == byAddress_.end() ? nullptr : &*found->second.front();
}

const SystemEntry* SystemTable::findSystem(const std::string& ip) const
{
    return const_cast<SystemTable*>(this)->findSystem(ip);
}

std::int32_t SystemTable::getSystemType(const std::string& ip) const
{
    const SystemEntry* entry = findSystem(ip);
    return entry ? entry->Type : 0;
}

bool SystemTable::isStationRegistered(const std::string& ip, const std::string& station) const
{
    const SystemEntry* entry = findSystem(ip);
    return entry && entry->findStation(station) >= 0;
}

const StationList* SystemTable::getStationList(const std::string& ip) const
{
    const SystemEntry* entry = findSystem(ip);
    return entry ? &entry->Stations : nullptr;
}

void SystemTable::addChangeObserver(SystemChangeObserver* observer)
{
    owner_("addChangeObserver");
    changes_.push_back(observer);
}

void SystemTable::removeChangeObserver(SystemChangeObserver* observer)
{
    owner_("removeChangeObserver");
    changes_.erase(std::remove(changes_.begin(), changes_.end(), observer), changes_.end());
}

void SystemTable::markHeard(SystemEntry& entry)
{
    const std::int64_t now = clock_();
    if (entry.LastHeard != now || !entry.HeardSinceStart) {
        entry.LastHeard = now;
        entry.HeardSinceStart = true;
        notify(&SystemChangeObserver::systemHeard, entry);
    }
}

void SystemTable::markHeard(const std::string& ip)
{
    if (SystemEntry* entry = findSystem(ip))
        markHeard(*entry);
}

SystemEntry& SystemTable::appendEntry(const std::string& ip, const std::string& name, std::int32_t type,
    std::int32_t endpointType, std::int32_t port, const std::string& toIp)
{
    ++generation_;
    SystemEntry& entry = systems_.emplace_back();
    entry.IpAddress = ip;
    entry.Name = name;
    entry.ToIp = toIp.empty() ? ip : toIp;
    entry.Type = type;
    entry.EndpointType = endpointType;
    entry.Port = port;
    entry.order_ = nextOrder_++;
    entry.LastHeard = clock_();
    entry.resetStations();
    auto it = std::prev(systems_.end());
    indexAddress(it);
    indexToIp(it);
    notify(&SystemChangeObserver::systemAdded, entry);
    return entry;
}

bool SystemTable::addSystem(const std::string& ip, const std::string& name, std::int32_t type)
{
    if (findSystem(ip))
        return false;
    // No file is written here: a flood of new senders must not cost a disk
    // write each on the event loop. The next save writes the station file.
    SystemEntry& entry = appendEntry(ip, name, type, kDefaultEndpointType, kDefaultSystemPort, std::string());
    notifyChanged(entry);
    refreshSystemList();
    return true;
}

void SystemTable::setStatus(SystemEntry& entry, SystemStatus status)
{
    if (entry.Status != status) {
        entry.Status = status;
        notifyChanged(entry);
    }
    refreshSystemList();
}

void SystemTable::setSystemStatus(const std::string& ip, SystemStatus status)
{
    if (SystemEntry* entry = findSystem(ip))
        setStatus(*entry, status);
}

void SystemTable::setSystemName(const std::string& ip, const std::string& name)
{
    if (SystemEntry* entry = findSystem(ip))
        setSystemName(*entry, name);
}

void SystemTable::setSystemName(SystemEntry& entry, const std::string& name)
{
    if (entry.Name != name) {
        entry.Name = name;
        notifyChanged(entry);
    }
    refreshSystemList();
    markHeard(entry);
}

SystemEntry* SystemTable::replaceSystemAddress(const std::string& newIp, const std::string& announcedIp)
{
    auto found = byToIp_.find(announcedIp);
    if (found == byToIp_.end())
        return findSystem(newIp);
    // Copy: re-keying does not touch ToIp, but keep the walk independent of the index.
    const std::vector<Entries::iterator> matches = found->second;
    for (auto it : matches) {
        if (it->IpAddress != newIp) {
            ++generation_;
            ++reshapes_;
            unindexAddress(it);
            const std::string oldIp = std::exchange(it->IpAddress, newIp);
            indexAddress(it);
            notifyChanged(*it);
            notify(&SystemChangeObserver::systemReaddressed, *it, oldIp);
        }
        refreshSystemList();
        markHeard(*it);
    }
    return findSystem(newIp);
}

void SystemTable::setSystemPort(const std::string& ip, std::int32_t port)
{
    if (SystemEntry* entry = findSystem(ip))
        setSystemPort(*entry, port);
}

void SystemTable::setEndpointType(const std::string& ip, std::int32_t endpointType)
{
    if (SystemEntry* entry = findSystem(ip))
        setEndpointType(*entry, endpointType);
}

void SystemTable::setStationStatus(const std::string& ip, const std::string& station, std::int32_t state)
{
    if (SystemEntry* entry = findSystem(ip))
        setStationStatus(*entry, station, state);
}

void SystemTable::setStationStatus(SystemEntry& entry, const std::string& station, std::int32_t state)
{
    std::ptrdiff_t index = entry.findStation(station);
    const bool added = index < 0;
    if (added) {
        if (!entry.appendStation(station))
            return;
        index = static_cast<std::ptrdiff_t>(entry.Stations.size() - 1);
    }
    std::int32_t& kept = entry.StationStates[static_cast<std::size_t>(index)];
    const bool changed = added || kept != state;
    kept = state;
    if (changed)
        notify(&SystemChangeObserver::stationChanged, entry, static_cast<std::size_t>(index));
}

void SystemTable::removeEntry(const SystemEntry& entry)
{
    const auto found = byAddress_.find(entry.IpAddress);
    if (found == byAddress_.end())
        return;
    const auto match
        = std::find_if(found->second.begin(), found->second.end(), [&](const auto& it) { return &*it == &entry; });
    if (match == found->second.end())
        return;
    removeEntry(*match);
    refreshSystemList();
}

void SystemTable::removeSystem(const std::string& ip)
{
    const auto found = byAddress_.find(ip);
    if (found == byAddress_.end())
        return;
    // Copy: removing an entry edits the bucket.
    const std::vector<Entries::iterator> matches = found->second;
    for (auto it : matches)
        removeEntry(it);
    refreshSystemList();
}

void SystemTable::clearAllSystems()
{
    clear();
    refreshSystemList();
    clearStationView();
}

void SystemTable::refreshSystemList()
{
    if (observer_)
        observer_->refreshSystemList();
}

void SystemTable::clearStationView()
{
    if (observer_)
        observer_->clearStationView();
}

void SystemTable::stationsLoaded(const SystemEntry& entry)
{
    notify(&SystemChangeObserver::stationsReplaced, entry);
}

void SystemTable::removeEntry(Entries::iterator it)
{
    notify(&SystemChangeObserver::systemRemoved, *it);
    ++generation_;
    ++reshapes_;
    unindexAddress(it);
    EraseFromBucket(byToIp_, it->ToIp, it);
    systems_.erase(it);
}

void SystemTable::clear()
{
    owner_("clear");
    ++generation_;
    ++reshapes_;
    byAddress_.clear();
    byToIp_.clear();
    systems_.clear();
    notify(&SystemChangeObserver::tableCleared);
}

void SystemTable::indexAddress(Entries::iterator it)
{
    InsertInListOrder(byAddress_[it->IpAddress], it);
}

void SystemTable::unindexAddress(Entries::iterator it)
{
    EraseFromBucket(byAddress_, it->IpAddress, it);
}

void SystemTable::indexToIp(Entries::iterator it)
{
    InsertInListOrder(byToIp_[it->ToIp], it);
}

} // namespace korvel
