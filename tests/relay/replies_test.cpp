#include "relay_fixture.h"

#include <algorithm>
#include <limits>

using namespace korvel;
using namespace korvel::testing;
using Lines = std::vector<std::string>;

namespace {

class RepliesTest : public RelayFixture {
protected:
    RepliesTest()
    {
        table.addSystem("127.0.0.2", "127.0.0.2", kTypeQvx);
        // A QVX system whose packets come from one address and go to another.
        table.appendEntry("127.0.0.3", "Q3", kTypeQvx, 2, 9100, "127.1.1.3");
        table.addSystem("127.0.0.4", "127.0.0.4", kTypeVelka);
        table.appendEntry("127.0.0.6", "odd", 7, 2, 9000, "");
        console.clear();
    }

    std::vector<std::string> destinations() const
    {
        std::vector<std::string> out;
        for (const auto& p : outbox.sent)
            out.push_back(std::string(p.tcp ? "tcp " : "udp ") + p.host + ":" + std::to_string(p.port));
        return out;
    }

    TcpWriter writer()
    {
        return [this](Bytes bytes) {
            tcpWritten.emplace_back(bytes.begin(), bytes.end());
            return static_cast<std::int64_t>(bytes.size());
        };
    }

    std::vector<ByteVector> tcpWritten;
};

} // namespace

TEST_F(RepliesTest, StatusReportOnTheQvxEndpointIsForwardedToEveryOtherSystem)
{
    const ByteVector report = StatusReport("QVX300", { { "41100", 1 } });
    replies.udpStep(report, "127.0.0.2");
    EXPECT_EQ(lines(), (Lines { "Forward To : 127.0.0.3", "Forward To : 127.0.0.4", "Forward To : 127.0.0.6" }));
    // QVX: UDP to To IP at Port + 1; Velka: UDP to its address at 9003; other types get nothing.
    EXPECT_EQ(destinations(), (Lines { "udp 127.1.1.3:9101", "udp 127.0.0.4:9003" }));
    for (const auto& p : outbox.sent)
        EXPECT_EQ(p.bytes, report);

    outbox.sent.clear();
    replies.udpStep(Request(MSG_REGISTER, 1, "X", 70), "127.0.0.2");
    EXPECT_TRUE(outbox.sent.empty()) << "the QVX endpoint forwards status reports only and answers nothing";

    settings.ForwardStatus = false;
    replies.udpStep(report, "127.0.0.2");
    EXPECT_TRUE(outbox.sent.empty());
    EXPECT_EQ(counters.SentByteCount.load(), 0) << "forwards count when the sender finishes, not here";
}

// The forwarding order and each destination are worked out once and kept:
// they must follow the table as it changes, whichever way it changes.
TEST_F(RepliesTest, ForwardsFollowTheTableAsItChanges)
{
    const ByteVector report = StatusReport("QVX300", { { "41100", 1 } });
    const auto forward = [&] {
        outbox.sent.clear();
        replies.udpStep(report, "127.0.0.2");
        return destinations();
    };
    EXPECT_EQ(forward(), (Lines { "udp 127.1.1.3:9101", "udp 127.0.0.4:9003" }));
    table.setSystemPort("127.0.0.3", 7000);
    EXPECT_EQ(forward(), (Lines { "udp 127.1.1.3:7001", "udp 127.0.0.4:9003" }));
    table.addSystem("127.0.0.7", "", kTypeQvx);
    // Changed in place, as a peer hub's news is applied.
    for (SystemEntry& entry : table.entries())
        if (entry.IpAddress == "127.0.0.4")
            entry.Type = kTypeQvx;
    EXPECT_EQ(forward(), (Lines { "udp 127.1.1.3:7001", "udp 127.0.0.4:9001", "udp 127.0.0.7:9001" }));
    // Grown at the end only, then shrunk and grown again.
    table.addSystem("127.0.0.8", "", kTypeQvx);
    EXPECT_EQ(
        forward(), (Lines { "udp 127.1.1.3:7001", "udp 127.0.0.4:9001", "udp 127.0.0.7:9001", "udp 127.0.0.8:9001" }));
    table.removeSystem("127.0.0.7");
    table.addSystem("127.0.0.5", "", kTypeQvx);
    EXPECT_EQ(
        forward(), (Lines { "udp 127.1.1.3:7001", "udp 127.0.0.4:9001", "udp 127.0.0.8:9001", "udp 127.0.0.5:9001" }));
    // Re-keyed: the system that was 127.0.0.3 is known as 127.0.0.9 now, and
    // is left out when it is the sender.
    table.replaceSystemAddress("127.0.0.9", "127.1.1.3");
    outbox.sent.clear();
    replies.udpStep(report, "127.0.0.9");
    EXPECT_EQ(destinations(),
        (Lines { "udp 127.0.0.2:9001", "udp 127.0.0.4:9001", "udp 127.0.0.8:9001", "udp 127.0.0.5:9001" }));
}

