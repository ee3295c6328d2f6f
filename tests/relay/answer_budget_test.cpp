#include "relay_fixture.h"

using namespace korvel;
using namespace korvel::testing;
using namespace std::chrono_literals;

namespace {

class AnswerBudgetTest : public RelayFixture {
protected:
    AnswerBudgetTest()
    {
        budget.setClock([this] { return now; });
        replies.setAnswerBudget(&budget);
    }

    std::size_t bytesTo(const std::string& host) const
    {
        std::size_t total = 0;
        for (const SentPacket& packet : outbox.sent)
            total += packet.host == host ? packet.bytes.size() : 0;
        return total;
    }
    std::size_t packetsTo(const std::string& host) const
    {
        return static_cast<std::size_t>(std::count_if(
            outbox.sent.begin(), outbox.sent.end(), [&](const SentPacket& packet) { return packet.host == host; }));
    }

    std::chrono::steady_clock::time_point now {};
    AnswerBudget budget;
};

} // namespace

// Forged status reports about unknown stations draw data-mismatch notices to
// the forged address: at most a burst of them at once, then the refill rate.
// Forwards to the known systems are not answers and all go out.
TEST_F(AnswerBudgetTest, ForgedReportsDrawNoMoreAnswersThanTheBudget)
{
    log.disable();
    const std::string victim = "127.0.0.66";
    table.addSystem(victim, victim, kTypeVelka);
    table.addSystem("127.0.0.3", "Q3", kTypeQvx);
    std::vector<std::pair<std::string, std::uint8_t>> entries;
    for (int i = 0; i < 86; ++i)
        entries.emplace_back("9" + std::to_string(i), 1);
    const ByteVector forged = StatusReport("FORGED", entries);
    ASSERT_LE(forged.size(), wire::kMaxDatagram);

    const auto flood = [&](int reports) {
        for (int i = 0; i < reports; ++i) {
            decode(victim, forged);
            replies.velkaStep(forged, victim);
        }
    };
    const std::size_t burst = budget.options().burstBytes, rate = budget.options().bytesPerSecond;
    flood(40);
    EXPECT_LE(bytesTo(victim), burst);
    EXPECT_GT(bytesTo(victim), burst - wire::kDataMismatchSize);
    EXPECT_EQ(packetsTo("127.0.0.3"), 40u);
    EXPECT_EQ(counters.AnswersHeldBack, 40u * 86u - packetsTo(victim));
    EXPECT_EQ(counters.AnswerBytesHeldBack, counters.AnswersHeldBack * wire::kDataMismatchSize);
    EXPECT_EQ(budget.lastHeldBack(), victim);

    // A second later the bucket holds one second's refill more.
    const std::size_t before = bytesTo(victim);
    now += 1s;
    flood(40);
    EXPECT_LE(bytesTo(victim) - before, rate + wire::kDataMismatchSize);
    EXPECT_GT(bytesTo(victim) - before, rate - wire::kDataMismatchSize);
    EXPECT_EQ(packetsTo("127.0.0.3"), 80u);
}

// An exchange of 3,000 stations registering them all and fetching every page
// at one instant is answered in full.
TEST_F(AnswerBudgetTest, AnExchangeStartingUpIsNeverHeldBack)
{
    log.disable();
    const std::string exchange = "127.0.0.5";
    table.addSystem(exchange, exchange, kTypeVelka);
    std::vector<std::string> stations;
    for (int i = 0; i < 3000; ++i) {
        stations.push_back(std::to_string(100000 + i));
        table.setStationStatus(exchange, stations.back(), 0);
    }

    std::size_t requests = 0;
    for (std::size_t first = 0; first < stations.size(); first += 50, ++requests) {
        const std::vector<std::string> some(stations.begin() + first, stations.begin() + first + 50);
        replies.velkaStep(StationListRequest(MSG_REGISTERv2, 1, "V5", some), exchange);
    }
    for (std::uint16_t page = 0; page <= 60; ++page, ++requests)
        replies.velkaStep(GetDataV2(2, "V5", page), exchange);

    EXPECT_EQ(packetsTo(exchange), requests);
    EXPECT_GT(bytesTo(exchange), 100000u);
    EXPECT_EQ(counters.AnswersHeldBack, 0u);
}

TEST(AnswerBudget, BucketsAreBoundedAndForgottenOnceFull)
{
    auto now = std::chrono::steady_clock::time_point {};
    AnswerBudget budget({ .burstBytes = 1000, .bytesPerSecond = 1000, .maxAddresses = 2 });
    budget.setClock([&] { return now; });
    EXPECT_TRUE(budget.take("127.0.0.1", 600));
    EXPECT_FALSE(budget.take("127.0.0.1", 600));
    EXPECT_TRUE(budget.take("127.0.0.2", 10));
    EXPECT_FALSE(budget.take("127.0.0.3", 10)) << "no room for a third bucket";

    now += std::chrono::milliseconds(100);
    budget.expire();
    EXPECT_EQ(budget.addresses(), 1u) << "127.0.0.2 has filled up again, 127.0.0.1 has not";
    EXPECT_TRUE(budget.take("127.0.0.3", 10));
    EXPECT_TRUE(budget.take("127.0.0.1", 500));

    now += std::chrono::seconds(1);
    budget.expire();
    EXPECT_EQ(budget.addresses(), 0u);

    AnswerBudget off({ .burstBytes = 0 });
    EXPECT_TRUE(off.take("127.0.0.1", 1u << 30));
    EXPECT_EQ(off.addresses(), 0u);
}
