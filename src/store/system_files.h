#pragma once

#include "protocol/station_list.h"
#include "store/system_file_format.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace korvel {

class SystemTable;
struct SystemEntry;

// What a load found besides the systems it put into the table.
struct LoadedSystems {
    // The file's "Base Port", when it names one the endpoints can use.
    std::optional<std::int32_t> basePort;
    // What the operator should hear, each naming its file (and line): what
    // the reader assumed, what it left out.
    std::vector<std::string> notes;
    // Where a save would lose or misread what the files hold: system.dat
    // unreadable, its version line unreadable, its Base Port out of range.
    std::vector<std::string> damage;
    // system.dat as it was read, for the copy kept before it first changes.
    std::optional<std::string> systemFileText;
};

// Replaces the table's entries with those of system.dat in its data folder,
// each with its station file. Symbolic links in the folder are not read.
LoadedSystems LoadSystems(SystemTable& table);
void LoadStations(const std::filesystem::path& folder, SystemEntry& entry, std::vector<std::string>* notes = nullptr);

// One file a save could not write.
struct SaveFailure {
    std::filesystem::path file;
    std::string reason;
    bool oldFileKept = true;
    // "Cannot save <file>: <reason>; the old file is kept".
    std::string message() const;
};

struct SaveReport {
    std::vector<SaveFailure> failures;
    bool ok() const { return failures.empty(); }
};

// What a save writes, taken from the table: each system's line fields and
// its station list, in table order. Taking it copies no station list
// (StationList::share) and formats nothing, so the table's thread spends
// well under a millisecond on it; the writing can then go to another thread.
struct SaveSnapshot {
    struct System {
        datfile::SystemLine line;
        StationList stations;
    };
    std::filesystem::path folder;
    std::int32_t basePort = 0;
    std::vector<System> systems;
};
SaveSnapshot TakeSnapshot(const SystemTable& table, std::int32_t basePort);

// The copy of system.dat as loaded (system.dat.bak), written once, before the
// first save that changes system.dat.
struct SystemFileBackup {
    std::optional<std::string> loadedText;
    bool kept = false;
};

// Writes every station file, then system.dat, each replaced atomically and
// only when its text changed, and syncs the folder once at the end.
SaveReport WriteSnapshot(const SaveSnapshot& snapshot, SystemFileBackup* backup = nullptr);

// TakeSnapshot and WriteSnapshot in one go, on the calling thread.
SaveReport SaveSystems(const SystemTable& table, std::int32_t basePort);
// The one station file of `entry`, in `folder`.
SaveReport SaveStations(const std::filesystem::path& folder, const SystemEntry& entry);

} // namespace korvel