TEST_F(RepliesTest, VelkaEndpointAnswersAndForwardsByCode)
{
    replies.velkaStep(Request(MSG_REGISTER, 0x1234, "V", 70), "127.0.0.4");
    EXPECT_EQ(lines(),
        (Lines { "Forward To : 127.0.0.2, 9000", "Forward To : 127.0.0.3, 9100", "Forward To : 127.0.0.6, 9000",
            "Send UDP Ack Packet : 4660" }));
    EXPECT_EQ(destinations(), (Lines { "tcp 127.0.0.2:9000", "tcp 127.1.1.3:9100", "udp 127.0.0.4:9004" }));
    EXPECT_EQ(outbox.sent.back().bytes, (ByteVector { 0x0B, 0x01, 0x00, 0x06, 0x12, 0x34 }));
    EXPECT_EQ(counters.SentByteCount.load(), 6);

    console.clear();
    outbox.sent.clear();
    replies.velkaStep(Request(MSG_CLEAR, 0x0180, "V", 10), "127.0.0.4");
    EXPECT_EQ(lines(), (Lines { "Send UDP Ack Packet : 384" }));
    EXPECT_EQ(outbox.sent.back().bytes, (ByteVector { 0x0B, 0x01, 0x00, 0x06, 0x01, 0x80 }));

    console.clear();
    outbox.sent.clear();
    replies.velkaStep(StatusReport("V", { { "1", 0 } }), "127.0.0.4");
    EXPECT_EQ(lines(),
        (Lines { "Forward To : 127.0.0.2, 9001", "Forward To : 127.0.0.3, 9101", "Forward To : 127.0.0.6, 9001" }));
    EXPECT_EQ(destinations(), (Lines { "udp 127.0.0.2:9001", "udp 127.1.1.3:9101" }));

    for (std::uint8_t code : { 0, 1, 2, 7, 11, 14, 15, 16, 17 }) {
        outbox.sent.clear();
        replies.velkaStep(Request(code, 1, "V", 60), "127.0.0.4");
        EXPECT_TRUE(outbox.sent.empty()) << int(code);
    }
    for (std::uint8_t code : { 9, 10 }) {
        outbox.sent.clear();
        replies.velkaStep(Request(code, 5, "V", 48), "127.0.0.4");
        EXPECT_EQ(destinations(), (Lines { "udp 127.0.0.4:9004" })) << int(code);
    }
}

