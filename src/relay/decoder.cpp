#include "decoder.h"

#include "log/console_log.h"
#include "protocol/packet_trace.h"

#include <cstdio>

namespace korvel {

namespace {

// A field counts as received when the packet reaches its first byte; a store
// change is applied only for what was received, so a truncated packet cannot
// rename or re-port a system with bytes that never arrived.
bool Reaches(Bytes packet, std::size_t offset)
{
    return packet.size() > offset;
}
bool Holds(Bytes packet, std::size_t offset, std::size_t width)
{
    return packet.size() >= offset + width;
}

void ApplyName(SystemTable& table, SystemEntry& sender, Bytes packet, std::size_t offset)
{
    if (Reaches(packet, offset))
        table.setSystemName(sender, ReadField(packet, offset, wire::kSystemIdSize));
}

// Status reports and acknowledged multi-ack entries record station states.
void ApplyEntries(SystemTable& table, Replies& replies, SystemEntry& sender, const std::string& source,
    std::uint8_t code, Bytes packet)
{
    ApplyName(table, sender, packet, wire::kEntrySystemIdOffset);
    if (code == MSG_UNREG_MULTACK)
        return;
    const std::uint16_t arraySize = ReadU16(packet, wire::kEntryArraySizeOffset);
    const bool velka = code == MSG_STATUSREPORT && sender.Type == kTypeVelka;
    for (std::size_t i = 0; i < arraySize && i < wire::kMaxWalkedEntries; ++i) {
        const std::size_t offset = wire::kFirstEntryOffset + wire::kEntrySize * i;
        if (!Holds(packet, offset, wire::kEntrySize))
            break;
        const std::string station = ReadField(packet, offset, wire::kStationSize);
        const std::uint8_t value = packet[offset + wire::kEntryValueOffset];
        if (code == MSG_STATUSREPORT) {
            const std::int32_t state = static_cast<std::int8_t>(value);
            if (!velka || sender.findStation(station) >= 0)
                table.setStationStatus(sender, station, state);
            else
                replies.sendDataMismatch(source, station);
        } else if (value == RESULT_ACK) {
            table.setStationStatus(sender, station, 255);
        }
    }
}

void ApplySystemRegister(SystemTable& table, SystemEntry* sender, const std::string& source, Bytes packet)
{
    if (Holds(packet, wire::kSystemIpOffset, 4)) {
        char systemIp[16];
        std::snprintf(systemIp, sizeof systemIp, "%u.%u.%u.%u", packet[wire::kSystemIpOffset],
            packet[wire::kSystemIpOffset + 1], packet[wire::kSystemIpOffset + 2], packet[wire::kSystemIpOffset + 3]);
        // Re-keying can hand the source address to an entry earlier in the
        // list, which is then the one that takes the rest.
        sender = table.replaceSystemAddress(source, systemIp);
    }
    if (!sender)
        return;
    ApplyName(table, *sender, packet, wire::kSystemIdOffset);
    if (Holds(packet, wire::kSystemPortOffset, 2))
        table.setSystemPort(*sender, ReadU16(packet, wire::kSystemPortOffset));
    if (Holds(packet, wire::kEndpointTypeOffset, 2))
        table.setEndpointType(*sender, ReadU16(packet, wire::kEndpointTypeOffset));
}

} // namespace

void DecodePacket(SystemTable& table, Replies& replies, const std::string& source, Bytes packet)
{
    // The trace depends on the bytes alone; the store changes never log, so
    // tracing first keeps the order of the console lines.
    if (replies.console().enabled()) {
        for (const std::string& line : TracePacket(packet))
            replies.console().logLine(line);
    }

    // Every change is for the sending system: look it up once. Re-keying may
    // add a system for the source address, so that case looks again itself.
    SystemEntry* sender = table.findSystem(source);
    const std::uint8_t code = GetMessageCode(packet);
    switch (code) {
    case MSG_REGISTER:
    case MSG_DATA_MISMATCH:
    case MSG_UNREGISTER:
    case MSG_REGISTERv2:
        if (sender)
            ApplyName(table, *sender, packet, wire::kSystemIdOffset);
        break;
    case MSG_STATUSREPORT:
    case MSG_MULTACK:
    case MSG_UNREG_MULTACK:
        if (sender)
            ApplyEntries(table, replies, *sender, source, code, packet);
        break;
    case MSG_SYSTEM_REGISTER:
        ApplySystemRegister(table, sender, source, packet);
        break;
    default:
        break;
    }
}

} // namespace korvel
