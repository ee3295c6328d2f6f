#pragma once

#include "protocol/defaults.h"
#include "protocol/station_list.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace korvel {

struct SystemEntry;

// The text forms of system.dat and the station files, kept apart from the
// file handling so that every older version can be read from a string.
namespace datfile {

inline constexpr std::int32_t kCurrentVersion = 5;
// Readers have always taken lines through a 255-byte buffer: 254 characters
// and the terminating zero. Longer lines arrive in pieces.
inline constexpr std::size_t kLinePiece = 254;
// The hub listens on the base port and the four above it.
inline constexpr std::int32_t kMinBasePort = 1;
inline constexpr std::int32_t kMaxBasePort = 65535 - 4;
// A file is replaced through a sibling named "<name>.XXXXXX", which must fit
// the file system's 255-byte name limit too. This also keeps "data/<name>"
// within the 255-character paths the files have always had.
inline constexpr std::size_t kMaxStationFileName = 255 - 7;

// One system line after reading, with the defaults for every field it lacks.
struct SystemLine {
    std::string IpAddress;
    std::string ToIp;
    std::int32_t Port = kDefaultSystemPort;
    std::int32_t Type = kTypeQvx;
    std::int32_t EndpointType = kDefaultEndpointType;
    std::string Name;
    std::size_t lineNumber = 0; // in the file, counting from 1
};

// Something the operator should hear about a file that was read. `misread`
// marks what a save would turn into lost data (an unreadable version line, a
// Base Port out of range); the rest says what the reader assumed.
struct ReadNote {
    std::size_t line = 0;
    bool misread = false;
    std::string text;
};

struct SystemFile {
    std::int32_t version = 0;
    // Set only when the line names a port the hub can listen on.
    std::optional<std::int32_t> basePort;
    // Lines with an empty first field are already left out; duplicates are not.
    std::vector<SystemLine> lines;
    std::vector<ReadNote> notes;
};

// Where a scanned field is stored: %s into a text, %d into a number.
using ScanTarget = std::variant<std::string*, std::int32_t*>;

// Reads `input` the way sscanf reads a line: white space in the format
// matches any run of white space, %s takes a run without white space, %d an
// optionally signed decimal (saturated to 32 bits). Stops at the first
// directive that does not match and returns how many fields were stored.
int ScanLine(std::string_view input, std::string_view format, std::span<const ScanTarget> targets);

// Splits file content as a text-mode stream read with fgets(buffer, 255):
// CR LF and a lone CR become LF, each piece keeps its LF and holds at most
// 254 characters.
std::vector<std::string> SplitLinePieces(std::string_view content);

// What a system line says that the hub can read but not serve: an address
// that is no IPv4 address, a port it cannot send to, an unknown type.
std::vector<std::string> CheckSystemLine(const SystemLine& line);

// Takes a UTF-8 byte-order mark and any letter case in the two header lines.
SystemFile ParseSystemFile(std::string_view content);
// Every line is one station; CR, LF and CR LF end a line. Reads at most
// `limit` lines; `consumed`, when given, is the bytes they took with their
// line ends.
std::vector<std::string> ParseStationFile(
    std::string_view content, std::size_t limit = std::string_view::npos, std::size_t* consumed = nullptr);

std::string FormatSystemHeader(std::int32_t basePort);
std::string FormatSystemLine(const SystemEntry& entry);
void AppendSystemLine(std::string& text, const SystemLine& line);
std::string FormatStationFile(const std::vector<std::string>& stations);
std::string FormatStationFile(const StationList& stations);

// True when "<address>.dat" names one file inside the data folder, other than
// system.dat: no folder separators, no control characters, valid UTF-8 and
// short enough.
bool IsSafeStationFileName(std::string_view address);

} // namespace datfile
} // namespace korvel
