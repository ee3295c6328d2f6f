#include "request_builders.h"

#include "packet_builders.h"

#include <algorithm>

namespace korvel {

namespace {

Packet Numbered(SequenceCounter& counter, std::uint8_t code, std::size_t size)
{
    Packet packet(size, 0);
    BuildHeader(counter, packet, code, static_cast<std::uint16_t>(size));
    return packet;
}

} // namespace

Packet BuildEntryPacket(
    std::uint8_t code, std::string_view systemId, const std::vector<std::string>& stations, std::uint8_t value)
{
    const std::size_t count = std::min(stations.size(), wire::kMaxMultiAckEntries);
    Packet packet(wire::kFirstEntryOffset + wire::kEntrySize * count, 0);
    packet[wire::kMarkerOffset] = wire::kMarker;
    packet[wire::kCodeOffset] = code;
    WriteU16(packet, wire::kLengthOffset, static_cast<std::uint16_t>(packet.size()));
    WriteField(packet, wire::kEntrySystemIdOffset, wire::kSystemIdSize, systemId);
    WriteU16(packet, wire::kEntryArraySizeOffset, static_cast<std::uint16_t>(count));
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t offset = wire::kFirstEntryOffset + wire::kEntrySize * i;
        WriteField(packet, offset, wire::kStationSize, stations[i]);
        packet[offset + wire::kEntryValueOffset] = value;
    }
    return packet;
}

Packet BuildRegister(
    SequenceCounter& counter, std::string_view source, std::string_view destination, std::string_view systemId)
{
    Packet packet = Numbered(counter, MSG_REGISTER, wire::kRegisterSize);
    WriteField(packet, wire::kSystemIdOffset, wire::kSystemIdSize, systemId);
    WriteField(packet, wire::kRegisterSourceOffset, wire::kStationSize, source);
    WriteField(packet, wire::kRegisterDestinationOffset, wire::kStationSize, destination);
    return packet;
}

Packet BuildStationListRequest(SequenceCounter& counter, std::uint8_t code, std::string_view systemId,
    std::string_view source, const std::vector<std::string>& destinations)
{
    // The whole packet must fit its 16-bit length.
    const std::size_t count
        = std::min<std::size_t>(destinations.size(), (0xFFFF - wire::kListHeaderSize) / wire::kStationSize);
    Packet packet = Numbered(counter, code, wire::kListHeaderSize + wire::kStationSize * count);
    WriteField(packet, wire::kSystemIdOffset, wire::kSystemIdSize, systemId);
    WriteU16(packet, wire::kListArraySizeOffset, static_cast<std::uint16_t>(count));
    WriteField(packet, wire::kListSourceOffset, wire::kStationSize, source);
    for (std::size_t i = 0; i < count; ++i)
        WriteField(packet, wire::kListFirstStationOffset + wire::kStationSize * i, wire::kStationSize, destinations[i]);
    return packet;
}

Packet BuildGetData(SequenceCounter& counter, std::string_view systemId)
{
    Packet packet = Numbered(counter, MSG_GETDATA, wire::kGetDataSize);
    WriteField(packet, wire::kSystemIdOffset, wire::kSystemIdSize, systemId);
    return packet;
}

Packet BuildGetDataV2(SequenceCounter& counter, std::string_view systemId, std::uint16_t page)
{
    Packet packet = Numbered(counter, MSG_GETDATAv2, wire::kGetDataV2Size);
    WriteField(packet, wire::kSystemIdOffset, wire::kSystemIdSize, systemId);
    WriteU16(packet, wire::kPageIndexOffset, page);
    return packet;
}

Packet BuildClear(SequenceCounter& counter, std::string_view body)
{
    const std::size_t size = std::min<std::size_t>(wire::kHeaderSize + body.size(), 0xFFFF);
    Packet packet = Numbered(counter, MSG_CLEAR, size);
    std::copy_n(body.begin(), size - wire::kHeaderSize, packet.begin() + wire::kHeaderSize);
    return packet;
}

Packet BuildSystemRegister(SequenceCounter& counter, std::string_view systemId, std::uint16_t endpointType,
    std::array<std::uint8_t, 4> ip, std::uint16_t port)
{
    Packet packet = Numbered(counter, MSG_SYSTEM_REGISTER, wire::kSystemRegisterSize);
    WriteField(packet, wire::kSystemIdOffset, wire::kSystemIdSize, systemId);
    WriteU16(packet, wire::kEndpointTypeOffset, endpointType);
    std::copy(ip.begin(), ip.end(), packet.begin() + wire::kSystemIpOffset);
    WriteU16(packet, wire::kSystemPortOffset, port);
    return packet;
}

} // namespace korvel
