#include "relay_fixture.h"

#include <gmock/gmock.h>

using namespace korvel;
using namespace korvel::testing;
using Lines = std::vector<std::string>;

using DecoderTest = RelayFixture;

TEST_F(DecoderTest, StatusReportTraceAndRegistration)
{
    table.addSystem("127.0.0.2", "127.0.0.2", kTypeQvx);
    decode("127.0.0.2", StatusReport("QVX300", { { "41100", 1 }, { "41101", 0 } }));
    EXPECT_EQ(lines(),
        (Lines {
            "Bytes       : 72",
            "HEADER      : 0B 08 00 48 51 56 (MSG_STATUSREPORT)",
            "System ID   : QVX300",
            "ArraySize   : 2",
            "BODY        : 41100:BUSY 41101:IDLE ",
        }));
    const SystemEntry* entry = table.findSystem("127.0.0.2");
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->Name, "QVX300");
    EXPECT_EQ(entry->Stations, (std::vector<std::string> { "41100", "41101" }));
    EXPECT_EQ(entry->StationStates, (std::vector<std::int32_t> { 1, 0 }));

    // Same station in other letter case, undefined status bytes stored signed.
    decode("127.0.0.2", StatusReport("QVX300", { { "41100", 0xFF }, { "A1", 5 }, { "a1", 0x80 } }));
    EXPECT_EQ(entry->Stations, (std::vector<std::string> { "41100", "41101", "A1" }));
    EXPECT_EQ(entry->StationStates, (std::vector<std::int32_t> { -1, 0, -128 }));
    EXPECT_EQ(lines().back(), "BODY        : 41100:???? A1:???? a1:???? ");
    EXPECT_TRUE(outbox.sent.empty());
}

// A text from the wire stays inside its own trace line, whatever it holds;
// the store keeps it as it came.
TEST_F(DecoderTest, ControlCharactersFromTheWireCannotForgeTraceLines)
{
    table.addSystem("127.0.0.2", "127.0.0.2", kTypeQvx);
    decode("127.0.0.2", StatusReport("X\nRefused from: 6.6.6.6", { { "1\r\n\x1b[31m", 1 } }));
    EXPECT_EQ(lines(),
        (Lines {
            "Bytes       : 55",
            "HEADER      : 0B 08 00 37 58 0A (MSG_STATUSREPORT)",
            "System ID   : X\\x0aRefused from: 6.6.6.6",
            "ArraySize   : 1",
            "BODY        : 1\\x0d\\x0a\\x1b[31m:BUSY ",
        }));
    EXPECT_EQ(table.findSystem("127.0.0.2")->Name, "X\nRefused from: 6.6.6.6");

    console.clear();
    decode("127.0.0.2", Request(MSG_REGISTER, 1, "\x1b]0;owned\x07", wire::kRegisterSize));
    EXPECT_EQ(lines().at(3), "System ID   : \\x1b]0;owned\\x07");
}

TEST_F(DecoderTest, GenericAndUnknownCodesShowAHexBody)
{
    decode("127.0.0.2", ByteVector { 0x0B, 0x01, 0x00, 0x06, 0x00, 0x2A });
    EXPECT_EQ(lines(),
        (Lines { "Bytes       : 6", "HEADER      : 0B 01 00 06 00 2A (MSG_ACK)", "SEQ_NO      : 42",
            "BODY        : 00 2A " }));

    for (std::uint8_t code : { 0, 17 }) {
        console.clear();
        decode("127.0.0.2", ByteVector { 0x0B, code, 0x00, 0x07, 0x01, 0x02, 0x03 });
        char header[80];
        std::snprintf(header, sizeof header, "HEADER      : 0B %02X 00 07 01 02 (Unknown Command)", code);
        EXPECT_EQ(lines(), (Lines { "Bytes       : 7", header, "BODY        : 01 02 03 " }));
    }

    console.clear();
    decode("127.0.0.2", ByteVector { 0x0B, 0x0B });
    EXPECT_EQ(lines(),
        (Lines { "Bytes       : 2", "HEADER      : 0B 0B (MSG_REQ_GETDATA)", "SEQ_NO      : 0", "BODY        : " }));
}

TEST_F(DecoderTest, GetDataBodyIsPrintableText)
{
    decode("127.0.0.2", Request(MSG_GETDATA, 7, "VEZIDUZ"));
    EXPECT_EQ(lines().back(), "BODY        : VEZIDUZ" + std::string(25, '.'));
}