// Another hub's packet goes on as the step it came in through forwards one of
// this hub's own, and nothing is answered.
TEST_F(RepliesTest, AnotherHubsPacketIsForwardedByItsStepsRules)
{
    const struct {
        RelayStep step;
        ByteVector packet;
        const char* sender;
        Lines lines;
        Lines destinations;
    } cases[] = {
        { RelayStep::Tcp, StationListRequest(MSG_REGISTERv2, 3, "T", { "100" }), "127.0.0.9",
            { "Forward To : 127.0.0.2", "Forward To : 127.0.0.3", "Forward To : 127.0.0.4", "Forward To : 127.0.0.6" },
            { "tcp 127.0.0.2:9000", "tcp 127.1.1.3:9100", "udp 127.0.0.4:9003" } },
        { RelayStep::Velka, Request(MSG_REGISTER, 4, "V", 70), "127.0.0.4",
            { "Forward To : 127.0.0.2, 9000", "Forward To : 127.0.0.3, 9100", "Forward To : 127.0.0.6, 9000" },
            { "tcp 127.0.0.2:9000", "tcp 127.1.1.3:9100" } },
        { RelayStep::Velka, StatusReport("V", { { "1", 0 } }), "127.0.0.4",
            { "Forward To : 127.0.0.2, 9001", "Forward To : 127.0.0.3, 9101", "Forward To : 127.0.0.6, 9001" },
            { "udp 127.0.0.2:9001", "udp 127.1.1.3:9101" } },
        { RelayStep::Udp, StatusReport("Q", { { "1", 0 } }), "127.0.0.2",
            { "Forward To : 127.0.0.3", "Forward To : 127.0.0.4", "Forward To : 127.0.0.6" },
            { "udp 127.1.1.3:9101", "udp 127.0.0.4:9003" } },
        { RelayStep::Udp, Request(MSG_REGISTER, 5, "Q", 70), "127.0.0.2", {}, {} },
        { RelayStep::Tcp, StatusReport("T", { { "1", 0 } }), "127.0.0.9", {}, {} },
        { RelayStep::Velka, Request(MSG_GETDATA, 6, "V", 38), "127.0.0.4", {}, {} },
    };
    for (const auto& c : cases) {
        console.clear();
        outbox.sent.clear();
        replies.forwardRemote(c.packet, c.sender, c.step);
        EXPECT_EQ(lines(), c.lines) << static_cast<char>(c.step) << int(c.packet[1]);
        EXPECT_EQ(destinations(), c.destinations) << static_cast<char>(c.step) << int(c.packet[1]);
        for (const auto& p : outbox.sent)
            EXPECT_EQ(p.bytes, c.packet);
    }
    EXPECT_EQ(counters.SentByteCount.load(), 0);
}

// Found by the decode fuzzer: a port of 2147483647 from system.dat made the
// forwarding port overflow.
TEST_F(RepliesTest, ForwardingPortOfAnyFilePortStaysDefined)
{
    table.appendEntry("127.0.0.7", "far", kTypeQvx, 2, std::numeric_limits<std::int32_t>::max(), "127.1.1.7");
    for (const std::string& sender : { std::string("127.0.0.2"), std::string("127.0.0.4") }) {
        outbox.sent.clear();
        if (sender == "127.0.0.4")
            replies.velkaStep(StatusReport("V", { { "1", 0 } }), sender);
        else
            replies.udpStep(StatusReport("Q", { { "1", 0 } }), sender);
        const auto far = std::find_if(
            outbox.sent.begin(), outbox.sent.end(), [](const SentPacket& p) { return p.host == "127.1.1.7"; });
        ASSERT_NE(far, outbox.sent.end()) << sender;
        EXPECT_EQ(far->port & 0xFFFF, 0) << "the senders use the low 16 bits of the port above";
    }
}

