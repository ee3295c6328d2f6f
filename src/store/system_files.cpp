#include "system_files.h"

#include "atomic_file.h"
#include "system_file_format.h"
#include "system_table.h"

#include "protocol/wire_format.h"

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <unordered_map>

namespace korvel {

namespace {

constexpr char kSystemFileName[] = "system.dat";
constexpr char kBackupFileName[] = "system.dat.bak";

std::filesystem::path StationFilePath(const std::filesystem::path& folder, const std::string& address)
{
    return folder / (address + ".dat");
}

std::string Located(const std::filesystem::path& file, std::size_t line, const std::string& text)
{
    return file.native() + ":" + std::to_string(line) + ": " + text;
}

// Creating the folder can fail; the file writes that follow say why.
void EnsureFolder(const std::filesystem::path& folder)
{
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
}

void Replace(SaveReport& report, const std::filesystem::path& path, const std::string& text)
{
    const Result<bool> replaced = ReplaceFile(path, text);
    if (!replaced)
        report.failures.push_back({ path, replaced.error() });
}

} // namespace

std::string SaveFailure::message() const
{
    return "Cannot save " + file.native() + ": " + reason + (oldFileKept ? "; the old file is kept" : "");
}

LoadedSystems LoadSystems(SystemTable& table)
{
    LoadedSystems loaded;
    table.clear();
    const std::filesystem::path& folder = table.dataDirectory();
    const std::filesystem::path path = folder / kSystemFileName;
    Result<std::optional<std::string>> read = ReadFileNoFollow(path);
    if (!read)
        loaded.damage.push_back(path.native() + ": cannot read it: " + read.error());
    if (read && *read) {
        const datfile::SystemFile file = datfile::ParseSystemFile(**read);
        loaded.basePort = file.basePort;
        // system.dat's notes in line order, then those of the station files.
        std::vector<datfile::ReadNote> notes;
        for (const datfile::ReadNote& note : file.notes) {
            if (note.misread)
                loaded.damage.push_back(Located(path, note.line, note.text));
            else
                notes.push_back(note);
        }
        std::vector<std::string> stationNotes;
        std::unordered_map<std::string, std::size_t> firstLine;
        for (const datfile::SystemLine& line : file.lines) {
            if (const auto [first, added] = firstLine.emplace(line.IpAddress, line.lineNumber); !added) {
                notes.push_back({ line.lineNumber, false,
                    line.IpAddress + " is listed already on line " + std::to_string(first->second)
                        + ": this line is ignored" });
                continue;
            }
            for (std::string& text : datfile::CheckSystemLine(line))
                notes.push_back({ line.lineNumber, false, std::move(text) });
            if (!datfile::IsSafeStationFileName(line.IpAddress))
                notes.push_back({ line.lineNumber, false,
                    "the address cannot name a station file: its stations are neither read nor saved" });
            SystemEntry& entry
                = table.appendEntry(line.IpAddress, line.Name, line.Type, line.EndpointType, line.Port, line.ToIp);
            LoadStations(folder, entry, &stationNotes);
            table.stationsLoaded(entry);
        }
        std::stable_sort(notes.begin(), notes.end(),
            [](const datfile::ReadNote& a, const datfile::ReadNote& b) { return a.line < b.line; });
        for (const datfile::ReadNote& note : notes)
            loaded.notes.push_back(Located(path, note.line, note.text));
        loaded.notes.insert(loaded.notes.end(), stationNotes.begin(), stationNotes.end());
        loaded.systemFileText = std::move(*read);
    }
    table.refreshSystemList();
    table.clearStationView();
    return loaded;
}

void LoadStations(const std::filesystem::path& folder, SystemEntry& entry, std::vector<std::string>* notes)
{
    if (!datfile::IsSafeStationFileName(entry.IpAddress))
        return;
    const std::filesystem::path path = StationFilePath(folder, entry.IpAddress);
    // Only what is kept is read: a file of millions of lines must not fill
    // the memory on its way to being cut.
    bool more = false;
    const Result<std::optional<std::string>> read = ReadFileNoFollow(path, 2 * kMaxStations + 2, &more);
    if (!read || !*read) {
        if (notes && !read)
            notes->push_back(
                path.native() + ": cannot read it (" + read.error() + "); the system starts without stations");
        return;
    }
    std::size_t consumed = 0;
    std::vector<std::string> stations = datfile::ParseStationFile(**read, kMaxStations, &consumed);
    if (notes) {
        for (std::size_t i = 0; i < stations.size(); ++i) {
            if (stations[i].empty())
                notes->push_back(Located(path, i + 1, "an empty line: read as a station without a number"));
            else if (stations[i].size() > wire::kStationSize)
                notes->push_back(Located(path, i + 1,
                    "station \"" + stations[i] + "\" is longer than the " + std::to_string(wire::kStationSize)
                        + " characters a station field holds: it is cut"));
        }
    }
    entry.setStations(std::move(stations));
    if (notes && (more || consumed < (*read)->size())) {
        notes->push_back(path.native() + ": only the first " + std::to_string(kMaxStations)
            + " stations are kept; the lines after them are left out");
    }
}

SaveSnapshot TakeSnapshot(const SystemTable& table, std::int32_t basePort)
{
    SaveSnapshot snapshot;
    snapshot.folder = table.dataDirectory();
    snapshot.basePort = basePort;
    snapshot.systems.reserve(table.size());
    for (const SystemEntry& entry : table.systems()) {
        snapshot.systems.push_back(
            { { entry.IpAddress, entry.ToIp, entry.Port, entry.Type, entry.EndpointType, entry.Name },
                entry.Stations.share() });
    }
    return snapshot;
}

SaveReport WriteSnapshot(const SaveSnapshot& snapshot, SystemFileBackup* backup)
{
    SaveReport report;
    EnsureFolder(snapshot.folder);
    std::string systemText = datfile::FormatSystemHeader(snapshot.basePort);
    // Thousands of new station files (a flood of new senders) must not take
    // a disk sync each: a stopping service has seconds, not minutes.
    FileBatch stationFiles([&report](const std::filesystem::path& path, const std::string& reason) {
        report.failures.push_back({ path, reason });
    });
    for (const SaveSnapshot::System& system : snapshot.systems) {
        datfile::AppendSystemLine(systemText, system.line);
        // The address may have been typed by the operator; it must not lead
        // the file out of the data folder.
        if (datfile::IsSafeStationFileName(system.line.IpAddress))
            stationFiles.replace(
                StationFilePath(snapshot.folder, system.line.IpAddress), datfile::FormatStationFile(system.stations));
    }
    stationFiles.finish();

    // Last, so that the table on disk never names a station file older than itself.
    bool keepOld = false;
    if (backup && !backup->kept && backup->loadedText && *backup->loadedText != systemText) {
        const std::size_t before = report.failures.size();
        Replace(report, snapshot.folder / kBackupFileName, *backup->loadedText);
        // Without the copy the file as loaded would be gone for good.
        keepOld = report.failures.size() != before;
        backup->kept = !keepOld;
    }
    if (keepOld)
        report.failures.push_back({ snapshot.folder / kSystemFileName, "its copy as loaded could not be kept" });
    else
        Replace(report, snapshot.folder / kSystemFileName, systemText);
    if (const auto synced = SyncFolder(snapshot.folder); !synced)
        report.failures.push_back({ snapshot.folder, "syncing the folder: " + synced.error(), false });
    return report;
}

SaveReport SaveSystems(const SystemTable& table, std::int32_t basePort)
{
    return WriteSnapshot(TakeSnapshot(table, basePort));
}

SaveReport SaveStations(const std::filesystem::path& folder, const SystemEntry& entry)
{
    SaveReport report;
    if (!datfile::IsSafeStationFileName(entry.IpAddress))
        return report;
    EnsureFolder(folder);
    Replace(report, StationFilePath(folder, entry.IpAddress), datfile::FormatStationFile(entry.Stations));
    return report;
}

} // namespace korvel
