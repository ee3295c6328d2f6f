#include "packet_trace.h"

#include "text_render.h"

#include <algorithm>
#include <cstdio>

namespace korvel {

namespace {

std::string Line(const char* label, const std::string& value)
{
    return std::string(label) + value;
}

std::string Number(const char* label, long value)
{
    return std::string(label) + std::to_string(value);
}

void TraceEntries(std::vector<std::string>& lines, Bytes packet)
{
    const std::uint8_t code = GetMessageCode(packet);
    lines.push_back(Line("System ID   : ", FieldText(packet, wire::kEntrySystemIdOffset, wire::kSystemIdSize)));
    const std::uint16_t arraySize = ReadU16(packet, wire::kEntryArraySizeOffset);
    lines.push_back(Number("ArraySize   : ", arraySize));
    std::string body = "BODY        : ";
    for (std::size_t i = 0; i < arraySize && i < wire::kMaxWalkedEntries; ++i) {
        const std::size_t offset = wire::kFirstEntryOffset + wire::kEntrySize * i;
        if (offset + wire::kEntrySize > packet.size())
            break;
        AppendFieldText(body, packet, offset, wire::kStationSize);
        const std::uint8_t value = packet[offset + wire::kEntryValueOffset];
        body += code == MSG_STATUSREPORT ? StationStatusLabel(value) : ResultLabel(value);
    }
    lines.push_back(std::move(body));
}

void TraceSystemRegister(std::vector<std::string>& lines, Bytes packet)
{
    lines.push_back(Line("System ID   : ", FieldText(packet, wire::kSystemIdOffset, wire::kSystemIdSize)));
    char systemIp[16];
    std::snprintf(systemIp, sizeof systemIp, "%u.%u.%u.%u", ReadU8(packet, wire::kSystemIpOffset),
        ReadU8(packet, wire::kSystemIpOffset + 1), ReadU8(packet, wire::kSystemIpOffset + 2),
        ReadU8(packet, wire::kSystemIpOffset + 3));
    lines.push_back(Line("System IP   : ", systemIp));
    lines.push_back(Number("System Port : ", ReadU16(packet, wire::kSystemPortOffset)));
    lines.push_back(Number("EndpointType: ", ReadU16(packet, wire::kEndpointTypeOffset)));
    const Bytes head = packet.first(std::min(packet.size(), wire::kSystemRegisterTailOffset));
    lines.push_back(Line("BODY1       : ", HexText(head, wire::kEndpointTypeOffset)));
    lines.push_back(Line("BODY2       : ", PrintableText(packet, wire::kSystemRegisterTailOffset)));
}

} // namespace

std::vector<std::string> TracePacket(Bytes packet)
{
    std::vector<std::string> lines;
    const std::uint8_t code = GetMessageCode(packet);

    std::string header = HexText(packet.first(std::min(packet.size(), wire::kHeaderSize)));
    const char* name = MessageName(code);
    header += '(';
    header += name ? name : "Unknown Command";
    header += ')';
    lines.push_back(Number("Bytes       : ", static_cast<long>(packet.size())));
    lines.push_back(Line("HEADER      : ", header));
    if (HasSequenceNumber(code))
        lines.push_back(Number("SEQ_NO      : ", GetSequenceNumber(packet)));

    switch (code) {
    case MSG_REGISTER:
    case MSG_DATA_MISMATCH:
        lines.push_back(Line("System ID   : ", FieldText(packet, wire::kSystemIdOffset, wire::kSystemIdSize)));
        lines.push_back(Line("BODY        : ", PrintableText(packet, wire::kRegisterSourceOffset)));
        break;
    case MSG_UNREGISTER:
    case MSG_REGISTERv2:
        lines.push_back(Line("System ID   : ", FieldText(packet, wire::kSystemIdOffset, wire::kSystemIdSize)));
        lines.push_back(Number("ArraySize   : ", ReadU16(packet, wire::kListArraySizeOffset)));
        lines.push_back(Line("BODY        : ", PrintableText(packet, wire::kListSourceOffset)));
        break;
    case MSG_CLEAR:
    case MSG_GETDATA:
        lines.push_back(Line("BODY        : ", PrintableText(packet, wire::kHeaderSize)));
        break;
    case MSG_STATUSREPORT:
    case MSG_MULTACK:
    case MSG_UNREG_MULTACK:
        TraceEntries(lines, packet);
        break;
    case MSG_SYSTEM_REGISTER:
        TraceSystemRegister(lines, packet);
        break;
    default:
        lines.push_back(Line("BODY        : ", HexText(packet, wire::kSequenceOffset)));
        break;
    }
    return lines;
}

} // namespace korvel
