#include "decoder.h"

#include "protocol/text_render.h"
#include "store/console_log.h"

#include <cstdio>

namespace korvel {

namespace {

// A field counts as received when the packet reaches its first byte; a store
// change is applied only for what was received, so a truncated packet cannot
// rename or re-port a system with bytes that never arrived.
bool Reaches(Bytes packet, std::size_t offset) { return packet.size() > offset; }
bool Holds(Bytes packet, std::size_t offset, std::size_t width) { return packet.size() >= offset + width; }

void LogBody(bool trace, const std::string& body)
{
    if (trace)
        ConsoleLog("BODY        : %s", body.c_str());
}

void LogPrintableBody(bool trace, Bytes packet, std::size_t offset)
{
    if (trace)
        LogBody(true, PrintableText(packet, offset));
}

// Status reports and both multi-acks: header, System ID, ArraySize, entries.
void DecodeEntries(SystemTable& table, Replies& replies, const std::string& source, Bytes packet, bool trace)
{
    const std::uint8_t code = GetMessageCode(packet);
    const std::string systemId = ReadField(packet, wire::kEntrySystemIdOffset, wire::kSystemIdSize);
    if (Reaches(packet, wire::kEntrySystemIdOffset))
        table.SetSystemName(source, systemId);
    const std::uint16_t arraySize = ReadU16(packet, wire::kEntryArraySizeOffset);
    if (trace) {
        ConsoleLog("System ID   : %s", systemId.c_str());
        ConsoleLog("ArraySize   : %d", arraySize);
    }

    std::string body;
    const bool velka = code == MSG_STATUSREPORT && table.GetSystemType(source) == kTypeVelka;
    for (std::size_t i = 0; i < arraySize && i < wire::kMaxWalkedEntries; ++i) {
        const std::size_t offset = wire::kFirstEntryOffset + wire::kEntrySize * i;
        if (!Holds(packet, offset, wire::kEntrySize))
            break;
        const std::string station = ReadField(packet, offset, wire::kStationSize);
        const std::uint8_t value = packet[offset + wire::kEntryValueOffset];
        if (trace) {
            body += station;
            body += code == MSG_STATUSREPORT ? StationStatusLabel(value) : ResultLabel(value);
        }
        if (code == MSG_STATUSREPORT) {
            const std::int32_t state = static_cast<std::int8_t>(value);
            if (!velka || table.IsStationRegistered(source, station))
                table.SetStationStatus(source, station, state);
            else
                replies.SendDataMismatch(source, station);
        } else if (code == MSG_MULTACK && value == RESULT_ACK) {
            table.SetStationStatus(source, station, 255);
        }
    }
    LogBody(trace, body);
}

void DecodeSystemRegister(SystemTable& table, const std::string& source, Bytes packet, bool trace)
{
    const std::string systemId = ReadField(packet, wire::kSystemIdOffset, wire::kSystemIdSize);
    if (trace)
        ConsoleLog("System ID   : %s", systemId.c_str());

    char systemIp[16];
    std::snprintf(systemIp, sizeof systemIp, "%u.%u.%u.%u", ReadU8(packet, wire::kSystemIpOffset),
                  ReadU8(packet, wire::kSystemIpOffset + 1), ReadU8(packet, wire::kSystemIpOffset + 2),
                  ReadU8(packet, wire::kSystemIpOffset + 3));
    if (trace)
        ConsoleLog("System IP   : %s", systemIp);
    if (Holds(packet, wire::kSystemIpOffset, 4))
        table.ReplaceSystemAddress(source, systemIp);
    if (Reaches(packet, wire::kSystemIdOffset))
        table.SetSystemName(source, systemId);

    const std::uint16_t port = ReadU16(packet, wire::kSystemPortOffset);
    if (Holds(packet, wire::kSystemPortOffset, 2))
        table.SetSystemPort(source, port);
    if (trace)
        ConsoleLog("System Port : %d", port);

    const std::uint16_t endpointType = ReadU16(packet, wire::kEndpointTypeOffset);
    if (Holds(packet, wire::kEndpointTypeOffset, 2))
        table.SetEndpointType(source, endpointType);
    if (trace) {
        ConsoleLog("EndpointType: %d", endpointType);
        const std::size_t end = std::min(packet.size(), wire::kSystemRegisterTailOffset);
        const Bytes head = packet.first(end);
        ConsoleLog("BODY1       : %s", HexText(head, wire::kEndpointTypeOffset).c_str());
        ConsoleLog("BODY2       : %s", PrintableText(packet, wire::kSystemRegisterTailOffset).c_str());
    }
}

} // namespace

void DecodePacket(SystemTable& table, Replies& replies, const std::string& source, Bytes packet)
{
    const bool trace = ConsoleLogEnabled();
    const std::uint8_t code = GetMessageCode(packet);

    if (trace) {
        std::string header = HexText(packet.first(std::min(packet.size(), wire::kHeaderSize)));
        const char* name = MessageName(code);
        header += '(';
        header += name ? name : "Unknown Command";
        header += ')';
        ConsoleLog("Bytes       : %d", static_cast<int>(packet.size()));
        ConsoleLog("HEADER      : %s", header.c_str());
        if (HasSequenceNumber(code))
            ConsoleLog("SEQ_NO      : %d", GetSequenceNumber(packet));
    }

    switch (code) {
    case MSG_REGISTER:
    case MSG_DATA_MISMATCH: {
        const std::string systemId = ReadField(packet, wire::kSystemIdOffset, wire::kSystemIdSize);
        if (Reaches(packet, wire::kSystemIdOffset))
            table.SetSystemName(source, systemId);
        if (trace)
            ConsoleLog("System ID   : %s", systemId.c_str());
        LogPrintableBody(trace, packet, wire::kRegisterSourceOffset);
        break;
    }
    case MSG_UNREGISTER:
    case MSG_REGISTERv2: {
        const std::string systemId = ReadField(packet, wire::kSystemIdOffset, wire::kSystemIdSize);
        if (Reaches(packet, wire::kSystemIdOffset))
            table.SetSystemName(source, systemId);
        if (trace) {
            ConsoleLog("System ID   : %s", systemId.c_str());
            ConsoleLog("ArraySize   : %d", ReadU16(packet, wire::kListArraySizeOffset));
        }
        LogPrintableBody(trace, packet, wire::kListSourceOffset);
        break;
    }
    case MSG_CLEAR:
    case MSG_GETDATA:
        LogPrintableBody(trace, packet, wire::kHeaderSize);
        break;
    case MSG_STATUSREPORT:
    case MSG_MULTACK:
    case MSG_UNREG_MULTACK:
        DecodeEntries(table, replies, source, packet, trace);
        break;
    case MSG_SYSTEM_REGISTER:
        DecodeSystemRegister(table, source, packet, trace);
        break;
    default:
        if (trace)
            LogBody(true, HexText(packet, wire::kSequenceOffset));
        break;
    }
}

} // namespace korvel
