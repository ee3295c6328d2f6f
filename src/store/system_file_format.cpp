#include "system_file_format.h"

#include "system_table.h"

#include <arpa/inet.h>

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
        if (c == '\r') {
            if (i + 1 < content.size() && content[i + 1] == '\n')
                ++i;
            c = '\n';
        }
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

namespace {

std::string FoldCase(std::string_view text)
{
    std::string folded(text);
    for (char& c : folded)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return folded;
}

// A line as a message can show it: without its line end, control characters
// as '?'.
std::string Shown(std::string_view line)
{
    std::string shown(line.substr(0, line.find('\n')));
    for (char& c : shown)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    return shown;
}

bool IsBlank(std::string_view text)
{
    return std::all_of(text.begin(), text.end(), IsSpace);
}

// The number after "Base Port :" as written, for a message.
std::string ValueText(std::string_view line)
{
    const std::size_t colon = line.find(':');
    std::string_view value = colon == std::string_view::npos ? std::string_view() : line.substr(colon + 1);
    while (!value.empty() && IsSpace(value.front()))
        value.remove_prefix(1);
    return Shown(value.substr(0, std::min(value.find_first_of(" \t\r\n"), value.size())));
}

void ReadVersion(SystemFile& file, const std::string& first)
{
    const std::string folded = FoldCase(first);
    const ScanTarget version[] = { &file.version };
    if (ScanLine(folded, "version : %d", version) != 1) {
        file.notes.push_back({ 1, true, "cannot read the version line \"" + Shown(first) + "\"" });
        return;
    }
    if (file.version < 0 || file.version > kCurrentVersion) {
        file.notes.push_back({ 1, false,
            "version " + std::to_string(file.version) + " is not known: each line is read as an address and a name" });
    }
}

void ReadBasePort(SystemFile& file, const std::string& second)
{
    const std::string folded = FoldCase(second);
    std::int32_t basePort = 0;
    const ScanTarget port[] = { &basePort };
    if (ScanLine(folded, "base port : %d", port) == 1) {
        if (basePort >= kMinBasePort && basePort <= kMaxBasePort) {
            file.basePort = basePort;
            return;
        }
        file.notes.push_back({ 2, true,
            "Base Port " + ValueText(second) + " is out of range (" + std::to_string(kMinBasePort) + " to "
                + std::to_string(kMaxBasePort) + ")" });
        return;
    }
    std::string_view label(folded);
    while (!label.empty() && IsSpace(label.front()))
        label.remove_prefix(1);
    if (label.starts_with("base port")) {
        file.notes.push_back({ 2, true, "cannot read the Base Port line \"" + Shown(second) + "\"" });
        return;
    }
    // The line is taken as the header's all the same, as it always has been.
    file.notes.push_back({ 2, false,
        "no Base Port line: the base port stays as it is, and \"" + Shown(second) + "\" is not read as a system" });
}

} // namespace

