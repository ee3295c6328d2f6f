#include "log/console_log.h"
#include "relay/keep_alive.h"
#include "store/store_test_support.h"
#include "support/recording_outbox.h"

#include <gmock/gmock.h>

using namespace korvel;
using korvel::testing::RecordingOutbox;
using korvel::testing::SentPacket;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

const std::vector<std::uint8_t> kKeepAlive = { 0x0B, 0x0B, 0x00, 0x04 };

SentPacket KeepAlive(const std::string& host, int port)
{
    return { false, host, port, kKeepAlive, host };
}

class KeepAliveTest : public korvel::testing::TableTest {
protected:
    KeepAliveTest()
    {
        log.setSink(&console);
        log.enable();
    }

    // A system heard from by name at the current time, then marked working.
    void addWorking(const std::string& ip, std::int32_t type, std::int32_t endpointType = 2)
    {
        table.addSystem(ip, ip, type);
        table.setEndpointType(ip, endpointType);
        table.setSystemStatus(ip, SystemStatus::Working);
    }

    SystemStatus status(const std::string& ip) { return table.findSystem(ip)->Status; }

    // Runs one sweep `seconds` after the systems were last heard.
    void sweepAt(std::int64_t seconds)
    {
        clock = heard_ + seconds;
        outbox.sent.clear();
        console.clear();
        observer.take();
        SendKeepAlives(table, outbox, log, clock);
    }

    RecordingOutbox outbox;
    CaptureConsoleSink console;
    ConsoleLog log;
    std::int64_t heard_ = clock;
};

} // namespace

TEST_F(KeepAliveTest, AWorkingSystemTurnsNoDataOnlyWhenSilentForMoreThan90Seconds)
{
    addWorking("127.0.0.1", kTypeQvx);
    addWorking("127.0.0.2", kTypeVelka);
    addWorking("127.0.0.3", kTypeQvx, 3);
    table.setSystemPort("127.0.0.1", 9100);

    sweepAt(90);
    EXPECT_EQ(status("127.0.0.1"), SystemStatus::Working);
    EXPECT_EQ(status("127.0.0.2"), SystemStatus::Working);
    EXPECT_THAT(outbox.sent, IsEmpty());
    EXPECT_THAT(observer.events, IsEmpty());

    sweepAt(120);
    EXPECT_EQ(status("127.0.0.1"), SystemStatus::NoData);
    EXPECT_EQ(status("127.0.0.2"), SystemStatus::NoData) << "Velka systems age like any other";
    EXPECT_EQ(status("127.0.0.3"), SystemStatus::Working) << "endpoint type 3 is never aged";
    EXPECT_THAT(outbox.sent, ElementsAre(KeepAlive("127.0.0.1", 9101)))
        << "only the QVX system is asked, in the same sweep";
    EXPECT_THAT(console.lines(), ElementsAre("Send Keep-Alive Packet To : 127.0.0.1"));
    EXPECT_THAT(observer.events, ElementsAre("refresh", "refresh"));

    sweepAt(150);
    EXPECT_THAT(outbox.sent, ElementsAre(KeepAlive("127.0.0.1", 9101))) << "asked again every sweep";
    EXPECT_EQ(status("127.0.0.3"), SystemStatus::Working);

    // Hearing its name restarts the silence.
    clock = heard_ + 160;
    table.setSystemName("127.0.0.1", "PBX");
    table.setSystemStatus("127.0.0.1", SystemStatus::Working);
    sweepAt(240);
    EXPECT_EQ(status("127.0.0.1"), SystemStatus::Working);
    sweepAt(251);
    EXPECT_EQ(status("127.0.0.1"), SystemStatus::NoData);
}

TEST_F(KeepAliveTest, OnlyUnknownAndNoDataQvxSystemsAreAsked)
{
    table.addSystem("127.0.0.1", "", kTypeQvx);
    table.addSystem("127.0.0.2", "", kTypeVelka);
    table.addSystem("127.0.0.3", "", kTypeQvx);
    table.setEndpointType("127.0.0.3", 3);
    addWorking("127.0.0.4", kTypeQvx);
    table.setSystemStatus("127.0.0.4", SystemStatus::Error);
    table.appendEntry("127.0.0.5", "", kTypeQvx, 2, 9000, "127.168.0.5");

    for (std::int64_t at : { 0, 30, 120 }) {
        sweepAt(at);
        EXPECT_THAT(outbox.sent, ElementsAre(KeepAlive("127.0.0.1", 9001), KeepAlive("127.0.0.5", 9001)))
            << "sent to the address, not To IP, at " << at;
        EXPECT_EQ(status("127.0.0.1"), SystemStatus::Unknown);
        EXPECT_EQ(status("127.0.0.4"), SystemStatus::Error) << "an error system waits until it speaks";
    }
    EXPECT_THAT(
        console.lines(), ElementsAre("Send Keep-Alive Packet To : 127.0.0.1", "Send Keep-Alive Packet To : 127.0.0.5"));
}

TEST_F(KeepAliveTest, APortNoSocketCanReachCountsAsAFailedSend)
{
    table.addSystem("127.0.0.1", "", kTypeQvx);
    table.setSystemPort("127.0.0.1", 65535);
    table.addSystem("127.0.0.2", "", kTypeQvx);
    table.setSystemPort("127.0.0.2", 2147483647);
    table.addSystem("127.0.0.3", "", kTypeQvx);
    table.setSystemPort("127.0.0.3", 65534);

    sweepAt(0);
    EXPECT_THAT(outbox.sent, ElementsAre(KeepAlive("127.0.0.3", 65535)));
    EXPECT_EQ(status("127.0.0.1"), SystemStatus::Error);
    EXPECT_EQ(status("127.0.0.2"), SystemStatus::Error);
    sweepAt(30);
    EXPECT_EQ(outbox.sent.size(), 1u);
}
