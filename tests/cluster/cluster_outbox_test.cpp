#include "cluster/cluster_outbox.h"
#include "cluster/lease_book.h"

#include <gtest/gtest.h>

#include <vector>

using namespace korvel;
using namespace std::chrono_literals;

namespace {

std::vector<std::string> Messages(const ClusterOutbox::Entry& entry)
{
    std::vector<std::string> all;
    EXPECT_TRUE(ClusterOutbox::ForEachMessage(entry.messages, [&](std::string_view m) { all.emplace_back(m); }));
    return all;
}

} // namespace

// What a lost connection, a Redis that lost its data and the bounds do to
// what waits for the other hubs.
TEST(ClusterOutbox, SendsEachEntryUntilTakenAndAgainWhenRedisLostIt)
{
    const auto t0 = ClusterOutbox::Clock::now();
    ClusterOutbox outbox(5, 10s);
    outbox.add("r1", true, t0);
    outbox.add("c1", false, t0);
    const ClusterOutbox::Entry* first = outbox.next(t0);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(Messages(*first), (std::vector<std::string> { "r1", "c1" }));
    EXPECT_EQ(first->reports, 1u);
    const std::uint64_t firstSequence = first->sequence;
    EXPECT_EQ(outbox.next(t0), nullptr) << "an entry on the wire takes no more messages";

    outbox.add("r2", true, t0);
    const ClusterOutbox::Entry* second = outbox.next(t0);
    ASSERT_NE(second, nullptr);
    EXPECT_GT(second->sequence, firstSequence);
    // The connection goes before either is answered: both go again, in order, under the same numbers.
    outbox.connectionLost();
    EXPECT_EQ(outbox.next(t0)->sequence, firstSequence);
    EXPECT_EQ(Messages(*outbox.next(t0)), std::vector<std::string> { "r2" });
    outbox.acknowledged(t0);
    outbox.acknowledged(t0);
    EXPECT_EQ(outbox.queued(), 0u);
    EXPECT_EQ(outbox.next(t0), nullptr);

    // Redis lost what it took: the entries within the age bound go again.
    outbox.replay(t0 + 1s);
    EXPECT_EQ(outbox.queued(), 3u);
    EXPECT_EQ(outbox.next(t0 + 1s)->sequence, firstSequence);

    // Full: the oldest unsent one makes room, counted; too old: dropped, counted, not sent.
    ClusterOutbox small(2, 10s);
    small.add("a", true, t0);
    ASSERT_NE(small.next(t0), nullptr);
    small.add("b", true, t0 + 20s);
    ASSERT_NE(small.next(t0 + 20s), nullptr);
    small.connectionLost();
    small.add("c", true, t0 + 20s);
    EXPECT_EQ(small.dropped(), 1u);
    std::vector<std::string> sent;
    while (const ClusterOutbox::Entry* entry = small.next(t0 + 20s))
        for (const std::string& m : Messages(*entry))
            sent.push_back(m);
    EXPECT_EQ(sent, (std::vector<std::string> { "b", "c" })) << "c in an entry of its own: b's may be in Redis";
    ClusterOutbox aged(10, 10s);
    aged.add("x", true, t0);
    EXPECT_EQ(aged.next(t0 + 11s), nullptr);
    EXPECT_EQ(aged.dropped(), 1u);
    EXPECT_FALSE(ClusterOutbox::ForEachMessage(std::string("\0\0\0\5ab", 6), [](std::string_view) {}));
}

TEST(SeenEntries, TakesEachEntryOnceAndANewRunOfAHubAfresh)
{
    SeenEntries seen;
    const struct {
        const char* node;
        std::uint64_t start, sequence;
        bool fresh;
    } cases[] = {
        { "a", 100, 1, true }, { "a", 100, 1, false }, // sent again after a lost reply
        { "b", 50, 1, true }, { "a", 100, 3, true }, // a gap: dropped for age, never sent
        { "a", 100, 2, false }, { "a", 200, 1, true }, // restarted
        { "a", 100, 4, false }, // its last run, read again from an older entry
    };
    for (const auto& c : cases)
        EXPECT_EQ(seen.fresh(c.node, c.start, c.sequence), c.fresh) << c.node << " " << c.start << " " << c.sequence;
}

// When a hub may forward to a system: only with a good lease, or as an
// island cut off from Redis; a newer fence elsewhere takes it away.
TEST(LeaseBook, ServesOnlyWhatItHoldsAndIsGood)
{
    using Clock = LeaseBook::Clock;
    const Clock::time_point t0 = Clock::now();
    LeaseBook book(3000ms);
    book.setIsland(false);
    EXPECT_FALSE(book.serves("x", t0)) << "nobody holds it";
    book.held("x", 7, t0);
    book.heldElsewhere("y", "b", 4);
    const struct {
        const char* ip;
        Clock::duration after;
        bool island, serves;
    } cases[] = {
        { "x", 2999ms, false, true },
        { "x", 3000ms, false, false }, // the lease ran out here: Redis may have given it away
        { "x", 9s, true, true }, // cut off from Redis: nobody can take it meanwhile
        { "y", 0ms, true, false },
        { "z", 0ms, true, true },
        { "z", 0ms, false, false },
    };
    for (const auto& c : cases) {
        book.setIsland(c.island);
        EXPECT_EQ(book.serves(c.ip, t0 + c.after), c.serves) << c.ip << " island " << c.island;
    }
    book.setIsland(false);
    book.expireAll();
    EXPECT_FALSE(book.serves("x", t0)) << "stood still: nothing until renewed";
    book.held("x", 7, t0 + 5s);
    EXPECT_TRUE(book.serves("x", t0 + 6s));
    EXPECT_FALSE(book.heldElsewhere("x", "b", 6)) << "an older fence is stale";
    EXPECT_TRUE(book.holds("x"));
    EXPECT_TRUE(book.heldElsewhere("x", "b", 8));
    EXPECT_FALSE(book.serves("x", t0 + 6s));
    EXPECT_EQ(book.holder("x", "a"), "b");
    EXPECT_EQ(book.size(), 0u);
}
