#include "sip/lamp.h"
#include "sip/station_board.h"
#include "sip/subscription_book.h"
#include "sip/subscription_file.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace korvel;

namespace {

using Next = NotifyPipeline::Next;

// Each exchange state as every package shows it, from a busy lamp (so that
// the message state shows it keeps the call).
TEST(SipLamp, MapsEveryStationStateForEachPackage)
{
    const struct {
        std::int32_t state;
        const char* dialog;
        const char* basic;
        const char* pidfPart; // in the PIDF document, or ""
        bool waiting;
    } cases[] = {
        { 0, "terminated", "open", "", false },
        { 1, "confirmed", "open", "<rpid:on-the-phone/>", false },
        { 2, "confirmed", "open", "<note>Do not disturb</note>", false },
        { 3, "confirmed", "open", "<rpid:on-the-phone/>", true },
        { 4, "terminated", "closed", "", false },
        { 5, "terminated", "open", "<note>Call forwarding</note>", false },
        { 9, "terminated", "closed", "", false },
        { -1, "terminated", "closed", "", false },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.state);
        const StationLamp lamp = NextLamp({ LampCall::Busy, false }, c.state);
        // What watchers get: the body built once per station, the version put in.
        const NotifyBodyParts parts = NotifyBodyFor(SipEvent::Dialog, "sip:41100@hub", "41100", lamp);
        const std::string dialog = NotifyBodyText(SipEvent::Dialog, parts, 7);
        EXPECT_EQ(dialog, DialogInfoBody("sip:41100@hub", "41100", 7, lamp));
        EXPECT_NE(dialog.find(std::string("<state>") + c.dialog + "</state>"), std::string::npos) << dialog;
        EXPECT_NE(dialog.find(R"(version="7" state="full" entity="sip:41100@hub")"), std::string::npos) << dialog;
        const std::string pidf
            = NotifyBodyText(SipEvent::Presence, NotifyBodyFor(SipEvent::Presence, "sip:41100@hub", "41100", lamp), 7);
        EXPECT_NE(pidf.find(std::string("<basic>") + c.basic + "</basic>"), std::string::npos) << pidf;
        EXPECT_NE(pidf.find(c.pidfPart), std::string::npos) << pidf;
        EXPECT_EQ(MessageSummaryBody("sip:41100@hub", lamp)
                      .starts_with(std::string("Messages-Waiting: ") + (c.waiting ? "yes" : "no") + "\r\n"),
            true);
    }
    // A message on a station nobody reported keeps it off.
    EXPECT_EQ(NextLamp({}, 3), (StationLamp { LampCall::Off, true }));
}

TEST(SipExpires, ClampsAndRefuses)
{
    const struct {
        std::optional<std::uint32_t> requested;
        int status;
        std::uint32_t granted;
    } cases[] = {
        { std::nullopt, 200, 3600 },
        { 0, 200, 0 },
        { 1, 423, 0 },
        { 59, 423, 0 },
        { 60, 200, 60 },
        { 600, 200, 600 },
        { 3600, 200, 3600 },
        { 86400, 200, 3600 },
    };
    for (const auto& c : cases) {
        const ExpiresDecision decision = DecideExpires(c.requested);
        EXPECT_EQ(decision.status, c.status) << c.requested.value_or(~0U);
        EXPECT_EQ(decision.granted, c.granted) << c.requested.value_or(~0U);
    }
}

