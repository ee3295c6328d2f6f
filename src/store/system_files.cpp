#include "system_files.h"

#include "system_file_format.h"
#include "system_table.h"

#include <QByteArray>
#include <QFile>
#include <QSaveFile>

#include <cstdio>
#include <optional>
#include <system_error>

namespace korvel {

namespace {

constexpr char kSystemFileName[] = "system.dat";
// The hub listens on the base port and the four above it.
constexpr std::int32_t kMaxBasePort = 65535 - 4;

QString QtPath(const std::filesystem::path& path)
{
    return QFile::decodeName(QByteArray::fromStdString(path.native()));
}

// Missing, unreadable and half-read files all come back as nothing: the
// caller treats them the same way.
std::optional<std::string> ReadWholeFile(const std::filesystem::path& path)
{
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        return std::nullopt;
    std::string content;
    char buffer[16384];
    std::size_t count = 0;
    while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        content.append(buffer, count);
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed)
        return std::nullopt;
    return content;
}

void EnsureFolder(const std::filesystem::path& folder)
{
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
}

std::filesystem::path StationFilePath(const std::filesystem::path& folder, const std::string& address)
{
    return folder / (address + ".dat");
}

// Replaces the file through QSaveFile: it writes beside the old file and
// renames over it at commit, so a crash leaves either version whole. Each
// commit waits for the disk, and most station files do not change between
// saves, so a file that already holds the text is left alone.
void ReplaceFile(const std::filesystem::path& path, const std::string& text)
{
    if (ReadWholeFile(path) == text)
        return;
    QSaveFile file(QtPath(path));
    if (!file.open(QIODevice::WriteOnly))
        return;
    file.write(text.data(), static_cast<qint64>(text.size()));
    file.commit();
}

} // namespace

LoadedSystems LoadSystems(SystemTable& table)
{
    LoadedSystems loaded;
    table.clear();
    const std::filesystem::path& folder = table.dataDirectory();
    if (const std::optional<std::string> content = ReadWholeFile(folder / kSystemFileName)) {
        const datfile::SystemFile file = datfile::ParseSystemFile(*content);
        // A port the sockets cannot use would leave the hub deaf; the caller keeps its setting instead.
        if (file.basePort && *file.basePort >= 1 && *file.basePort <= kMaxBasePort)
            loaded.basePort = file.basePort;
        for (const datfile::SystemLine& line : file.lines) {
            if (table.FindSystem(line.IpAddress))
                continue;
            SystemEntry& entry
                = table.AppendEntry(line.IpAddress, line.Name, line.Type, line.EndpointType, line.Port, line.ToIp);
            LoadStations(folder, entry);
        }
    }
    table.RefreshSystemList();
    table.ClearStationView();
    return loaded;
}

void SaveSystems(const SystemTable& table, std::int32_t basePort)
{
    const std::filesystem::path& folder = table.dataDirectory();
    EnsureFolder(folder);
    std::string text = datfile::FormatSystemHeader(basePort);
    for (const SystemEntry& entry : table.Systems()) {
        text += datfile::FormatSystemLine(entry);
        SaveStations(folder, entry);
    }
    // Last, so that the table on disk never names a station file older than itself.
    ReplaceFile(folder / kSystemFileName, text);
}

void SaveStations(const std::filesystem::path& folder, const SystemEntry& entry)
{
    // The address may have been typed by the operator; it must not lead the
    // file out of the data folder.
    if (!datfile::IsSafeStationFileName(entry.IpAddress))
        return;
    EnsureFolder(folder);
    ReplaceFile(StationFilePath(folder, entry.IpAddress), datfile::FormatStationFile(entry.Stations));
}

void LoadStations(const std::filesystem::path& folder, SystemEntry& entry)
{
    if (!datfile::IsSafeStationFileName(entry.IpAddress))
        return;
    if (const auto content = ReadWholeFile(StationFilePath(folder, entry.IpAddress)))
        entry.setStations(datfile::ParseStationFile(*content));
}

} // namespace korvel
