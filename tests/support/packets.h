#pragma once

#include "protocol/packet_builders.h"

#include <string>
#include <utility>
#include <vector>

namespace korvel::testing {

using ByteVector = std::vector<std::uint8_t>;

// Packets as a PBX system would build them.
inline ByteVector StatusReport(const std::string& systemId,
    const std::vector<std::pair<std::string, std::uint8_t>>& entries, std::uint8_t code = MSG_STATUSREPORT)
{
    ByteVector packet(wire::kFirstEntryOffset + wire::kEntrySize * entries.size(), 0);
    packet[0] = wire::kMarker;
    packet[1] = code;
    WriteU16(packet, wire::kLengthOffset, static_cast<std::uint16_t>(packet.size()));
    WriteField(packet, wire::kEntrySystemIdOffset, wire::kSystemIdSize, systemId);
    WriteU16(packet, wire::kEntryArraySizeOffset, static_cast<std::uint16_t>(entries.size()));
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::size_t offset = wire::kFirstEntryOffset + wire::kEntrySize * i;
        WriteField(packet, offset, wire::kStationSize, entries[i].first);
        packet[offset + wire::kEntryValueOffset] = entries[i].second;
    }
    return packet;
}

inline ByteVector Request(
    std::uint8_t code, std::uint16_t sequence, const std::string& systemId, std::size_t size = wire::kGetDataSize)
{
    ByteVector packet(size, 0);
    packet[0] = wire::kMarker;
    packet[1] = code;
    WriteU16(packet, wire::kLengthOffset, static_cast<std::uint16_t>(size));
    WriteU16(packet, wire::kSequenceOffset, sequence);
    if (size >= wire::kSystemIdOffset + wire::kSystemIdSize)
        WriteField(packet, wire::kSystemIdOffset, wire::kSystemIdSize, systemId);
    return packet;
}

inline ByteVector GetDataV2(std::uint16_t sequence, const std::string& systemId, std::uint16_t page)
{
    ByteVector packet = Request(MSG_GETDATAv2, sequence, systemId, wire::kGetDataV2Size);
    WriteU16(packet, wire::kPageIndexOffset, page);
    return packet;
}

inline ByteVector StationListRequest(
    std::uint8_t code, std::uint16_t sequence, const std::string& systemId, const std::vector<std::string>& stations)
{
    ByteVector packet = Request(code, sequence, systemId, wire::kListHeaderSize + wire::kStationSize * stations.size());
    WriteU16(packet, wire::kListArraySizeOffset, static_cast<std::uint16_t>(stations.size()));
    WriteField(packet, wire::kListSourceOffset, wire::kStationSize, "40000");
    for (std::size_t i = 0; i < stations.size(); ++i)
        WriteField(packet, wire::kListFirstStationOffset + wire::kStationSize * i, wire::kStationSize, stations[i]);
    return packet;
}

inline ByteVector SystemRegister(std::uint16_t sequence, const std::string& systemId, std::uint16_t endpointType,
    std::array<std::uint8_t, 4> ip, std::uint16_t port)
{
    ByteVector packet = Request(MSG_SYSTEM_REGISTER, sequence, systemId, wire::kSystemRegisterSize);
    WriteU16(packet, wire::kEndpointTypeOffset, endpointType);
    for (std::size_t i = 0; i < 4; ++i)
        packet[wire::kSystemIpOffset + i] = ip[i];
    WriteU16(packet, wire::kSystemPortOffset, port);
    return packet;
}

} // namespace korvel::testing