// Scripts of changes, sends and answers; 'c' a change, 's' a send, a number
// an answer, 'r' the back-off over. Each step's Next is checked.
TEST(SipNotifyPipeline, CollapsesWhileInFlightAndRetriesWithTheNewest)
{
    struct Step {
        char what;
        int status;
        Next next;
    };
    const struct {
        const char* name;
        std::vector<Step> steps;
    } cases[] = {
        { "one change", { { 'c', 0, Next::SendNow }, { 's', 0, Next::Wait }, { 'a', 200, Next::Wait } } },
        { "changes in flight collapse into one",
            { { 'c', 0, Next::SendNow }, { 's', 0, Next::Wait }, { 'c', 0, Next::Wait }, { 'c', 0, Next::Wait },
                { 'a', 200, Next::SendNow }, { 's', 0, Next::Wait }, { 'a', 200, Next::Wait } } },
        { "a timeout backs off, a change meanwhile waits for it",
            { { 'c', 0, Next::SendNow }, { 's', 0, Next::Wait }, { 'a', 408, Next::RetryLater }, { 'c', 0, Next::Wait },
                { 'r', 0, Next::SendNow }, { 's', 0, Next::Wait }, { 'a', 200, Next::Wait } } },
        { "481 ends", { { 'c', 0, Next::SendNow }, { 's', 0, Next::Wait }, { 'a', 481, Next::End } } },
        { "a 4xx ends", { { 'c', 0, Next::SendNow }, { 's', 0, Next::Wait }, { 'a', 403, Next::End } } },
        { "five failures in a row end",
            { { 's', 0, Next::Wait }, { 'a', 503, Next::RetryLater }, { 'r', 0, Next::SendNow }, { 's', 0, Next::Wait },
                { 'a', 500, Next::RetryLater }, { 'r', 0, Next::SendNow }, { 's', 0, Next::Wait },
                { 'a', 408, Next::RetryLater }, { 'r', 0, Next::SendNow }, { 's', 0, Next::Wait },
                { 'a', 408, Next::RetryLater }, { 'r', 0, Next::SendNow }, { 's', 0, Next::Wait },
                { 'a', 408, Next::End } } },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        NotifyPipeline pipeline;
        for (std::size_t i = 0; i < c.steps.size(); ++i) {
            const Step& step = c.steps[i];
            Next next = Next::Wait;
            if (step.what == 'c')
                next = pipeline.changed();
            else if (step.what == 's')
                pipeline.sent();
            else if (step.what == 'a')
                next = pipeline.answered(step.status);
            else
                next = pipeline.retryDue();
            EXPECT_EQ(next, step.next) << "step " << i;
        }
    }
    NotifyPipeline doubling;
    std::vector<int> delays;
    for (int i = 0; i < 4; ++i) {
        doubling.sent();
        doubling.answered(503);
        delays.push_back(doubling.retryDelayMs());
        doubling.retryDue();
    }
    EXPECT_EQ(delays, (std::vector<int> { 1000, 2000, 4000, 8000 }));
}

SipSubscription Subscription(
    const std::string& station, const std::string& source, const std::string& tag, std::int64_t expiresAtMs)
{
    SipSubscription made;
    made.station = station;
    made.sourceAddress = source;
    made.callId = "call-" + tag;
    made.localTag = "hub-" + tag;
    made.remoteTag = tag;
    made.expiresAtMs = expiresAtMs;
    return made;
}

