#include "relay/hub.h"
#include "support/packets.h"
#include "support/recording_outbox.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fstream>

using namespace korvel;
using namespace korvel::testing;

namespace {

// Another hub of a cluster serves 127.0.0.5.
class PeerServing5 : public RelayPeer {
public:
    void heardFrom(const std::string&) override { }
    void forwardReceived(Bytes, const std::string&, RelayStep) override { }
    bool serves(const SystemEntry& entry) const override { return entry.IpAddress != "127.0.0.5"; }
};

} // namespace

// A status report on the UDP endpoint goes to every other system: not to its
// sender, only to Qvx and Velka systems (another type is counted alone), to
// nobody with Forward Status off or from a sender the allow list or the hub's
// own address keeps out, to no system another hub serves, and never to or
// from the SIP extensions' system, whose reports the hub builds. Client-only
// mode and the allow list's other entries change nothing.
TEST(ForwardRule, WhoGetsAStatusReport)
{
    struct Case {
        const char* what;
        std::string sender = "127.0.0.2";
        bool forwardStatus = true;
        bool clientOnly = false;
        const char* allowList = nullptr;
        bool peer = false;
        std::string virtualSystem = {};
        std::vector<std::string> sentTo = {};
        std::uint64_t counted = 0;
    };
    const Case cases[] = {
        { .what = "every other system", .sentTo = { "127.0.0.3", "127.0.0.5" }, .counted = 3 },
        { .what = "Forward Status off", .forwardStatus = false },
        { .what = "client-only mode", .clientOnly = true, .sentTo = { "127.0.0.3", "127.0.0.5" }, .counted = 3 },
        { .what = "sender refused", .allowList = "127.0.0.3\n" },
        { .what = "sender allowed", .allowList = "127.0.0.2\n", .sentTo = { "127.0.0.3", "127.0.0.5" }, .counted = 3 },
        { .what = "from the hub's own address", .sender = "127.0.0.1" },
        { .what = "a system another hub serves", .peer = true, .sentTo = { "127.0.0.3" }, .counted = 2 },
        { .what = "the SIP extensions' system", .virtualSystem = "127.0.0.5", .sentTo = { "127.0.0.3" }, .counted = 2 },
        { .what = "forged from the SIP extensions' address", .sender = "127.0.0.5", .virtualSystem = "127.0.0.5" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QTemporaryDir directory;
        if (c.allowList)
            std::ofstream(directory.filePath("allow.txt").toStdString()) << c.allowList;
        RecordingOutbox outbox;
        PeerServing5 peer;
        Hub::Options options;
        options.dataDirectory = directory.path().toStdString();
        options.ownAddress = "127.0.0.1";
        options.outbox = &outbox;
        options.forwardingThread = false;
        Hub hub(options);
        hub.learnOwnAddress();
        hub.loadAllowList();
        hub.setForwardStatus(c.forwardStatus);
        if (c.clientOnly)
            hub.enterClientOnlyMode();
        if (c.peer)
            hub.setRelayPeer(&peer);
        hub.setVirtualSystem(c.virtualSystem);
        hub.table().addSystem("127.0.0.2", "A", kTypeQvx);
        hub.table().addSystem("127.0.0.3", "B", kTypeVelka);
        hub.table().addSystem("127.0.0.4", "C", 2);
        hub.table().addSystem("127.0.0.5", "D", kTypeQvx);

        hub.qvxDatagramReceived(StatusReport("A", { { "41100", 1 } }), c.sender, 9001);
        std::vector<std::string> sentTo;
        for (const SentPacket& sent : outbox.sent)
            sentTo.push_back(sent.system);
        EXPECT_EQ(sentTo, c.sentTo);
        EXPECT_EQ(hub.counters().Forwarded[MSG_STATUSREPORT], c.counted);
    }
}
