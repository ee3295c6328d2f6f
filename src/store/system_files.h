#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

namespace korvel {

class SystemTable;
struct SystemEntry;

// What a load found besides the systems it put into the table.
struct LoadedSystems {
    // The file's "Base Port", when it names one the endpoints can use.
    std::optional<std::int32_t> basePort;
};

// Replaces the table's entries with those of system.dat in its data folder,
// each with its station file; a missing or unreadable file leaves it empty.
LoadedSystems LoadSystems(SystemTable& table);
// Writes every station file, then system.dat with `basePort` in its header.
void SaveSystems(const SystemTable& table, std::int32_t basePort);
// The one station file of `entry`, in `folder`.
void SaveStations(const std::filesystem::path& folder, const SystemEntry& entry);
void LoadStations(const std::filesystem::path& folder, SystemEntry& entry);

} // namespace korvel
