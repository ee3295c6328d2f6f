// Arbitrary contents of system.dat and of a station file, read by the parsers
// and by LoadSystems from a real folder; whatever loads must save and load
// back unchanged.
//
// Input: the system.dat bytes, then optionally the separator below and the
// station file of the first system the file names.

#include "fuzz_support.h"

#include "store/system_file_format.h"
#include "store/system_files.h"
#include "store/system_table.h"

#include <cstring>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

using namespace korvel;

namespace {

constexpr std::string_view kSeparator = "\n#stations#\n";

bool HasSpace(const std::string& text)
{
    return text.find_first_of(std::string_view(" \t\n\v\f\r\0", 7)) != std::string::npos;
}

void WriteFile(const std::filesystem::path& path, std::string_view content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

struct Loaded {
    std::int32_t basePort = 0;
    std::vector<SystemEntry> entries;
};

Loaded Load(const std::filesystem::path& folder)
{
    SystemTable table(folder, [] { return std::int64_t { 0 }; });
    Loaded loaded;
    loaded.basePort = LoadSystems(table).basePort.value_or(4321);
    loaded.entries.assign(table.Systems().begin(), table.Systems().end());
    return loaded;
}

bool SameEntry(const SystemEntry& a, const SystemEntry& b)
{
    return a.IpAddress == b.IpAddress && a.ToIp == b.ToIp && a.Port == b.Port && a.Type == b.Type
        && a.EndpointType == b.EndpointType && a.Name == b.Name && a.Stations == b.Stations;
}

void CheckParsers(std::string_view systemText, std::string_view stationText)
{
    const datfile::SystemFile parsed = datfile::ParseSystemFile(systemText);
    for (const datfile::SystemLine& line : parsed.lines) {
        FUZZ_CHECK(!line.IpAddress.empty(), "lines without an address are left out");
        FUZZ_CHECK(
            !HasSpace(line.IpAddress) && !HasSpace(line.ToIp) && !HasSpace(line.Name), "a text field is one word");
        FUZZ_CHECK(line.IpAddress.size() <= datfile::kLinePiece, "a field fits one line piece");
    }

    const std::vector<std::string> stations = datfile::ParseStationFile(stationText);
    for (const std::string& station : stations)
        FUZZ_CHECK(station.find_first_of("\r\n") == std::string::npos, "a station is one line");
    FUZZ_CHECK(datfile::ParseStationFile(datfile::FormatStationFile(stations)) == stations,
        "a station list survives its file");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t split = input.find(kSeparator);
    const std::string_view systemText = input.substr(0, split);
    const std::string_view stationText
        = split == std::string_view::npos ? std::string_view() : input.substr(split + kSeparator.size());
    CheckParsers(systemText, stationText);

    const std::filesystem::path folder = fuzz::ScratchFolder() / "files";
    const std::filesystem::path copy = fuzz::ScratchFolder() / "saved";
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    std::filesystem::remove_all(copy, ignored);
    std::filesystem::create_directories(folder);
    WriteFile(folder / "system.dat", systemText);
    const datfile::SystemFile parsed = datfile::ParseSystemFile(systemText);
    if (!parsed.lines.empty() && datfile::IsSafeStationFileName(parsed.lines.front().IpAddress)) {
        // Never over the input itself.
        const std::filesystem::path stationFile = folder / (parsed.lines.front().IpAddress + ".dat");
        if (stationFile.filename() != "system.dat")
            WriteFile(stationFile, stationText);
    }
    for (const auto& item : std::filesystem::directory_iterator(folder))
        FUZZ_CHECK(item.path().parent_path() == folder, "files stay in the data folder");

    const Loaded first = Load(folder);
    FUZZ_CHECK(first.entries.size() <= parsed.lines.size(), "one system per line at most");
    for (std::size_t i = 0; i < first.entries.size(); ++i) {
        const SystemEntry& entry = first.entries[i];
        FUZZ_CHECK(!entry.IpAddress.empty() && !entry.ToIp.empty(), "address and forwarding address");
        for (std::size_t j = 0; j < i; ++j)
            FUZZ_CHECK(first.entries[j].IpAddress != entry.IpAddress, "the first line of an address wins");
        FUZZ_CHECK(entry.Stations.size() <= kMaxStations, "station cap");
    }

    // Saving writes lines the reader takes back whole unless a line outgrows
    // the reader's 254-character pieces, which only very long words can do.
    bool fits = true;
    for (const SystemEntry& entry : first.entries)
        fits = fits && datfile::FormatSystemLine(entry).size() - 1 <= datfile::kLinePiece;
    if (!fits || first.entries.size() > 16)
        return 0;
    {
        SystemTable table(copy, [] { return std::int64_t { 0 }; });
        for (const SystemEntry& entry : first.entries)
            table.AppendEntry(entry.IpAddress, entry.Name, entry.Type, entry.EndpointType, entry.Port, entry.ToIp)
                .setStations(entry.Stations);
        SaveSystems(table, first.basePort);
    }
    const Loaded second = Load(copy);
    FUZZ_CHECK(second.basePort == first.basePort, "base port survives a save");
    FUZZ_CHECK(second.entries.size() == first.entries.size(), "every system survives a save");
    for (std::size_t i = 0; i < first.entries.size(); ++i) {
        const bool stationsSaved = datfile::IsSafeStationFileName(first.entries[i].IpAddress);
        SystemEntry expected = first.entries[i];
        if (!stationsSaved)
            expected.Stations.clear();
        FUZZ_CHECK(SameEntry(second.entries[i], expected), "a system survives a save");
    }
    return 0;
}
