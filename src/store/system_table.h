#pragma once

#include "base/thread_check.h"
#include "protocol/defaults.h"
#include "protocol/station_list.h"
#include "store/status_names.h"
#include "store/system_view_observer.h"

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <list>
#include <string>
#include <unordered_map>
#include <vector>

namespace korvel {

inline constexpr std::size_t kMaxStations = 3000;

// One PBX system. Stations and StationStates run in step; a station's index
// never changes while its system lives.
struct SystemEntry {
    std::string Name;
    std::string IpAddress;
    std::string ToIp;
    std::int32_t Type = kTypeQvx;
    std::int32_t EndpointType = kDefaultEndpointType;
    std::int32_t Port = kDefaultSystemPort;
    SystemStatus Status = SystemStatus::Unknown;
    StationList Stations;
    std::vector<std::int32_t> StationStates;
    // The keep-alive's clock: when a packet last named the system, or when
    // the entry was loaded or added.
    std::int64_t LastHeard = 0;
    // Something has come from the system since the hub started; until then a
    // loaded entry's LastHeard is only its load time. Not saved.
    bool HeardSinceStart = false;

    // Index of the first station equal to `station` ignoring ASCII case, or -1.
    std::ptrdiff_t findStation(std::string_view station) const;
    // Replaces the station list (as a station file does); every state -1.
    void setStations(std::vector<std::string> stations);
    // Appends a station in state -1; false when the system holds kMaxStations.
    bool appendStation(std::string_view station);
    // Empties the stations and sets Status to Unknown.
    void resetStations();

    // Position in the table's list; later entries have larger values.
    std::uint64_t listOrder() const { return order_; }

private:
    friend class SystemTable;
    std::uint64_t order_ = 0;
};

// Told of every change to a system's shared fields or to a station's state,
// as it happens; the cluster shares the table this way. Never told of loading.
// An observer that keeps a copy of the whole table (the web console) is also
// told of every entry appended (loaded ones too) and removed, of the station
// list a load gave it, of LastHeard moving and of the table emptied, so that
// it never has to walk the table again; systemRemoved comes just before the
// entry goes, the others after the change.
class SystemChangeObserver {
public:
    virtual ~SystemChangeObserver() = default;
    virtual void systemChanged(const SystemEntry& entry) = 0;
    // A station's state changed, or the station was appended at `index`.
    virtual void stationChanged(const SystemEntry& entry, std::size_t index) = 0;
    virtual void systemAdded(const SystemEntry&) { }
    virtual void systemHeard(const SystemEntry&) { }
    virtual void systemRemoved(const SystemEntry&) { }
    // After systemChanged, when the entry's address was re-keyed away from `oldIp`.
    virtual void systemReaddressed(const SystemEntry&, const std::string& /*oldIp*/) { }
    virtual void stationsReplaced(const SystemEntry&) { }
    virtual void tableCleared() { }
};

// The hub's table of systems. Lives on the main thread only; senders on other
// threads reach it through the Hub, which posts their status changes here.
// Reading and writing the files is system_files.h, the keep-alive sweep
// relay/keep_alive.h.
class SystemTable {
public:
    using Clock = std::function<std::int64_t()>;
    using Entries = std::list<SystemEntry>;

    // `dataDirectory` holds system.dat and the station files ("data" in the
    // working folder); a new system's station file is written there by the
    // next save, not when the system is added.
    // Without a clock the table reads the system time, in whole seconds.
    explicit SystemTable(std::filesystem::path dataDirectory, Clock clock = {});
    SystemTable(const SystemTable&) = delete;
    SystemTable& operator=(const SystemTable&) = delete;

    // The window attaches its views while it lives; headless attaches none.
    void setObserver(SystemViewObserver* observer) { observer_ = observer; }
    void addChangeObserver(SystemChangeObserver* observer);
    void removeChangeObserver(SystemChangeObserver* observer);
    const std::filesystem::path& dataDirectory() const { return dataDirectory_; }
    std::int64_t now() const { return clock_(); }