TEST(SipSubscriptionBook, BoundsFindsAndExpiresOnTheInjectedClock)
{
    SubscriptionBook book(3, 2);
    ASSERT_TRUE(book.add(Subscription("41100", "127.0.0.2", "a", 60'000)));
    ASSERT_TRUE(book.add(Subscription("41100", "127.0.0.2", "b", 120'000)));
    EXPECT_FALSE(book.add(Subscription("41101", "127.0.0.2", "c", 60'000))); // per source
    ASSERT_TRUE(book.add(Subscription("41101", "127.0.0.3", "d", 60'000)));
    EXPECT_FALSE(book.add(Subscription("41101", "127.0.0.4", "e", 60'000))); // in all

    EXPECT_EQ(book.watcherCount("41100"), 2U);
    EXPECT_EQ(book.watcherCount("41199"), 0U);
    SipSubscription* found = book.find("call-b", "hub-b", "b");
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(book.find("call-b", "hub-b", "x"), nullptr);

    EXPECT_TRUE(book.expired(59'999).empty());
    const std::vector<std::uint64_t> due = book.expired(60'000);
    EXPECT_EQ(due.size(), 2U);
    for (std::uint64_t id : due)
        book.remove(id);
    EXPECT_EQ(book.watchers("41100"), std::vector<SipSubscription*> { found });
    EXPECT_EQ(book.size(), 1U);
    // The source's room came back with its subscription, and with one that
    // moved to another address.
    EXPECT_TRUE(book.add(Subscription("41101", "127.0.0.2", "f", 60'000)));
    EXPECT_FALSE(book.add(Subscription("41101", "127.0.0.2", "g", 60'000)));
    book.moveSource(found->id, "127.0.0.5");
    EXPECT_TRUE(book.add(Subscription("41101", "127.0.0.2", "g", 60'000)));
}

// What a restart reads back: every dialog field, the expiry on the new
// clock, the expired ones left out, and after a crash CSeq and version moved
// on by the margin for the time since the file was written.
TEST(SipSubscriptionFile, ComesBackOnTheNewClockWithCSeqAndVersionGoingUp)
{
    SubscriptionBook book(10, 10);
    SipSubscription kept = Subscription("41100", "127.0.0.2", "a", 600'000);
    kept.event = SipEvent::Presence;
    kept.routeSet = { "sip:127.0.0.9;lr", "sip:127.0.0.8;lr" };
    kept.remoteTarget = "sip:phone@127.0.0.2:5062";
    kept.cseq = 77;
    kept.version = 5;
    ASSERT_TRUE(book.add(kept));
    SipSubscription gone = Subscription("41101", "127.0.0.2", "b", 1'000);
    gone.remoteTarget = "sip:phone@127.0.0.2:5062";
    ASSERT_TRUE(book.add(gone));

    // Saved at book time 0 = wall 1,000,000; read back at wall 1,100,000 on a
    // book clock that now reads 50,000.
    for (const bool orderly : { true, false }) {
        const std::string text = SubscriptionsText(book, 1'000'000, 1'000'000, orderly);
        const auto loaded = ParseSubscriptions(text, 1'100'000, 1'100'000 - 50'000);
        ASSERT_TRUE(loaded);
        ASSERT_EQ(loaded->size(), 1U);
        const SipSubscription& back = loaded->front();
        EXPECT_EQ(back.event, SipEvent::Presence);
        EXPECT_EQ(back.routeSet, kept.routeSet);
        EXPECT_EQ(std::tie(back.callId, back.localTag, back.remoteTag, back.remoteTarget),
            std::tie(kept.callId, kept.localTag, kept.remoteTag, kept.remoteTarget));
        EXPECT_EQ(back.expiresAtMs, 600'000 + 1'000'000 - 1'050'000);
        // 100 s after the file was written.
        const std::uint32_t margin = orderly ? 0 : kSipRestartMargin + 100 * kSipRestartMarginPerSecond;
        EXPECT_EQ(back.cseq, 77 + margin);
        EXPECT_EQ(back.version, 5 + margin);
    }
    EXPECT_FALSE(ParseSubscriptions("not json", 0, 0));
}

// The latest report wins whichever exchange made it; a registration without a
// state tells nothing.
TEST(SipStationBoard, TakesTheLatestReportOfAnyExchange)
{
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    SystemTable table(folder.path().toStdString(), [] { return 1000; });
    table.appendEntry("127.0.0.2", "A", kTypeQvx, kDefaultEndpointType, kDefaultSystemPort, "127.0.0.2");
    table.appendEntry("127.0.0.3", "B", kTypeQvx, kDefaultEndpointType, kDefaultSystemPort, "127.0.0.3");
    std::vector<std::pair<std::string, LampCall>> told;
    StationBoard board(
        table, [&](const std::string& station, StationLamp lamp) { told.emplace_back(station, lamp.call); });
    EXPECT_EQ(board.lamp("41100").call, LampCall::Off);
    table.setStationStatus("127.0.0.2", "41100", 1);
    table.setStationStatus("127.0.0.3", "41100", 0);
    table.setStationStatus("127.0.0.3", "41100", -1);
    table.setStationStatus("127.0.0.2", "41100", 2);
    table.setStationStatus("127.0.0.2", "41101", 0);
    const std::vector<std::pair<std::string, LampCall>> expected { { "41100", LampCall::Busy },
        { "41100", LampCall::Idle }, { "41100", LampCall::DoNotDisturb }, { "41101", LampCall::Idle } };
    EXPECT_EQ(told, expected);
    EXPECT_EQ(board.lamp("41100").call, LampCall::DoNotDisturb);
}

} // namespace
