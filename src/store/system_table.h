#pragma once

#include "store/outbox.h"
#include "store/status_names.h"

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <list>
#include <string>
#include <unordered_map>
#include <vector>

namespace korvel {

inline constexpr std::int32_t kDefaultSystemPort = 9000;
inline constexpr std::int32_t kDefaultEndpointType = 2;
inline constexpr std::int32_t kSilentEndpointType = 3;
inline constexpr std::size_t kMaxStations = 3000;
inline constexpr std::int32_t kTypeQvx = 0;
inline constexpr std::int32_t kTypeVelka = 1;

// One PBX system. Stations and StationStates run in step; a station's index
// never changes while its system lives.
struct SystemEntry {
    std::string Name;
    std::string IpAddress;
    std::string ToIp;
    std::int32_t Type = kTypeQvx;
    std::int32_t EndpointType = kDefaultEndpointType;
    std::int32_t Port = kDefaultSystemPort;
    std::int32_t Status = SYSTEM_UNKNOWN;
    std::vector<std::string> Stations;
    std::vector<std::int32_t> StationStates;
    std::int64_t LastHeard = 0;

    // Index of the first station equal to `station` ignoring ASCII case, or -1.
    std::ptrdiff_t findStation(const std::string& station) const;
    // Replaces the station list (as a station file does); every state -1.
    void setStations(std::vector<std::string> stations);
    // Empties the stations and sets Status to Unknown.
    void ResetStations();

    // Position in the table's list; later entries have larger values.
    std::uint64_t listOrder() const { return order_; }

private:
    friend class SystemTable;
    void indexStation(std::size_t index);
    // Lower-cased station text -> first index with that text.
    std::unordered_map<std::string, std::size_t> stationIndex_;
    std::uint64_t order_ = 0;
};

// What the window shows of the table. The table calls it exactly where the
// views are to be rebuilt; the window coalesces the rebuilds.
class SystemViewObserver {
public:
    virtual ~SystemViewObserver() = default;
    virtual void RefreshSystemList() = 0;
    virtual void FillStationView(const SystemEntry& entry) = 0;
    virtual void ClearStationView() = 0;
};

// The hub's table of systems. Lives on the main thread only; senders on other
// threads reach it through the Hub, which posts their status changes here.
class SystemTable {
public:
    using Clock = std::function<std::int64_t()>;
    using Entries = std::list<SystemEntry>;

    SystemTable();
    SystemTable(const SystemTable&) = delete;
    SystemTable& operator=(const SystemTable&) = delete;

    // --- collaborators -------------------------------------------------
    void setObserver(SystemViewObserver* observer) { observer_ = observer; }
    void setOutbox(Outbox* outbox) { outbox_ = outbox; }
    void setClock(Clock clock) { clock_ = std::move(clock); }
    // Folder of system.dat and the station files ("data" in the working folder).
    void setDataDirectory(std::filesystem::path directory) { dataDirectory_ = std::move(directory); }
    const std::filesystem::path& dataDirectory() const { return dataDirectory_; }
    // The base port lives in the hub's settings; persistence reads and sets it here.
    void setBasePort(std::int32_t* basePort) { basePort_ = basePort; }
    std::int64_t now() const { return clock_(); }

    // --- lookups -------------------------------------------------------
    const Entries& Systems() const { return systems_; }
    std::size_t size() const { return systems_.size(); }
    SystemEntry* FindSystem(const std::string& ip);
    const SystemEntry* FindSystem(const std::string& ip) const;
    const SystemEntry* Selected() const { return selected_; }
    std::int32_t GetSystemType(const std::string& ip) const;
    bool IsStationRegistered(const std::string& ip, const std::string& station) const;
    const std::vector<std::string>* GetStationList(const std::string& ip) const;

    // --- changes -------------------------------------------------------
    bool AddSystem(const std::string& ip, const std::string& name, std::int32_t type);
    void SetSystemStatus(const std::string& ip, std::int32_t status);
    void SetSystemName(const std::string& ip, const std::string& name);
    void ReplaceSystemAddress(const std::string& newIp, const std::string& announcedIp);
    void SetSystemPort(const std::string& ip, std::int32_t port);
    void SetEndpointType(const std::string& ip, std::int32_t endpointType);
    void SetStationStatus(const std::string& ip, const std::string& station, std::int32_t state);
    void SelectSystem(const std::string& ip);
    void DeleteSelectedSystem();
    void ClearAllSystems();
    void RefreshSystemList();

    // --- persistence (system_files.cpp) ---------------------------------
    void LoadSystems();
    void SaveSystems() const;
    void SaveStations(const SystemEntry& entry) const;
    void LoadStations(SystemEntry& entry);

    // --- keep-alive sweep (keep_alive.cpp) ------------------------------
    void SendKeepAlives();
    void SendKeepAlive(SystemEntry& entry);

    // Creates an entry the way AddSystem and LoadSystems do, without saving or
    // refreshing; returns the new entry. Used by the loader.
    SystemEntry& AppendEntry(const std::string& ip, const std::string& name, std::int32_t type,
        std::int32_t endpointType, std::int32_t port, const std::string& toIp);

private:
    void SetStatus(SystemEntry& entry, std::int32_t status);
    void MarkHeard(SystemEntry& entry) { entry.LastHeard = clock_(); }
    void FillStationView(const SystemEntry& entry);
    void removeEntry(Entries::iterator it);
    void clearEntries();
    void indexAddress(Entries::iterator it);
    void unindexAddress(Entries::iterator it);
    void indexToIp(Entries::iterator it);

    Entries systems_;
    // Address -> entries with that IpAddress, in list order (usually one).
    std::unordered_map<std::string, std::vector<Entries::iterator>> byAddress_;
    // ToIp -> entries with that ToIp, in list order; for re-keying.
    std::unordered_map<std::string, std::vector<Entries::iterator>> byToIp_;
    SystemEntry* selected_ = nullptr;
    std::uint64_t nextOrder_ = 0;

    SystemViewObserver* observer_ = nullptr;
    Outbox* outbox_ = nullptr;
    Clock clock_;
    std::filesystem::path dataDirectory_ = "data";
    std::int32_t* basePort_ = nullptr;
};

} // namespace korvel
