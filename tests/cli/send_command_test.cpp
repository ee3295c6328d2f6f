#include "cli/send_command.h"
#include "protocol/packet_builders.h"

#include <gtest/gtest.h>

using namespace korvel;
using ByteVector = std::vector<std::uint8_t>;

namespace {

SendCommand Parse(std::vector<std::string> arguments)
{
    auto command = ParseSendCommand(arguments);
    EXPECT_TRUE(command) << command.error();
    return command ? *command : SendCommand {};
}

std::string Error(std::vector<std::string> arguments)
{
    const auto command = ParseSendCommand(arguments);
    EXPECT_FALSE(command);
    return command ? std::string() : command.error();
}

ByteVector Head(const ByteVector& packet, std::size_t count = 6)
{
    return ByteVector(packet.begin(), packet.begin() + count);
}

} // namespace

TEST(SendCommand, RequestsCarryTheirLayoutsAndSequenceNumbers)
{
    auto reg = Parse({ "127.0.0.1:9000", "register", "--seq", "258" });
    EXPECT_EQ(reg.transport, SendCommand::Transport::Tcp);
    EXPECT_EQ(reg.host, "127.0.0.1");
    EXPECT_EQ(reg.port, 9000);
    ASSERT_EQ(reg.packet.size(), 70u);
    EXPECT_EQ(Head(reg.packet), (ByteVector { 0x0B, 0x03, 0x00, 0x46, 0x01, 0x02 }));
    EXPECT_EQ(ReadField(reg.packet, 6, 32), "");
    EXPECT_EQ(ReadField(reg.packet, 38, 16), "41100");
    EXPECT_EQ(ReadField(reg.packet, 54, 16), "42200");

    auto unreg = Parse({ "h:1", "unregister", "--source", "1", "--dest", "2" });
    ASSERT_EQ(unreg.packet.size(), 72u);
    EXPECT_EQ(ReadU16(unreg.packet, 38), 1);
    EXPECT_EQ(ReadField(unreg.packet, 40, 16), "1");
    EXPECT_EQ(ReadField(unreg.packet, 56, 16), "2");

    auto v2 = Parse({ "h:1", "registerv2", "--stations", "A,,B", "--system-id", "PBX" });
    ASSERT_EQ(v2.packet.size(), 56u + 48u);
    EXPECT_EQ(v2.packet[1], MSG_REGISTERv2);
    EXPECT_EQ(ReadU16(v2.packet, 38), 3);
    EXPECT_EQ(ReadField(v2.packet, 72, 16), "") << "an empty item is an empty station";

    auto getData = Parse({ "h:1", "getdata" });
    ASSERT_EQ(getData.packet.size(), 38u);
    EXPECT_EQ(ReadField(getData.packet, 6, 32), "VEZIDUZ");
    auto getData2 = Parse({ "h:1", "getdatav2" });
    ASSERT_EQ(getData2.packet.size(), 40u);
    EXPECT_EQ(ReadU16(getData2.packet, 38), 0) << "the first page unless told otherwise";
    EXPECT_EQ(Parse({ "h:1", "getdatav2", "--page", "513" }).packet[38], 0x02);

    EXPECT_EQ(Parse({ "h:1", "clear", "--seq", "7" }).packet, (ByteVector { 0x0B, 0x05, 0x00, 0x06, 0x00, 0x07 }));
    EXPECT_EQ(Parse({ "h:1", "keepalive" }).packet, (ByteVector { 0x0B, 0x0B, 0x00, 0x04 }));
    EXPECT_EQ(Parse({ "h:1", "raw", "0b01", "00:06" }).packet, (ByteVector { 0x0B, 0x01, 0x00, 0x06 }));
}