SystemFile ParseSystemFile(std::string_view content)
{
    SystemFile file;
    if (content.starts_with("\xEF\xBB\xBF"))
        content.remove_prefix(3);
    const std::vector<std::string> pieces = SplitLinePieces(content);
    // A line longer than a piece goes on in the next piece, which is read as
    // a line of its own.
    std::vector<std::size_t> lineOf(pieces.size());
    for (std::size_t i = 0, line = 1; i < pieces.size(); ++i) {
        lineOf[i] = line;
        if (pieces[i].back() == '\n')
            ++line;
        else if (i + 1 < pieces.size())
            file.notes.push_back({ line, false,
                "longer than " + std::to_string(kLinePiece) + " characters: the rest is read as a line of its own" });
    }
    std::size_t next = 0;

    if (!content.empty() && (content.front() == 'V' || content.front() == 'v')) {
        ReadVersion(file, pieces[next++]);
    } else if (!content.empty()) {
        file.notes.push_back({ 1, false, "no version line: each line is read as an address and a name" });
    }
    if (file.version >= kCurrentVersion && next < pieces.size())
        ReadBasePort(file, pieces[next++]);

    for (; next < pieces.size(); ++next) {
        SystemLine line;
        line.lineNumber = lineOf[next];
        const std::string& piece = pieces[next];
        // Reading would shift the fields of a line whose first field is
        // empty and make a system of its second one.
        if (IsBlank(std::string_view(piece).substr(0, piece.find('\t'))))
            continue;
        // Each version's fields, and how many lead up to its last number: a
        // line that stops before that takes defaults for the rest.
        std::vector<ScanTarget> fields;
        std::vector<const char*> names;
        std::size_t numbered = 0;
        const char* format = "%s\t%s";
        switch (file.version) {
        case 5:
        case 4:
            fields = { &line.IpAddress, &line.ToIp, &line.Port, &line.Type, &line.EndpointType, &line.Name };
            names = { "address", "forwarding address", "port", "type", "endpoint type" };
            numbered = 5;
            format = "%s\t%s\t%d\t%d\t%d\t%s";
            break;
        case 3:
            fields = { &line.IpAddress, &line.ToIp, &line.Type, &line.EndpointType, &line.Name };
            names = { "address", "forwarding address", "type", "endpoint type" };
            numbered = 4;
            format = "%s\t%s\t%d\t%d\t%s";
            break;
        case 2:
            fields = { &line.IpAddress, &line.ToIp, &line.Type, &line.Name };
            names = { "address", "forwarding address", "type" };
            numbered = 3;
            format = "%s\t%s\t%d\t%s";
            break;
        case 1:
            fields = { &line.IpAddress, &line.Type, &line.Name };
            names = { "address", "type" };
            numbered = 2;
            format = "%s\t%d\t%s";
            break;
        default:
            fields = { &line.IpAddress, &line.Name };
            break;
        }
        const auto read = static_cast<std::size_t>(ScanLine(piece, format, fields));
        if (line.IpAddress.empty())
            continue;
        if (read < numbered) {
            const bool number = std::holds_alternative<std::int32_t*>(fields[read]);
            file.notes.push_back({ line.lineNumber, false,
                std::string("the ") + names[read] + (number ? " is missing or not a number" : " is missing")
                    + ": it and the fields after it take their defaults" });
        }
        file.lines.push_back(std::move(line));
    }
    return file;
}

std::vector<std::string> CheckSystemLine(const SystemLine& line)
{
    std::vector<std::string> problems;
    in_addr parsed {};
    if (inet_pton(AF_INET, line.IpAddress.c_str(), &parsed) != 1)
        problems.push_back("\"" + Shown(line.IpAddress) + "\" is not an IPv4 address: no packet will come from it");
    if (line.Port < 1 || line.Port > 65534)
        problems.push_back("port " + std::to_string(line.Port)
            + " is outside 1 to 65534: the system's TCP port and UDP port + 1 cannot both be used");
    if (line.Type != kTypeQvx && line.Type != kTypeVelka)
        problems.push_back("type " + std::to_string(line.Type) + " is neither " + std::to_string(kTypeQvx)
            + " (QVX) nor " + std::to_string(kTypeVelka) + " (Velka)");
    return problems;
}

std::vector<std::string> ParseStationFile(std::string_view content, std::size_t limit, std::size_t* consumed)
{
    std::vector<std::string> stations;
    std::size_t start = 0;
    while (start < content.size() && stations.size() < limit) {
        std::size_t end = content.find_first_of("\r\n", start);
        if (end == std::string_view::npos) {
            stations.emplace_back(content.substr(start));
            start = content.size();
            break;
        }
        stations.emplace_back(content.substr(start, end - start));
        start = end + (content.compare(end, 2, "\r\n") == 0 ? 2 : 1);
    }
    if (consumed)
        *consumed = start;
    return stations;
}

std::string FormatSystemHeader(std::int32_t basePort)
{
    char header[64];
    std::snprintf(header, sizeof header, "Version : %d\r\nBase Port : %d\r\n", kCurrentVersion, basePort);
    return header;
}

namespace {

template <typename Fields> void AppendSystemLine(std::string& text, const Fields& fields)
{
    text.append(OneLine(fields.IpAddress)).push_back('\t');
    text.append(OneLine(fields.ToIp)).push_back('\t');
    for (std::int32_t number : { fields.Port, fields.Type, fields.EndpointType }) {
        char digits[16];
        auto result = std::to_chars(digits, digits + sizeof digits, number);
        text.append(digits, result.ptr).push_back('\t');
    }
    text.append(OneLine(fields.Name)).append("\r\n");
}

} // namespace

std::string FormatSystemLine(const SystemEntry& entry)
{
    std::string line;
    AppendSystemLine(line, entry);
    return line;
}

void AppendSystemLine(std::string& text, const SystemLine& line)
{
    AppendSystemLine<SystemLine>(text, line);
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
