#include "packet_builders.h"

#include <algorithm>

namespace korvel {

namespace {

void WriteHeader(MutableBytes buffer, std::uint8_t code, std::uint16_t length)
{
    buffer[wire::kMarkerOffset] = wire::kMarker;
    buffer[wire::kCodeOffset] = code;
    WriteU16(buffer, wire::kLengthOffset, length);
}

} // namespace

std::uint16_t BuildHeader(SequenceCounter& counter, MutableBytes buffer, std::uint8_t code, std::uint16_t length)
{
    std::fill_n(buffer.begin(), std::min<std::size_t>(length, buffer.size()), std::uint8_t { 0 });
    WriteHeader(buffer, code, length);
    const std::uint16_t sequence = counter.take();
    WriteU16(buffer, wire::kSequenceOffset, sequence);
    return sequence;
}

void ReadStationList(Bytes packet, std::string& systemId, std::vector<std::string>& stations)
{
    const std::uint8_t code = GetMessageCode(packet);
    if (code != MSG_UNREGISTER && code != MSG_REGISTERv2)
        return;
    systemId = ReadField(packet, wire::kSystemIdOffset, wire::kSystemIdSize);
    stations.clear();
    const std::size_t count = ReadU16(packet, wire::kListArraySizeOffset);
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t offset = wire::kListFirstStationOffset + wire::kStationSize * i;
        if (offset + wire::kStationSize > packet.size())
            break;
        stations.push_back(ReadField(packet, offset, wire::kStationSize));
    }
}

std::size_t FillMultiAck(std::span<std::uint8_t, wire::kMaxMultiAckSize> buffer, std::string_view systemId,
    const std::vector<std::string>& stations)
{
    std::fill(buffer.begin(), buffer.end(), std::uint8_t { 0 });
    buffer[wire::kMarkerOffset] = wire::kMarker;
    WriteField(buffer, wire::kEntrySystemIdOffset, wire::kSystemIdSize, systemId);
    const std::size_t count = std::min(stations.size(), wire::kMaxMultiAckEntries);
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t offset = wire::kFirstEntryOffset + wire::kEntrySize * i;
        WriteField(buffer, offset, wire::kStationSize, stations[i]);
        buffer[offset + wire::kEntryValueOffset] = RESULT_ACK;
    }
    const auto length = static_cast<std::uint16_t>(wire::kFirstEntryOffset + wire::kEntrySize * count);
    WriteU16(buffer, wire::kEntryArraySizeOffset, static_cast<std::uint16_t>(count));
    WriteU16(buffer, wire::kLengthOffset, length);
    return length;
}

AckPacket BuildAck(std::uint16_t sequence)
{
    AckPacket packet {};
    WriteHeader(packet, MSG_ACK, wire::kAckSize);
    WriteU16(packet, wire::kSequenceOffset, sequence);
    return packet;
}

KeepAlivePacket BuildKeepAlive()
{
    KeepAlivePacket packet {};
    WriteHeader(packet, MSG_REQ_GETDATA, wire::kKeepAliveSize);
    return packet;
}

namespace {

template <typename Stations>
std::size_t FillGetResponse(std::span<std::uint8_t, wire::kMaxGetResponseSize> buffer, std::uint16_t sequence,
    const Stations* stations, std::uint16_t page)
{
    std::fill(buffer.begin(), buffer.end(), std::uint8_t { 0 });
    std::size_t count = 0;
    if (stations) {
        const auto first = static_cast<std::uint16_t>(wire::kStationsPerPage * page);
        for (std::size_t index = first; index < stations->size() && count < wire::kStationsPerPage; ++index, ++count)
            WriteField(buffer, wire::kPageFirstStationOffset + wire::kStationSize * count, wire::kStationSize,
                (*stations)[index]);
    }
    const auto length = static_cast<std::uint16_t>(wire::kPageHeaderSize + wire::kStationSize * count);
    WriteHeader(buffer, MSG_GETRESPONSE, length);
    WriteU16(buffer, wire::kSequenceOffset, sequence);
    WriteU16(buffer, wire::kPageArraySizeOffset, static_cast<std::uint16_t>(count));
    return length;
}

} // namespace

std::size_t BuildGetResponse(std::span<std::uint8_t, wire::kMaxGetResponseSize> buffer, std::uint16_t sequence,
    const StationList* stations, std::uint16_t page)
{
    return FillGetResponse(buffer, sequence, stations, page);
}

std::size_t BuildGetResponse(std::span<std::uint8_t, wire::kMaxGetResponseSize> buffer, std::uint16_t sequence,
    const std::vector<std::string>* stations, std::uint16_t page)
{
    return FillGetResponse(buffer, sequence, stations, page);
}

std::size_t BuildGetResponse(std::span<std::uint8_t, wire::kMaxGetResponseSize> buffer, std::uint16_t sequence,
    std::nullptr_t, std::uint16_t page)
{
    return FillGetResponse(buffer, sequence, static_cast<const StationList*>(nullptr), page);
}

DataMismatchPacket BuildDataMismatch(SequenceCounter& counter, std::string_view station)
{
    DataMismatchPacket packet {};
    BuildHeader(counter, packet, MSG_DATA_MISMATCH, wire::kDataMismatchSize);
    WriteField(packet, wire::kMismatchStationOffset, wire::kStationSize, station);
    packet[wire::kMismatchFlagOffset] = 1;
    return packet;
}

} // namespace korvel
