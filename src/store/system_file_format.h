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
};

struct SystemFile {
    std::int32_t version = 0;
    std::optional<std::int32_t> basePort;
    // Lines with an empty address are already left out; duplicates are not.
    std::vector<SystemLine> lines;
};

// Where a scanned field is stored: %s into a text, %d into a number.
using ScanTarget = std::variant<std::string*, std::int32_t*>;

// Reads `input` the way sscanf reads a line: white space in the format
// matches any run of white space, %s takes a run without white space, %d an
// optionally signed decimal (saturated to 32 bits). Stops at the first
// directive that does not match and returns how many fields were stored.
int ScanLine(std::string_view input, std::string_view format, std::span<const ScanTarget> targets);

// Splits file content as a text-mode stream read with fgets(buffer, 255):
// CR LF becomes LF, each piece keeps its LF and holds at most 254 characters.
std::vector<std::string> SplitLinePieces(std::string_view content);

SystemFile ParseSystemFile(std::string_view content);
// Every line is one station; CR, LF and CR LF end a line.
std::vector<std::string> ParseStationFile(std::string_view content);

std::string FormatSystemHeader(std::int32_t basePort);
std::string FormatSystemLine(const SystemEntry& entry);
std::string FormatStationFile(const std::vector<std::string>& stations);
std::string FormatStationFile(const StationList& stations);

// True when "<address>.dat" names one file inside the data folder, other than
// system.dat: no folder separators, no control characters, valid UTF-8 and
// short enough.
bool IsSafeStationFileName(std::string_view address);

} // namespace datfile
} // namespace korvel
