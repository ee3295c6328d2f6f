// The two readers of station lists: ReadStationList (register and unregister
// requests, answered with a multi-ack) and the entry walk of status reports
// and multi-acks. Each is checked against a plain model of the layout.

#include "fuzz_support.h"

#include "log/console_log.h"
#include "protocol/packet_builders.h"
#include "protocol/packet_trace.h"
#include "relay/decoder.h"
#include "relay/replies.h"
#include "support/recording_outbox.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

using namespace korvel;

namespace {

std::string Field(Bytes packet, std::size_t offset, std::size_t width)
{
    std::string text;
    for (std::size_t i = offset; i < offset + width && i < packet.size() && packet[i] != 0; ++i)
        text.push_back(static_cast<char>(packet[i]));
    return text;
}

// A text as the trace shows it: control characters as \x escapes.
std::string Shown(const std::string& text)
{
    std::string shown;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            char escape[5];
            std::snprintf(escape, sizeof escape, "\\x%02x", byte);
            shown += escape;
        } else {
            shown += c;
        }
    }
    return shown;
}

std::size_t WholeUnits(std::size_t size, std::size_t first, std::size_t unit)
{
    return size < first ? 0 : (size - first) / unit;
}

void CheckStationList(Bytes packet)
{
    std::string systemId = "untouched";
    std::vector<std::string> stations = { "untouched" };
    ReadStationList(packet, systemId, stations);
    const std::uint8_t code = GetMessageCode(packet);
    if (code != MSG_UNREGISTER && code != MSG_REGISTERv2) {
        FUZZ_CHECK(systemId == "untouched" && stations.size() == 1, "other codes leave the outputs alone");
        return;
    }
    FUZZ_CHECK(systemId == Field(packet, wire::kSystemIdOffset, wire::kSystemIdSize), "System ID");
    const std::size_t arraySize = ReadU16(packet, wire::kListArraySizeOffset);
    const std::size_t whole = WholeUnits(packet.size(), wire::kListFirstStationOffset, wire::kStationSize);
    FUZZ_CHECK(stations.size() == std::min(arraySize, whole), "only whole entries, at most ArraySize");
    for (std::size_t i = 0; i < stations.size(); ++i)
        FUZZ_CHECK(
            stations[i] == Field(packet, wire::kListFirstStationOffset + wire::kStationSize * i, wire::kStationSize),
            "station text");

    // The answer names the same stations, at most 50, each acknowledged.
    std::array<std::uint8_t, wire::kMaxMultiAckSize> buffer;
    buffer.fill(0xA5);
    const std::size_t length = FillMultiAck(buffer, systemId, stations);
    const std::size_t entries = std::min(stations.size(), wire::kMaxMultiAckEntries);
    FUZZ_CHECK(length == wire::kFirstEntryOffset + wire::kEntrySize * entries, "multi-ack length");
    const Bytes ack(buffer);
    FUZZ_CHECK(ReadU16(ack, wire::kLengthOffset) == length, "Length field");
    FUZZ_CHECK(ReadU16(ack, wire::kEntryArraySizeOffset) == entries, "ArraySize field");
    FUZZ_CHECK(Field(ack, wire::kEntrySystemIdOffset, wire::kSystemIdSize) == systemId.substr(0, 32), "echoed ID");
    for (std::size_t i = 0; i < entries; ++i) {
        const std::size_t offset = wire::kFirstEntryOffset + wire::kEntrySize * i;
        FUZZ_CHECK(Field(ack, offset, wire::kStationSize) == stations[i], "echoed station");
        FUZZ_CHECK(ack[offset + wire::kEntryValueOffset] == RESULT_ACK, "result ACK");
    }
    FUZZ_CHECK(std::all_of(buffer.begin() + static_cast<std::ptrdiff_t>(length), buffer.end(),
                   [](std::uint8_t b) { return b == 0; }),
        "the rest of the buffer is cleared");
}

const char* StatusLabel(std::uint8_t value)
{
    static const char* const labels[] = { ":IDLE ", ":BUSY ", ":DND  ", ":MSG  ", ":OOS  " };
    return value < 5 ? labels[value] : ":???? ";
}

const char* ResultText(std::uint8_t value)
{
    return value == RESULT_ACK ? ":ACK " : value == RESULT_NAK ? ":NAK " : ":???? ";
}

std::string Fold(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return text;
}

