#include "log/console_log.h"
#include "protocol/defaults.h"
#include "protocol/request_builders.h"
#include "sip/lamp.h"
#include "sip/sip_import.h"
#include "store/system_table.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace korvel;

namespace {

// The mapping back, from the documents SIP servers send and from the hub's own.
TEST(SipImport, MapsDocumentsToStationStates)
{
    const auto dialog = [](const char* states) {
        std::string body = R"(<?xml version="1.0"?><dialog-info xmlns="urn:ietf:params:xml:ns:dialog-info" )"
                           R"(version="3" state="full" entity="sip:201@pbx">)";
        for (const char* s = states; *s; ++s) {
            const char* name = *s == 'e' ? "early" : *s == 'c' ? "confirmed" : "terminated";
            body += std::string("<dialog id=\"d") + *s + "\" direction=\"recipient\"><state>" + name
                + "</state></dialog>";
        }
        return body + "</dialog-info>";
    };
    const auto pidf = [](const char* basic, const char* person) {
        return std::string(
                   R"(<?xml version="1.0"?><presence xmlns="urn:ietf:params:xml:ns:pidf" )"
                   R"(xmlns:rpid="urn:ietf:params:xml:ns:pidf:rpid" xmlns:dm="urn:ietf:params:xml:ns:pidf:data-model" )"
                   R"(entity="sip:201@pbx"><tuple id="t"><status><basic>)")
            + basic + "</basic></status></tuple><dm:person id=\"p\">" + person + "</dm:person></presence>";
    };
    const struct {
        SipEvent event;
        std::string body;
        std::optional<std::uint8_t> state;
    } cases[] = {
        { SipEvent::Dialog, dialog("e"), STATUS_BUSY }, // ringing
        { SipEvent::Dialog, dialog("c"), STATUS_BUSY },
        { SipEvent::Dialog, dialog("t"), STATUS_IDLE },
        { SipEvent::Dialog, dialog(""), STATUS_IDLE },
        { SipEvent::Dialog, dialog("tc"), STATUS_BUSY }, // one call ended, another up
        { SipEvent::Presence, pidf("open", ""), STATUS_IDLE },
        { SipEvent::Presence, pidf("open", "<rpid:activities><rpid:on-the-phone/></rpid:activities>"), STATUS_BUSY },
        { SipEvent::Presence, pidf("open", "<rpid:activities><rpid:busy/></rpid:activities>"), STATUS_BUSY },
        { SipEvent::Presence,
            pidf("open", "<rpid:activities><rpid:busy/></rpid:activities><dm:note>Do Not Disturb</dm:note>"),
            STATUS_DND },
        { SipEvent::Presence, pidf("closed", ""), STATUS_OOS },
        // The hub's own documents read back as the state they show.
        { SipEvent::Dialog, DialogInfoBody("sip:1@h", "1", 1, NextLamp({}, 1)), STATUS_BUSY },
        { SipEvent::Dialog, DialogInfoBody("sip:1@h", "1", 1, NextLamp({}, 0)), STATUS_IDLE },
        { SipEvent::Presence, PidfBody("sip:1@h", "1", NextLamp({}, 2)), STATUS_DND },
        { SipEvent::Presence, PidfBody("sip:1@h", "1", NextLamp({}, 4)), STATUS_OOS },
        { SipEvent::Dialog, "<dialog-info><dialog><state>early", std::nullopt },
        { SipEvent::Dialog, pidf("open", ""), std::nullopt },
        { SipEvent::Presence, dialog("c"), std::nullopt },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        EXPECT_EQ(StateFromDocument(c.event, c.body), c.state);
    }
}

struct ImportFixture {
    QTemporaryDir folder;
    SystemTable table { folder.path().toStdString(), [] { return 1000; } };
    ConsoleLog console;
    std::int64_t now = 0;
    std::vector<Packet> reports;
    SipImport import { table, console, SipImportOptions { "SIP", "127.0.0.77" },
        [this](Bytes packet) {
            reports.emplace_back(packet.begin(), packet.end());
            // What the hub does with it: the virtual system's stations take the states.
            for (std::size_t i = 0; i < ReadU16(packet, wire::kEntryArraySizeOffset); ++i) {
                const std::size_t at = wire::kFirstEntryOffset + wire::kEntrySize * i;
                table.setStationStatus(
                    "127.0.0.77", ReadField(packet, at, wire::kStationSize), packet[at + wire::kEntryValueOffset]);
            }
        },
        [this] { return now; } };
    // The report the exchanges get for these changes.
    static Packet Expected(const std::vector<std::pair<std::string, std::uint8_t>>& changes)
    {
        std::vector<std::string> stations;
        for (const auto& change : changes)
            stations.push_back(change.first);
        Packet packet = BuildEntryPacket(MSG_STATUSREPORT, "SIP", stations, 0);
        for (std::size_t i = 0; i < changes.size(); ++i)
            packet[wire::kFirstEntryOffset + wire::kEntrySize * i + wire::kEntryValueOffset] = changes[i].second;
        return packet;
    }
};

// Entity tags, refresh, modify, removal and expiry as RFC 3903 has them, and
// the reports they cause: only changes, several at once in one report.
TEST(SipImport, PublicationsBecomeBatchedStatusReports)
{
    ImportFixture f;
    ASSERT_TRUE(f.import.start("127.0.0.1"));
    EXPECT_EQ(f.table.findSystem("127.0.0.77")->EndpointType, kSilentEndpointType);
    const auto busy = std::optional<std::uint8_t>(STATUS_BUSY);
    const auto idle = std::optional<std::uint8_t>(STATUS_IDLE);

    const PublishAnswer first = f.import.publish("201", "", 120, true, busy);
    const PublishAnswer other = f.import.publish("202", "", std::nullopt, true, busy);
    EXPECT_EQ(first.status, 200);
    EXPECT_EQ(other.expires, 3600u);
    f.import.flush();
    ASSERT_EQ(f.reports.size(), 1u);
    EXPECT_EQ(f.reports[0], ImportFixture::Expected({ { "201", STATUS_BUSY }, { "202", STATUS_BUSY } }));

    const struct {
        const char* ifMatch; // "first": the tag the last answer for 201 gave
        std::optional<std::uint32_t> expires;
        bool hasBody;
        std::optional<std::uint8_t> state;
        int status;
    } steps[] = {
        { "first", 120, false, std::nullopt, 200 }, // refresh: nothing changes
        { "first", 120, true, busy, 200 }, // the same state: nothing sent
        { "stale", 120, true, idle, 412 }, { "first", 10, true, idle, 423 },
        { "", 120, false, std::nullopt, 400 }, // an initial publication without a body
        { "first", 120, true, std::nullopt, 400 }, // a body that cannot be read
    };
    std::string tag = first.etag;
    for (const auto& step : steps) {
        SCOPED_TRACE(step.status);
        const std::string ifMatch = std::string(step.ifMatch) == "first" ? tag : step.ifMatch;
        const PublishAnswer answer = f.import.publish("201", ifMatch, step.expires, step.hasBody, step.state);
        EXPECT_EQ(answer.status, step.status);
        if (answer.status == 200) {
            EXPECT_NE(answer.etag, tag);
            tag = answer.etag;
        }
    }
    EXPECT_EQ(f.import.publish("202", tag, 120, true, idle).status, 412); // another extension's tag
    f.import.flush();
    EXPECT_EQ(f.reports.size(), 1u);

    // Removal sets 201 idle; 202's publication expires an hour later, idle too.
    EXPECT_EQ(f.import.publish("201", tag, 0, false, std::nullopt).status, 200);
    f.import.flush();
    f.now += 3601 * 1000;
    f.import.sweep();
    f.import.flush();
    ASSERT_EQ(f.reports.size(), 3u);
    EXPECT_EQ(f.reports[1], ImportFixture::Expected({ { "201", STATUS_IDLE } }));
    EXPECT_EQ(f.reports[2], ImportFixture::Expected({ { "202", STATUS_IDLE } }));

    // Fifty to a report, as an exchange sends them.
    for (int i = 0; i < 120; ++i)
        f.import.setState(std::to_string(3000 + i), STATUS_DND);
    f.import.flush();
    ASSERT_EQ(f.reports.size(), 6u);
    EXPECT_EQ(ReadU16(f.reports[5], wire::kEntryArraySizeOffset), 20u);
}

TEST(SipImport, RefusesAnAddressAnExchangeHas)
{
    ImportFixture f;
    f.table.addSystem("127.0.0.77", "PBX", kTypeQvx);
    EXPECT_FALSE(f.import.start("127.0.0.1"));
    ImportFixture own;
    EXPECT_FALSE(own.import.start("127.0.0.77"));
}

} // namespace