TEST(SendCommand, ReportsAndMultiAcksDefaultToUdp)
{
    auto report = Parse({ "127.0.0.1:9001", "statusreport" });
    EXPECT_EQ(report.transport, SendCommand::Transport::Udp);
    ASSERT_EQ(report.packet.size(), 123u);
    EXPECT_EQ(Head(report.packet, 4), (ByteVector { 0x0B, 0x08, 0x00, 0x7B }));
    EXPECT_EQ(ReadField(report.packet, 4, 32), "QVX300");
    EXPECT_EQ(ReadU16(report.packet, 36), 5);
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(ReadField(report.packet, 38 + 17 * i, 16), std::to_string(41100 + i));
        EXPECT_EQ(report.packet[54 + 17 * i], STATUS_BUSY);
    }
    EXPECT_EQ(Parse({ "h:1", "statusreport", "--status", "DND" }).packet[54], STATUS_DND);
    EXPECT_EQ(Parse({ "h:1", "statusreport", "--status", "200" }).packet[54], 200);

    std::string fifty;
    for (int i = 0; i < 50; ++i)
        fifty += (i ? "," : "") + std::to_string(i);
    auto multack = Parse({ "h:1", "multack", "--stations", fifty, "--result", "nak" });
    EXPECT_EQ(multack.packet.size(), 888u);
    EXPECT_EQ(multack.packet[1], MSG_MULTACK);
    EXPECT_EQ(multack.packet[54], RESULT_NAK);
    EXPECT_EQ(Parse({ "h:1", "unreg-multack" }).packet[1], MSG_UNREG_MULTACK);
    EXPECT_EQ(Parse({ "--tcp", "h:1", "statusreport" }).transport, SendCommand::Transport::Tcp);

    auto announce
        = Parse({ "--from", "127.0.0.9", "h:1", "system-register", "--port", "9100", "--endpoint-type", "3" });
    ASSERT_EQ(announce.packet.size(), 48u);
    EXPECT_EQ(ByteVector(announce.packet.begin() + 38, announce.packet.begin() + 46),
        (ByteVector { 0x00, 0x03, 127, 0, 0, 9, 0x23, 0x8C }));
}

TEST(SendCommand, MistakesAreExplained)
{
    EXPECT_NE(Error({}).find("HOST:PORT"), std::string::npos);
    EXPECT_NE(Error({ "localhost", "getdata" }).find("HOST:PORT"), std::string::npos);
    EXPECT_NE(Error({ "h:70000", "getdata" }).find("HOST:PORT"), std::string::npos);
    EXPECT_NE(Error({ "h:1", "bogus" }).find("unknown message"), std::string::npos);
    EXPECT_NE(Error({ "h:1", "getdata", "--frobnicate" }).find("unknown option"), std::string::npos);
    EXPECT_NE(Error({ "h:1", "getdatav2", "--page", "-1" }).find("--page"), std::string::npos);
    EXPECT_NE(Error({ "h:1", "statusreport", "--status", "sleepy" }).find("--status"), std::string::npos);
    EXPECT_NE(Error({ "h:1", "raw", "0B0" }).find("hex"), std::string::npos);
    EXPECT_NE(Error({ "h:1", "getdata", "--listen" }).find("UDP"), std::string::npos);
    EXPECT_NE(Error({ "--udp", "h:1", "getdata", "--listen" }).find("--from"), std::string::npos);
    EXPECT_NE(Error({ "h:1", "system-register", "--address", "300.1.1.1" }).find("--address"), std::string::npos);
    EXPECT_NE(Error({ "h:1", "getdata", "--timeout" }).find("needs a value"), std::string::npos);
    EXPECT_NE(
        Error({ "h:1", "statusreport", "--stations", std::string(50, ',') }).find("51 stations"), std::string::npos)
        << "a list the packet cannot hold is refused, not cut";
    EXPECT_NE(Error({ "h:1", "getdata", "--seq=" }).find("--seq"), std::string::npos);
    EXPECT_TRUE(Parse({ "--help" }).help);
    EXPECT_TRUE(Parse({ "h:1", "getdata", "--version" }).version);
}

// GNU forms: --opt=value, options after the operands, unique abbreviations;
// and every call starts a fresh scan.
TEST(SendCommand, TakesGnuOptionForms)
{
    const struct {
        std::vector<std::string> arguments;
        std::uint16_t sequence;
        std::string from;
    } cases[] = {
        { { "--seq=300", "--from=127.0.0.2", "h:1", "clear" }, 300, "127.0.0.2" },
        { { "h:1", "clear", "--seq", "301", "--from", "127.0.0.3" }, 301, "127.0.0.3" },
        { { "h:1", "--se=302", "clear" }, 302, "" },
    };
    for (const auto& c : cases) {
        const SendCommand command = Parse(c.arguments);
        EXPECT_EQ(ReadU16(command.packet, 4), c.sequence);
        EXPECT_EQ(command.from, c.from);
        EXPECT_FALSE(command.allowOwnAddress);
    }
    EXPECT_TRUE(Parse({ "h:1", "clear", "--allow-own-address" }).allowOwnAddress);
    EXPECT_NE(Error({ "h:1", "clear", "--s=1" }).find("unknown option --s=1"), std::string::npos) << "ambiguous";
}
