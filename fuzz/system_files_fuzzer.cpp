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

#include <fcntl.h>
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

// Written without a stream, whose buffer would cost more than the write.
void WriteFile(const std::filesystem::path& path, std::string_view content)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    FUZZ_CHECK(fd >= 0, "a scratch file can be written");
    FUZZ_CHECK(::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size()),
        "a scratch file takes its content");
    ::close(fd);
}

// Takes the input's station files away when it is done, so that the next
// input finds none (loading writes nothing), and keeps nothing this input
// allocated beyond it.
struct Written {
    ~Written()
    {
        for (const std::filesystem::path& file : files)
            ::unlink(file.c_str());
    }
    std::vector<std::filesystem::path> files;
};

// A table loaded from a folder, its entries in order.
struct Loaded {
    explicit Loaded(const std::filesystem::path& folder)
        : table(folder, [] { return std::int64_t { 0 }; })
    {
        basePort = LoadSystems(table).basePort.value_or(4321);
        for (const SystemEntry& entry : table.systems())
            entries.push_back(&entry);
    }

    SystemTable table;
    std::int32_t basePort = 0;
    std::vector<const SystemEntry*> entries;
};

// The same system, with the stations `expected` has when they were saved.
bool SameEntry(const SystemEntry& a, const SystemEntry& expected, bool stationsSaved)
{
    return a.IpAddress == expected.IpAddress && a.ToIp == expected.ToIp && a.Port == expected.Port
        && a.Type == expected.Type && a.EndpointType == expected.EndpointType && a.Name == expected.Name
        && (stationsSaved ? a.Stations == expected.Stations : a.Stations.empty());
}

// The parser's promises about the lines it returns; returns how many.
std::size_t CheckSystemLines(std::string_view systemText)
{
    const datfile::SystemFile parsed = datfile::ParseSystemFile(systemText);
    for (const datfile::SystemLine& line : parsed.lines) {
        FUZZ_CHECK(!line.IpAddress.empty(), "lines without an address are left out");
        FUZZ_CHECK(
            !HasSpace(line.IpAddress) && !HasSpace(line.ToIp) && !HasSpace(line.Name), "a text field is one word");
        FUZZ_CHECK(line.IpAddress.size() <= datfile::kLinePiece, "a field fits one line piece");
    }
    return parsed.lines.size();
}

std::vector<std::string> CheckStationFile(std::string_view stationText)
{
    std::vector<std::string> stations = datfile::ParseStationFile(stationText);
    for (const std::string& station : stations)
        FUZZ_CHECK(station.find_first_of("\r\n") == std::string::npos, "a station is one line");
    FUZZ_CHECK(datfile::ParseStationFile(datfile::FormatStationFile(stations)) == stations,
        "a station list survives its file");
    return stations;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t split = input.find(kSeparator);
    const std::string_view systemText = input.substr(0, split);
    const std::string_view stationText
        = split == std::string_view::npos ? std::string_view() : input.substr(split + kSeparator.size());
    // The loader parses system.dat for every input; the parser's own lines are
    // looked at, and the table saved and loaded back, for a sample.
    const bool sampled = fuzz::Sampled(fuzz::InputHash(data, size));
    const std::size_t lines = sampled ? CheckSystemLines(systemText) : 0;
    std::vector<std::string> stations = CheckStationFile(stationText);

    static const std::filesystem::path folder = fuzz::ScratchFolder() / "files";
    static const std::filesystem::path copy = fuzz::ScratchFolder() / "saved";
    static const bool made = std::filesystem::create_directories(folder);
    (void)made;
    // The next input writes over system.dat.
    WriteFile(folder / "system.dat", systemText);
    Loaded first(folder);
    FUZZ_CHECK(!sampled || first.entries.size() <= lines, "one system per line at most");
    for (const SystemEntry* entry : first.entries) {
        FUZZ_CHECK(!entry->IpAddress.empty() && !entry->ToIp.empty(), "address and forwarding address");
        FUZZ_CHECK(!HasSpace(entry->IpAddress) && !HasSpace(entry->ToIp) && !HasSpace(entry->Name),
            "a text field is one word");
        FUZZ_CHECK(first.table.findSystem(entry->IpAddress) == entry, "the first line of an address wins");
        FUZZ_CHECK(entry->Stations.empty(), "no station file, no stations");
    }

    // The station file of the first system, loaded as the loader loads each
    // system's after its line: it holds the file's stations, up to the cap.
    Written written;
    if (!first.entries.empty() && datfile::IsSafeStationFileName(first.entries.front()->IpAddress)) {
        SystemEntry& entry = *first.table.findSystem(first.entries.front()->IpAddress);
        const std::filesystem::path stationFile = folder / (entry.IpAddress + ".dat");
        FUZZ_CHECK(stationFile.parent_path() == folder, "a safe station file name stays in the data folder");
        // Never over the input itself.
        if (stationFile.filename() != "system.dat") {
            written.files.push_back(stationFile);
            WriteFile(stationFile, stationText);
            LoadStations(folder, entry);
            if (stations.size() > kMaxStations)
                stations.resize(kMaxStations);
            FUZZ_CHECK(entry.Stations == stations, "the stations of the file, up to the cap");
        }
    }

    // Saving writes lines the reader takes back whole unless a line outgrows
    // the reader's 254-character pieces, which only very long words can do.
    // The files of this round trip cost more than all the rest.
    if (!sampled || first.entries.size() > 16)
        return 0;
    for (const SystemEntry* entry : first.entries)
        if (datfile::FormatSystemLine(*entry).size() - 1 > datfile::kLinePiece)
            return 0;
    // Saved into a folder of its own, which holds nothing but what the save
    // writes.
    static const bool madeCopy = std::filesystem::create_directories(copy);
    (void)madeCopy;
    Written saved;
    saved.files.push_back(copy / "system.dat");
    {
        SystemTable table(copy, [] { return std::int64_t { 0 }; });
        for (const SystemEntry* entry : first.entries) {
            table.appendEntry(entry->IpAddress, entry->Name, entry->Type, entry->EndpointType, entry->Port, entry->ToIp)
                .setStations(entry->Stations.toVector());
            if (datfile::IsSafeStationFileName(entry->IpAddress))
                saved.files.push_back(copy / (entry->IpAddress + ".dat"));
        }
        SaveSystems(table, first.basePort);
    }
    const Loaded second(copy);
    FUZZ_CHECK(second.basePort == first.basePort, "base port survives a save");
    FUZZ_CHECK(second.entries.size() == first.entries.size(), "every system survives a save");
    for (std::size_t i = 0; i < first.entries.size(); ++i) {
        const bool stationsSaved = datfile::IsSafeStationFileName(first.entries[i]->IpAddress);
        FUZZ_CHECK(SameEntry(*second.entries[i], *first.entries[i], stationsSaved), "a system survives a save");
    }
    return 0;
}