TEST_F(DecoderTest, EntryWalkStopsAtTheReceivedBytesAndAt512)
{
    table.addSystem("127.0.0.2", "127.0.0.2", kTypeQvx);
    ByteVector packet = StatusReport("QVX300", { { "1", 0 }, { "2", 1 }, { "3", 2 } });
    WriteU16(packet, wire::kEntryArraySizeOffset, 600);
    packet.resize(packet.size() - 1); // the third entry is cut short
    decode("127.0.0.2", packet);
    EXPECT_EQ(lines()[3], "ArraySize   : 600");
    EXPECT_EQ(lines()[4], "BODY        : 1:IDLE 2:BUSY ");
    EXPECT_EQ(table.findSystem("127.0.0.2")->Stations.size(), 2u);

    std::vector<std::pair<std::string, std::uint8_t>> many;
    for (int i = 0; i < 600; ++i)
        many.emplace_back("S" + std::to_string(i), 0);
    decode("127.0.0.2", StatusReport("QVX300", many));
    EXPECT_EQ(table.findSystem("127.0.0.2")->Stations.size(), 2u + 512u);
}

TEST_F(DecoderTest, VelkaReportsAboutUnregisteredStationsGetADataMismatch)
{
    table.addSystem("127.0.0.5", "127.0.0.5", kTypeVelka);
    table.setStationStatus("127.0.0.5", "41100", 255);
    sequence.set(0x0102);

    decode("127.0.0.5", StatusReport("V1", { { "41100", 2 }, { "41199", 1 } }));
    const SystemEntry* entry = table.findSystem("127.0.0.5");
    EXPECT_EQ(entry->Stations, (std::vector<std::string> { "41100" }));
    EXPECT_EQ(entry->StationStates, (std::vector<std::int32_t> { 2 }));
    ASSERT_EQ(outbox.sent.size(), 1u);
    const auto& notice = outbox.sent[0];
    EXPECT_FALSE(notice.tcp);
    EXPECT_EQ(notice.host, "127.0.0.5");
    EXPECT_EQ(notice.port, 9003);
    ASSERT_EQ(notice.bytes.size(), 74u);
    EXPECT_EQ(notice.bytes[1], MSG_DATA_MISMATCH);
    EXPECT_EQ(ReadU16(notice.bytes, 4), 0x0102);
    EXPECT_EQ(ReadField(notice.bytes, 54, 16), "41199");
    EXPECT_EQ(counters.SentByteCount.load(), 74);
    EXPECT_EQ(sequence.peek(), 0x0103);
}

TEST_F(DecoderTest, MultiAckRegistersOnlyAcknowledgedStations)
{
    table.addSystem("127.0.0.2", "127.0.0.2", kTypeQvx);
    decode("127.0.0.2", StatusReport("QVX300", { { "1", 1 }, { "2", 2 }, { "3", 7 } }, MSG_MULTACK));
    EXPECT_EQ(lines().back(), "BODY        : 1:ACK 2:NAK 3:???? ");
    const SystemEntry* entry = table.findSystem("127.0.0.2");
    EXPECT_EQ(entry->Stations, (std::vector<std::string> { "1" }));
    EXPECT_EQ(entry->StationStates, (std::vector<std::int32_t> { 255 }));

    decode("127.0.0.2", StatusReport("QVX301", { { "9", 1 } }, MSG_UNREG_MULTACK));
    EXPECT_EQ(entry->Stations.size(), 1u);
    EXPECT_EQ(entry->Name, "QVX301");
}

TEST_F(DecoderTest, SystemRegisterReKeysAndSetsPortAndEndpointType)
{
    // Known as 127.0.0.9 by its To IP; now it speaks from 127.0.0.7.
    table.appendEntry("127.0.0.9", "old", kTypeQvx, 2, 9000, "127.168.1.10");
    decode("127.0.0.7", SystemRegister(3, "PBX7", 3, { 127, 168, 1, 10 }, 9100));
    EXPECT_EQ(lines(),
        (Lines {
            "Bytes       : 48",
            "HEADER      : 0B 09 00 30 00 03 (MSG_SYSTEM_REGISTER)",
            "SEQ_NO      : 3",
            "System ID   : PBX7",
            "System IP   : 127.168.1.10",
            "System Port : 9100",
            "EndpointType: 3",
            "BODY1       : 00 03 7F A8 01 0A 23 8C 00 00 ",
            "BODY2       : ",
        }));
    const SystemEntry* entry = table.findSystem("127.0.0.7");
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->Name, "PBX7");
    EXPECT_EQ(entry->Port, 9100);
    EXPECT_EQ(entry->EndpointType, 3);
    EXPECT_EQ(table.findSystem("127.0.0.9"), nullptr);
}

