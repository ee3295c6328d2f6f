#include "system_files.h"

#include "atomic_file.h"
#include "system_file_format.h"
#include "system_table.h"

#include <cerrno>
#include <system_error>

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
    ReplaceResult result = ReplaceFile(path, text);
    if (!result.ok())
        report.failures.push_back({ path, std::move(result.error) });
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
    ReadResult read = ReadFileNoFollow(path);
    if (!read.error.empty())
        loaded.damage.push_back(path.native() + ": cannot read it: " + read.error);
    if (read.content) {
        const datfile::SystemFile file = datfile::ParseSystemFile(*read.content);
        loaded.basePort = file.basePort;
        for (const datfile::ReadNote& note : file.notes)
            (note.misread ? loaded.damage : loaded.notes).push_back(Located(path, note.line, note.text));
        for (const datfile::SystemLine& line : file.lines) {
            if (table.FindSystem(line.IpAddress))
                continue;
            SystemEntry& entry
                = table.AppendEntry(line.IpAddress, line.Name, line.Type, line.EndpointType, line.Port, line.ToIp);
            LoadStations(folder, entry, &loaded.notes);
            table.StationsLoaded(entry);
        }
        loaded.systemFileText = std::move(read.content);
    }
    table.RefreshSystemList();
    table.ClearStationView();
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
    const ReadResult read = ReadFileNoFollow(path, 2 * kMaxStations + 2, &more);
    if (!read.content) {
        if (notes && !read.missing)
            notes->push_back(
                path.native() + ": cannot read it (" + read.error + "); the system starts without stations");
        return;
    }
    std::size_t consumed = 0;
    entry.setStations(datfile::ParseStationFile(*read.content, kMaxStations, &consumed));
    if (notes && (more || consumed < read.content->size())) {
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
    for (const SystemEntry& entry : table.Systems()) {
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
    for (const SaveSnapshot::System& system : snapshot.systems) {
        datfile::AppendSystemLine(systemText, system.line);
        // The address may have been typed by the operator; it must not lead
        // the file out of the data folder.
        if (datfile::IsSafeStationFileName(system.line.IpAddress))
            Replace(report, StationFilePath(snapshot.folder, system.line.IpAddress),
                datfile::FormatStationFile(system.stations));
    }

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
    if (!SyncFolder(snapshot.folder))
        report.failures.push_back(
            { snapshot.folder, "syncing the folder: " + std::system_category().message(errno), false });
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
