#include "protocol/packet_builders.h"

#include <gtest/gtest.h>

using namespace korvel;
using ByteVector = std::vector<std::uint8_t>;

namespace {

ByteVector Prefix(std::span<const std::uint8_t> bytes, std::size_t count)
{
    return ByteVector(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(count));
}

std::vector<std::string> Numbered(int count, int first = 41000)
{
    std::vector<std::string> stations;
    for (int i = 0; i < count; ++i)
        stations.push_back(std::to_string(first + i));
    return stations;
}

// A MSG_REGISTERv2 / MSG_UNREGISTER as a PBX builds it.
ByteVector StationListRequest(
    std::uint8_t code, const std::string& systemId, const std::vector<std::string>& stations, std::uint16_t arraySize)
{
    ByteVector packet(wire::kListHeaderSize + wire::kStationSize * stations.size(), 0);
    packet[0] = wire::kMarker;
    packet[1] = code;
    WriteField(packet, wire::kSystemIdOffset, wire::kSystemIdSize, systemId);
    WriteU16(packet, wire::kListArraySizeOffset, arraySize);
    WriteField(packet, wire::kListSourceOffset, wire::kStationSize, "40000");
    for (std::size_t i = 0; i < stations.size(); ++i)
        WriteField(packet, wire::kListFirstStationOffset + wire::kStationSize * i, wire::kStationSize, stations[i]);
    return packet;
}

} // namespace

TEST(PacketBuilders, FixedPacketsMatchTheWire)
{
    const auto ack258 = BuildAck(258);
    EXPECT_EQ(ByteVector(ack258.begin(), ack258.end()), (ByteVector { 0x0B, 0x01, 0x00, 0x06, 0x01, 0x02 }));
    const auto ack = BuildAck(0x0180);
    EXPECT_EQ(ack[4], 0x01);
    EXPECT_EQ(ack[5], 0x80);

    const auto keepAlive = BuildKeepAlive();
    EXPECT_EQ(ByteVector(keepAlive.begin(), keepAlive.end()), (ByteVector { 0x0B, 0x0B, 0x00, 0x04 }));
}

TEST(PacketBuilders, SequenceCounterStartsAtOneAndWraps)
{
    SequenceCounter counter;
    EXPECT_EQ(counter.peek(), 1);

    ByteVector buffer(70, 0xEE);
    EXPECT_EQ(BuildHeader(counter, buffer, MSG_REGISTER, 70), 1);
    EXPECT_EQ(Prefix(buffer, 6), (ByteVector { 0x0B, 0x03, 0x00, 0x46, 0x00, 0x01 }));
    EXPECT_EQ(buffer[69], 0) << "the whole length is cleared";

    counter.set(65535);
    std::fill(buffer.begin(), buffer.end(), 0xEE);
    EXPECT_EQ(BuildHeader(counter, buffer, MSG_GETDATA, 38), 65535);
    EXPECT_EQ(BuildHeader(counter, buffer, MSG_GETDATA, 38), 0);
    EXPECT_EQ(Prefix(buffer, 6), (ByteVector { 0x0B, 0x06, 0x00, 0x26, 0x00, 0x00 }));
    EXPECT_EQ(buffer[38], 0xEE) << "bytes past the length are left alone";
}

TEST(PacketBuilders, ReadStationListKeepsOrderAndDuplicatesAndOnlyWholeEntries)
{
    std::string systemId = "untouched";
    std::vector<std::string> stations = { "stale" };
    const ByteVector clear = { 0x0B, MSG_CLEAR, 0, 8, 0, 1, 0, 0 };
    ReadStationList(clear, systemId, stations);
    EXPECT_EQ(systemId, "untouched");
    EXPECT_EQ(stations.size(), 1u);

    auto packet = StationListRequest(MSG_REGISTERv2, "QVX300", { "41100", "41101", "41100" }, 3);
    ReadStationList(packet, systemId, stations);
    EXPECT_EQ(systemId, "QVX300");
    EXPECT_EQ(stations, (std::vector<std::string> { "41100", "41101", "41100" }));

    // ArraySize claims more than arrived, and the last entry is cut short.
    packet = StationListRequest(MSG_UNREGISTER, "QVX300", { "1", "2", "3" }, 600);
    packet.resize(packet.size() - 1);
    ReadStationList(packet, systemId, stations);
    EXPECT_EQ(stations, (std::vector<std::string> { "1", "2" }));

    // Too short even for the header: an empty list, never a read past the end.
    const ByteVector stub = { 0x0B, MSG_UNREGISTER, 0 };
    ReadStationList(stub, systemId, stations);
    EXPECT_EQ(systemId, "");
    EXPECT_TRUE(stations.empty());
}