TEST_F(DecoderTest, TruncatedPacketsChangeNothingThatDidNotArrive)
{
    table.addSystem("127.0.0.2", "first", kTypeQvx);
    table.setSystemPort("127.0.0.2", 9100);
    decode("127.0.0.2", ByteVector { 0x0B, MSG_SYSTEM_REGISTER, 0, 0x30, 0 });
    decode("127.0.0.2", ByteVector { 0x0B, MSG_REGISTER, 0, 0x46 });
    const SystemEntry* entry = table.findSystem("127.0.0.2");
    EXPECT_EQ(entry->Name, "first");
    EXPECT_EQ(entry->Port, 9100);
}

TEST_F(DecoderTest, EveryLengthOfEveryCodeIsSafe)
{
    table.addSystem("127.0.0.2", "127.0.0.2", kTypeVelka);
    ByteVector full(2048);
    for (std::size_t i = 0; i < full.size(); ++i)
        full[i] = static_cast<std::uint8_t>(i * 37 + 11);
    for (int code = 0; code <= 18; ++code) {
        full[1] = static_cast<std::uint8_t>(code);
        WriteU16(full, wire::kEntryArraySizeOffset, 0xFFFF);
        for (std::size_t length : { 0, 1, 2, 5, 6, 7, 37, 38, 39, 40, 47, 48, 55, 56, 57, 72, 1499, 1500, 2048 }) {
            // An exact-size copy, so that a read past the end is caught by the sanitizers.
            const ByteVector packet(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(length));
            decode("127.0.0.2", packet);
            replies.velkaStep(packet, "127.0.0.2");
            replies.udpStep(packet, "127.0.0.2");
            replies.tcpStep(packet, "127.0.0.2", [](Bytes bytes) { return static_cast<std::int64_t>(bytes.size()); });
        }
    }
    EXPECT_LE(table.findSystem("127.0.0.2")->Stations.size(), kMaxStations);
}

TEST_F(DecoderTest, NothingIsTracedWithLoggingOffButTheStoreStillChanges)
{
    log.disable();
    table.addSystem("127.0.0.2", "127.0.0.2", kTypeQvx);
    decode("127.0.0.2", StatusReport("QVX300", { { "41100", 1 } }));
    EXPECT_TRUE(lines().empty());
    EXPECT_EQ(table.findSystem("127.0.0.2")->Stations.size(), 1u);
}

TEST_F(DecoderTest, AfterReKeyingTheEarlierEntryTakesTheRestOfThePacketAndTheNextOnes)
{
    // The hub has just added the source address as a system of its own; the
    // entry that announces the same To IP comes first in the list.
    table.appendEntry("127.0.0.9", "old", kTypeQvx, 2, 9000, "127.168.1.10");
    table.addSystem("127.0.0.7", "127.0.0.7", kTypeQvx);
    decode("127.0.0.7", SystemRegister(3, "PBX7", 3, { 127, 168, 1, 10 }, 9100));
    decode("127.0.0.7", StatusReport("PBX7b", { { "41100", STATUS_BUSY } }));

    ASSERT_EQ(table.size(), 2u);
    const SystemEntry& first = table.systems().front();
    const SystemEntry& added = table.systems().back();
    EXPECT_EQ(table.findSystem("127.0.0.7"), &first);
    EXPECT_EQ(first.Name, "PBX7b");
    EXPECT_EQ(first.Port, 9100);
    EXPECT_EQ(first.EndpointType, 3);
    EXPECT_THAT(first.Stations, ::testing::ElementsAre("41100"));
    EXPECT_EQ(added.Name, "127.0.0.7");
    EXPECT_EQ(added.Port, 9000);
    EXPECT_EQ(added.EndpointType, 2);
    EXPECT_TRUE(added.Stations.empty());
}