TEST_F(RepliesTest, VelkaMultiAcksAnswerStationListRequests)
{
    std::vector<std::string> stations;
    for (int i = 0; i < 60; ++i)
        stations.push_back(std::to_string(500 + i));

    replies.velkaStep(StationListRequest(MSG_REGISTERv2, 9, "VK1", stations), "127.0.0.4");
    const auto& reg = outbox.sent.back();
    EXPECT_EQ(reg.port, 9004);
    ASSERT_EQ(reg.bytes.size(), 888u);
    EXPECT_EQ(reg.bytes[1], MSG_MULTACK);
    EXPECT_EQ(ReadU16(reg.bytes, 36), 50);
    EXPECT_EQ(ReadField(reg.bytes, 4, 32), "VK1");
    EXPECT_EQ(lines().back(), "Send UDP MAck_Reg Packet : 9");
    EXPECT_EQ(outbox.sent.size(), 3u) << "two forwards (an unknown type gets none) before the answer";

    outbox.sent.clear();
    counters.SentByteCount = 0;
    replies.velkaStep(StationListRequest(MSG_UNREGISTER, 10, "VK1", { "41100", "41101" }), "127.0.0.4");
    ASSERT_EQ(outbox.sent.size(), 1u);
    EXPECT_EQ(outbox.sent[0].bytes.size(), 38u + 34u);
    EXPECT_EQ(outbox.sent[0].bytes[1], MSG_UNREG_MULTACK);
    EXPECT_EQ(counters.SentByteCount.load(), 888) << "a multi-ack counts its whole buffer";
    EXPECT_EQ(lines().back(), "Send UDP MAck_Unreg Packet : 10");
}

TEST_F(RepliesTest, GetResponsePagesOverUdpAndTcp)
{
    for (int i = 0; i < 120; ++i)
        table.setStationStatus("127.0.0.4", std::to_string(41000 + i), 0);

    const std::size_t lengths[] = { 808, 808, 328, 8 };
    for (std::uint16_t page = 0; page < 4; ++page) {
        outbox.sent.clear();
        replies.velkaStep(GetDataV2(77, "VK1", page), "127.0.0.4");
        ASSERT_EQ(outbox.sent.size(), 1u);
        EXPECT_EQ(outbox.sent[0].port, 9003);
        EXPECT_EQ(outbox.sent[0].bytes.size(), lengths[page]);
        EXPECT_EQ(lines().back(), "Send UDP GetRespone Packet : 77, " + std::to_string(lengths[page]) + " bytes");
    }

    replies.tcpStep(Request(MSG_GETDATA, 78, "VK1"), "127.0.0.4", writer());
    ASSERT_EQ(tcpWritten.size(), 1u);
    EXPECT_EQ(tcpWritten[0].size(), 808u);
    EXPECT_EQ(ReadField(tcpWritten[0], 8, 16), "41000");
    EXPECT_EQ(lines().back(), "Send TCP GetRespone Packet : 78, 808/808 bytes");

    replies.tcpStep(GetDataV2(79, "X", 0), "127.0.0.99", writer());
    EXPECT_EQ(tcpWritten.back().size(), 8u) << "an unknown peer gets an empty page";
}

TEST_F(RepliesTest, TcpRequestsAreAckedAndRegistrationsForwarded)
{
    settings.ServerAddress = "127.0.0.1";
    replies.tcpStep(Request(MSG_REGISTER, 0x0102, "Q", 70), "127.0.0.3", writer());
    EXPECT_EQ(lines(),
        (Lines { "Forward To : 127.0.0.2", "Forward To : 127.0.0.4", "Forward To : 127.0.0.6",
            "Send TCP Ack Packet : 258" }));
    EXPECT_EQ(destinations(), (Lines { "tcp 127.0.0.2:9000", "udp 127.0.0.4:9003" }));
    EXPECT_EQ(tcpWritten.back(), (ByteVector { 0x0B, 0x01, 0x00, 0x06, 0x01, 0x02 }));
    EXPECT_EQ(settings.ServerAddress, "127.0.0.1") << "forwarding leaves the test console's target alone";

    // Status reports and unknown codes are acked too, echoing bytes 4-5.
    outbox.sent.clear();
    replies.tcpStep(StatusReport("QVX300", { { "1", 1 } }), "127.0.0.3", writer());
    EXPECT_EQ(tcpWritten.back(), (ByteVector { 0x0B, 0x01, 0x00, 0x06, 'Q', 'V' }));
    replies.tcpStep(ByteVector { 0x0B, 0x63, 0, 6, 0, 9 }, "127.0.0.3", writer());
    EXPECT_EQ(tcpWritten.back(), (ByteVector { 0x0B, 0x01, 0x00, 0x06, 0x00, 0x09 }));
    EXPECT_TRUE(outbox.sent.empty());
}