TEST(PacketBuilders, MultiAckCapsAtFiftyEntries)
{
    std::array<std::uint8_t, wire::kMaxMultiAckSize> buffer;
    buffer.fill(0xEE);
    EXPECT_EQ(FillMultiAck(buffer, "QVX300", {}), 38u);
    EXPECT_EQ(ReadU16(buffer, wire::kEntryArraySizeOffset), 0);
    EXPECT_EQ(ReadU16(buffer, wire::kLengthOffset), 38);
    EXPECT_EQ(buffer[0], 0x0B);
    EXPECT_EQ(buffer[1], 0) << "the caller sets the code";
    EXPECT_EQ(ReadField(buffer, 4, 32), "QVX300");
    EXPECT_EQ(buffer[887], 0) << "the whole buffer is cleared";

    const auto stations = Numbered(60);
    EXPECT_EQ(FillMultiAck(buffer, "QVX300", stations), 888u);
    EXPECT_EQ(ReadU16(buffer, wire::kEntryArraySizeOffset), 50);
    EXPECT_EQ(ReadU16(buffer, wire::kLengthOffset), 888);
    for (std::size_t i = 0; i < 50; ++i) {
        const std::size_t entry = 38 + 17 * i;
        EXPECT_EQ(ReadField(buffer, entry, 16), stations[i]);
        EXPECT_EQ(buffer[entry + 16], RESULT_ACK);
    }
}

TEST(PacketBuilders, GetResponsePagesAreFiftyStationsEach)
{
    const auto stations = Numbered(120);
    std::array<std::uint8_t, wire::kMaxGetResponseSize> buffer;
    const std::size_t expected[] = { 808, 808, 328, 8 };
    for (std::uint16_t page = 0; page < 4; ++page) {
        buffer.fill(0xEE);
        const std::size_t length = BuildGetResponse(buffer, 0x1234, &stations, page);
        EXPECT_EQ(length, expected[page]) << "page " << page;
        EXPECT_EQ(Prefix(buffer, 6),
            (ByteVector { 0x0B, 0x07, static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length & 0xFF),
                0x12, 0x34 }));
        EXPECT_EQ(ReadU16(buffer, wire::kPageArraySizeOffset), (length - 8) / 16);
        if (length > 8) {
            EXPECT_EQ(ReadField(buffer, 8, 16), stations[50u * page]);
        }
    }

    EXPECT_EQ(BuildGetResponse(buffer, 1, nullptr, 0), 8u) << "an unknown system gets an empty page";

    // 50 * 1311 = 65550 wraps to 14 in 16-bit page arithmetic.
    EXPECT_EQ(BuildGetResponse(buffer, 1, &stations, 1311), 8u + 16u * 50u);
    EXPECT_EQ(ReadField(buffer, 8, 16), stations[14]);

    const std::vector<std::string> full = { std::string(16, '9') };
    BuildGetResponse(buffer, 1, &full, 0);
    EXPECT_EQ(ReadField(buffer, 8, 16), full[0]);
    EXPECT_EQ(buffer[23], '9') << "a 16-character number fills its field";
}

TEST(PacketBuilders, DataMismatchNoticeLayout)
{
    SequenceCounter counter;
    counter.set(0x0203);
    const auto packet = BuildDataMismatch(counter, "41100");
    EXPECT_EQ(Prefix(packet, 6), (ByteVector { 0x0B, 0x0F, 0x00, 0x4A, 0x02, 0x03 }));
    for (std::size_t i = 6; i < 54; ++i)
        EXPECT_EQ(packet[i], 0) << i;
    EXPECT_EQ(ReadField(packet, 54, 16), "41100");
    EXPECT_EQ(packet[70], 1);
    EXPECT_EQ(packet[71], 0);
    EXPECT_EQ(packet[73], 0);
    EXPECT_EQ(counter.peek(), 0x0204);
}
