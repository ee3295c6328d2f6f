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

void SystemTable::LoadSystems()
{
    clearEntries();
    const std::optional<std::string> content = ReadWholeFile(dataDirectory_ / kSystemFileName);
    if (content) {
        const datfile::SystemFile file = datfile::ParseSystemFile(*content);
        // A port the sockets cannot use would leave the hub deaf; keep the setting instead.
        if (file.basePort && basePort_ && *file.basePort >= 1 && *file.basePort <= kMaxBasePort)
            *basePort_ = *file.basePort;
        for (const datfile::SystemLine& line : file.lines) {
            if (FindSystem(line.IpAddress))
                continue;
            SystemEntry& entry
                = AppendEntry(line.IpAddress, line.Name, line.Type, line.EndpointType, line.Port, line.ToIp);
            LoadStations(entry);
        }
    }
    RefreshSystemList();
    if (observer_)
        observer_->ClearStationView();
    selected_ = nullptr;
}

void SystemTable::SaveSystems() const
{
    EnsureFolder(dataDirectory_);
    std::string text = datfile::FormatSystemHeader(basePort_ ? *basePort_ : datfile::kDefaultBasePort);
    for (const SystemEntry& entry : systems_) {
        text += datfile::FormatSystemLine(entry);
        SaveStations(entry);
    }
    // Last, so that the table on disk never names a station file older than itself.
    ReplaceFile(dataDirectory_ / kSystemFileName, text);
}

void SystemTable::SaveStations(const SystemEntry& entry) const
{
    // The address may have been typed by the operator; it must not lead the
    // file out of the data folder.
    if (!datfile::IsSafeStationFileName(entry.IpAddress))
        return;
    EnsureFolder(dataDirectory_);
    ReplaceFile(StationFilePath(dataDirectory_, entry.IpAddress), datfile::FormatStationFile(entry.Stations));
}

void SystemTable::LoadStations(SystemEntry& entry)
{
    if (!datfile::IsSafeStationFileName(entry.IpAddress))
        return;
    if (const auto content = ReadWholeFile(StationFilePath(dataDirectory_, entry.IpAddress)))
        entry.setStations(datfile::ParseStationFile(*content));
}

} // namespace korvel