// The bytes as a status report, a multi-ack or an unregister multi-ack, from
// a QVX system or from a Velka system with registered stations; and, when
// asked, their trace.
void CheckEntryWalk(Bytes input, std::uint8_t code, bool velka, bool checkTrace)
{
    std::vector<std::uint8_t> bytes(input.begin(), input.end());
    if (bytes.size() > wire::kCodeOffset)
        bytes[wire::kCodeOffset] = code;
    const Bytes packet(bytes);

    const std::string source = "127.0.0.2";
    SystemTable table(fuzz::ScratchFolder() / "stations", [] { return std::int64_t { 0 }; });
    testing::RecordingOutbox outbox;
    Settings settings;
    TrafficCounters counters;
    SequenceCounter sequence;
    ConsoleLog console;
    Replies replies(table, outbox, settings, counters, sequence, console);
    SystemEntry& entry = table.appendEntry(source, "", velka ? kTypeVelka : kTypeQvx, 2, 9000, "");
    const std::vector<std::string> registered = { "41100", "41101", "Ab" };
    if (velka)
        entry.setStations(registered);

    // Model: the entries that lie wholly inside the bytes, at most ArraySize
    // and 512 of them.
    const std::size_t arraySize = ReadU16(packet, wire::kEntryArraySizeOffset);
    const std::size_t walked = std::min(
        { arraySize, wire::kMaxWalkedEntries, WholeUnits(packet.size(), wire::kFirstEntryOffset, wire::kEntrySize) });
    std::vector<std::string> expectedStations = velka ? registered : std::vector<std::string> {};
    std::vector<std::int32_t> expectedStates(expectedStations.size(), -1);
    std::map<std::string, std::size_t> index;
    for (std::size_t i = 0; i < expectedStations.size(); ++i)
        index.emplace(Fold(expectedStations[i]), i);
    std::vector<std::string> mismatches;
    std::string body;
    for (std::size_t i = 0; i < walked; ++i) {
        const std::size_t offset = wire::kFirstEntryOffset + wire::kEntrySize * i;
        const std::string station = Field(packet, offset, wire::kStationSize);
        const std::uint8_t value = packet[offset + wire::kEntryValueOffset];
        if (checkTrace)
            body += Shown(station) + (code == MSG_STATUSREPORT ? StatusLabel(value) : ResultText(value));
        std::int32_t state = 0;
        if (code == MSG_STATUSREPORT)
            state = static_cast<std::int8_t>(value);
        else if (code == MSG_MULTACK && value == RESULT_ACK)
            state = 255;
        else
            continue;
        auto found = index.find(Fold(station));
        if (found == index.end()) {
            if (velka && code == MSG_STATUSREPORT) {
                mismatches.push_back(station);
                continue;
            }
            if (expectedStations.size() >= kMaxStations)
                continue;
            found = index.emplace(Fold(station), expectedStations.size()).first;
            expectedStations.push_back(station);
            expectedStates.push_back(-1);
        }
        expectedStates[found->second] = state;
    }

    DecodePacket(table, replies, source, packet);
    const SystemEntry* after = table.findSystem(source);
    FUZZ_CHECK(after && after->Stations == expectedStations, "stations registered by the walk");
    FUZZ_CHECK(after->StationStates == expectedStates, "states recorded by the walk");
    FUZZ_CHECK(outbox.sent.size() == mismatches.size(), "one notice per unregistered station");
    for (std::size_t i = 0; i < mismatches.size(); ++i) {
        const Bytes notice(outbox.sent[i].bytes);
        FUZZ_CHECK(notice.size() == wire::kDataMismatchSize && notice[wire::kCodeOffset] == MSG_DATA_MISMATCH,
            "notice layout");
        FUZZ_CHECK(Field(notice, wire::kMismatchStationOffset, wire::kStationSize) == mismatches[i],
            "notice names the station");
    }

    if (checkTrace && packet.size() > wire::kCodeOffset) {
        const std::vector<std::string> trace = TracePacket(packet);
        FUZZ_CHECK(!trace.empty() && trace.back() == "BODY        : " + body, "traced body");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const Bytes packet(data, std::min(size, wire::kMaxTcpRead));
    CheckStationList(packet);
    constexpr std::uint8_t kCodes[] = { MSG_STATUSREPORT, MSG_MULTACK, MSG_UNREG_MULTACK };
    if (!fuzz::Sampled(fuzz::InputHash(data, size))) {
        // The code byte, which the walk replaces, picks one of the six ways,
        // so that mutations elsewhere keep the way that found them.
        const std::uint8_t way = ReadU8(packet, wire::kCodeOffset) % 6;
        CheckEntryWalk(packet, kCodes[way % 3], way >= 3, true);
        return 0;
    }
    // A sample goes all six ways; the trace depends on the bytes only.
    for (std::uint8_t code : kCodes)
        for (bool velka : { false, true })
            CheckEntryWalk(packet, code, velka, !velka);
    return 0;
}