    // --- lookups -------------------------------------------------------
    const Entries& systems() const { return systems_; }
    // A plain pair of iterators, since Clang 14 cannot build the standard
    // range views over a list with this library.
    struct EntryRange {
        Entries::iterator first;
        Entries::iterator last;
        Entries::iterator begin() const { return first; }
        Entries::iterator end() const { return last; }
    };
    // The entries to change in place; the list itself and the fields it is
    // indexed by (IpAddress, ToIp) change only through the table.
    EntryRange entries() { return { systems_.begin(), systems_.end() }; }
    std::size_t size() const { return systems_.size(); }
    // Moves on whenever an entry is added or removed or changes its address,
    // so that a copy of the list (the forwarding order) knows it is stale.
    std::uint64_t generation() const { return generation_; }
    // Moves on with every change of generation() but an entry appended at the
    // end: a copy whose generation is behind while this is not only has to grow.
    std::uint64_t reshapes() const { return reshapes_; }
    // The first entry in list order with this address, or null.
    SystemEntry* findSystem(const std::string& ip);
    const SystemEntry* findSystem(const std::string& ip) const;
    std::int32_t getSystemType(const std::string& ip) const;
    bool isStationRegistered(const std::string& ip, const std::string& station) const;
    const StationList* getStationList(const std::string& ip) const;

    // --- changes -------------------------------------------------------
    // Each address-keyed change looks the system up and does nothing when no
    // system has the address; the entry overloads are for callers that have
    // already looked it up (one lookup per packet).
    bool addSystem(const std::string& ip, const std::string& name, std::int32_t type);
    // The system has just been heard from: LastHeard moves to now.
    void markHeard(const std::string& ip);
    void setSystemStatus(const std::string& ip, SystemStatus status);
    void setStatus(SystemEntry& entry, SystemStatus status);
    void setSystemName(const std::string& ip, const std::string& name);
    void setSystemName(SystemEntry& entry, const std::string& name);
    // Re-keys every entry announcing `announcedIp` to `newIp`; returns the
    // entry that lookups of `newIp` find afterwards.
    SystemEntry* replaceSystemAddress(const std::string& newIp, const std::string& announcedIp);
    void setSystemPort(const std::string& ip, std::int32_t port);
    void setSystemPort(SystemEntry& entry, std::int32_t port)
    {
        if (entry.Port != port) {
            entry.Port = port;
            notifyChanged(entry);
        }
    }
    void setEndpointType(const std::string& ip, std::int32_t endpointType);
    void setEndpointType(SystemEntry& entry, std::int32_t endpointType)
    {
        if (entry.EndpointType != endpointType) {
            entry.EndpointType = endpointType;
            notifyChanged(entry);
        }
    }
    void setStationStatus(const std::string& ip, const std::string& station, std::int32_t state);
    void setStationStatus(SystemEntry& entry, const std::string& station, std::int32_t state);
    // Removes this entry; a later one with the same address takes its place.
    void removeEntry(const SystemEntry& entry);
    // Removes every entry with this address; the station view stays as
    // after a delete.
    void removeSystem(const std::string& ip);
    // Empties the table and both views; saving the empty table is the caller's.
    void clearAllSystems();
    void refreshSystemList();
    void clearStationView();

    // Tells the observers of fields changed in place (another hub's news).
    void notifyChanged(const SystemEntry& entry) { notify(&SystemChangeObserver::systemChanged, entry); }

    // Creates an entry the way AddSystem and the loader do, without saving or
    // refreshing; returns the new entry.
    SystemEntry& appendEntry(const std::string& ip, const std::string& name, std::int32_t type,
        std::int32_t endpointType, std::int32_t port, const std::string& toIp);
    // Forgets every entry and the selection without telling the views: what
    // a load starts from.
    void clear();
    // The loader has given `entry` the station list of its file.
    void stationsLoaded(const SystemEntry& entry);

private:
    void markHeard(SystemEntry& entry);
    template <typename... Params, typename... Args>
    void notify(void (SystemChangeObserver::*call)(Params...), const Args&... args)
    {
        // Every change passes here.
        owner_("change");
        for (SystemChangeObserver* observer : changes_)
            (observer->*call)(args...);
    }
    void removeEntry(Entries::iterator it);
    void indexAddress(Entries::iterator it);
    void unindexAddress(Entries::iterator it);
    void indexToIp(Entries::iterator it);

    Entries systems_;
    // Address -> entries with that IpAddress, in list order (usually one).
    std::unordered_map<std::string, std::vector<Entries::iterator>> byAddress_;
    // ToIp -> entries with that ToIp, in list order; for re-keying.
    std::unordered_map<std::string, std::vector<Entries::iterator>> byToIp_;
    std::uint64_t nextOrder_ = 0;
    std::uint64_t generation_ = 0;
    std::uint64_t reshapes_ = 0;

    std::filesystem::path dataDirectory_;
    Clock clock_;
    SystemViewObserver* observer_ = nullptr;
    std::vector<SystemChangeObserver*> changes_;
    ThreadCheck owner_ { "SystemTable" };
};

} // namespace korvel
