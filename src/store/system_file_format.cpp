#include "system_file_format.h"

#include "system_table.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <limits>

namespace korvel::datfile {

namespace {

// The C locale's white space, which is what the readers have always used.
bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

void SkipSpace(std::string_view input, std::size_t& at)
{
    while (at < input.size() && IsSpace(input[at]))
        ++at;
}

bool ScanNumber(std::string_view input, std::size_t& at, std::int32_t& value)
{
    std::size_t pos = at;
    bool negative = false;
    if (pos < input.size() && (input[pos] == '+' || input[pos] == '-'))
        negative = input[pos++] == '-';
    const std::size_t digits = pos;
    std::int64_t magnitude = 0;
    constexpr std::int64_t kCap = std::int64_t(std::numeric_limits<std::int32_t>::max()) + 1;
    while (pos < input.size() && input[pos] >= '0' && input[pos] <= '9') {
        magnitude = std::min(magnitude * 10 + (input[pos] - '0'), kCap);
        ++pos;
    }
    if (pos == digits)
        return false;
    const std::int64_t signedValue = negative ? -magnitude : magnitude;
    value = static_cast<std::int32_t>(std::clamp<std::int64_t>(
        signedValue, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
    at = pos;
    return true;
}

// A text written into a line-based file must not end its line early: a name
// received from the network with a line break would otherwise plant a line of
// its own. Readers take only the first word of a text, so nothing they could
// read is lost by stopping at the break.
std::string_view OneLine(std::string_view text)
{
    return text.substr(0, text.find_first_of("\r\n"));
}

std::size_t Utf8SequenceLength(std::string_view text, std::size_t at)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80)
        return 1;
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0; // overlong
        if (lead == 0xED)
            high = 0x9F; // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;
        if (lead == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    if (at + length > text.size())
        return 0;
    if (byte(at + 1) < low || byte(at + 1) > high)
        return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (byte(at + i) < 0x80 || byte(at + i) > 0xBF)
            return 0;
    return length;
}

} // namespace

int ScanLine(std::string_view input, std::string_view format, std::span<const ScanTarget> targets)
{
    // sscanf sees a C string: anything after a zero byte is not there.
    input = input.substr(0, input.find('\0'));
    std::size_t at = 0;
    std::size_t next = 0;
    int stored = 0;
    for (std::size_t f = 0; f < format.size(); ++f) {
        const char c = format[f];
        if (IsSpace(c)) {
            SkipSpace(input, at);
            continue;
        }
        if (c == '%' && f + 1 < format.size() && next < targets.size()) {
            const char conversion = format[++f];
            SkipSpace(input, at);
            const ScanTarget& target = targets[next++];
            if (conversion == 's') {
                const std::size_t start = at;
                while (at < input.size() && !IsSpace(input[at]))
                    ++at;
                if (at == start)
                    return stored;
                *std::get<std::string*>(target) = std::string(input.substr(start, at - start));
            } else {
                std::int32_t value = 0;
                if (!ScanNumber(input, at, value))
                    return stored;
                *std::get<std::int32_t*>(target) = value;
            }
            ++stored;
            continue;
        }
        if (at >= input.size() || input[at] != c)
            return stored;
        ++at;
    }
    return stored;
}

std::vector<std::string> SplitLinePieces(std::string_view content)
{
    std::vector<std::string> pieces;
    std::string piece;
    for (std::size_t i = 0; i < content.size(); ++i) {
        char c = content[i];
        if (c == '\r' && i + 1 < content.size() && content[i + 1] == '\n')
            c = content[++i];
        piece.push_back(c);
        if (c == '\n' || piece.size() == kLinePiece) {
            pieces.push_back(std::move(piece));
            piece.clear();
        }
    }
    if (!piece.empty())
        pieces.push_back(std::move(piece));
    return pieces;
}

SystemFile ParseSystemFile(std::string_view content)
{
    SystemFile file;
    const std::vector<std::string> pieces = SplitLinePieces(content);
    std::size_t next = 0;

    if (!content.empty() && content.front() == 'V' && next < pieces.size()) {
        const ScanTarget version[] = { &file.version };
        ScanLine(pieces[next++], "Version : %d", version);
    }
    if (file.version >= kCurrentVersion && next < pieces.size()) {
        std::int32_t basePort = 0;
        const ScanTarget port[] = { &basePort };
        if (ScanLine(pieces[next++], "Base Port : %d", port) == 1)
            file.basePort = basePort;
    }

    for (; next < pieces.size(); ++next) {
        SystemLine line;
        const std::string& piece = pieces[next];
        switch (file.version) {
        case 5:
        case 4: {
            const ScanTarget fields[]
                = { &line.IpAddress, &line.ToIp, &line.Port, &line.Type, &line.EndpointType, &line.Name };
            ScanLine(piece, "%s\t%s\t%d\t%d\t%d\t%s", fields);
            break;
        }
        case 3: {
            const ScanTarget fields[] = { &line.IpAddress, &line.ToIp, &line.Type, &line.EndpointType, &line.Name };
            ScanLine(piece, "%s\t%s\t%d\t%d\t%s", fields);
            break;
        }
        case 2: {
            const ScanTarget fields[] = { &line.IpAddress, &line.ToIp, &line.Type, &line.Name };
            ScanLine(piece, "%s\t%s\t%d\t%s", fields);
            break;
        }
        case 1: {
            const ScanTarget fields[] = { &line.IpAddress, &line.Type, &line.Name };
            ScanLine(piece, "%s\t%d\t%s", fields);
            break;
        }
        default: {
            const ScanTarget fields[] = { &line.IpAddress, &line.Name };
            ScanLine(piece, "%s\t%s", fields);
            break;
        }
        }
        if (!line.IpAddress.empty())
            file.lines.push_back(std::move(line));
    }
    return file;
}

std::vector<std::string> ParseStationFile(std::string_view content)
{
    std::vector<std::string> stations;
    std::size_t start = 0;
    while (start < content.size()) {
        std::size_t end = content.find_first_of("\r\n", start);
        if (end == std::string_view::npos) {
            stations.emplace_back(content.substr(start));
            break;
        }
        stations.emplace_back(content.substr(start, end - start));
        start = end + (content.compare(end, 2, "\r\n") == 0 ? 2 : 1);
    }
    return stations;
}

std::string FormatSystemHeader(std::int32_t basePort)
{
    char header[64];
    std::snprintf(header, sizeof header, "Version : %d\r\nBase Port : %d\r\n", kCurrentVersion, basePort);
    return header;
}

std::string FormatSystemLine(const SystemEntry& entry)
{
    std::string line;
    line.append(OneLine(entry.IpAddress)).push_back('\t');
    line.append(OneLine(entry.ToIp)).push_back('\t');
    for (std::int32_t number : { entry.Port, entry.Type, entry.EndpointType }) {
        char digits[16];
        auto result = std::to_chars(digits, digits + sizeof digits, number);
        line.append(digits, result.ptr).push_back('\t');
    }
    line.append(OneLine(entry.Name)).append("\r\n");
    return line;
}

std::string FormatStationFile(const std::vector<std::string>& stations)
{
    std::string content;
    for (const std::string& station : stations)
        content.append(OneLine(station)).append("\r\n");
    return content;
}

std::string FormatStationFile(const StationList& stations)
{
    std::string content;
    content.reserve(stations.size() * 8);
    for (std::string_view station : stations)
        content.append(OneLine(station)).append("\r\n");
    return content;
}

bool IsSafeStationFileName(std::string_view address)
{
    if (address.empty() || address.size() + 4 > kMaxStationFileName)
        return false;
    // "system.dat" is the table itself: a system of that name would write its
    // stations over the table, and a crash between the two renames would
    // leave the stations where the table was. Any case, for file systems
    // that ignore it.
    if (address.size() == 6) {
        std::string lower(address);
        for (char& c : lower)
            c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        if (lower == "system")
            return false;
    }
    for (std::size_t at = 0; at < address.size();) {
        const unsigned char c = static_cast<unsigned char>(address[at]);
        if (c < 0x20 || c == 0x7F || c == '/' || c == '\\')
            return false;
        const std::size_t length = Utf8SequenceLength(address, at);
        if (length == 0)
            return false;
        at += length;
    }
    return true;
}

} // namespace korvel::datfile
