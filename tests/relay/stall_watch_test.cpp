#include "relay/stall_watch.h"

#include <gtest/gtest.h>

namespace korvel {
namespace {

TEST(StallMeter, MeasuresTheLagFromWhenTheTickWasDueNotFromWhenItWasArmed)
{
    StallMeter meter(10, 100);
    meter.armed(1000);
    // Due at 1010: a tick 120 ms after arming is a 110 ms stall, not 120.
    EXPECT_EQ(meter.fired(1120), 110);
    EXPECT_EQ(meter.longest(), 110);
}

TEST(StallMeter, ReportsOnlyLagsOverTheThresholdButRemembersTheLongest)
{
    StallMeter meter(10, 100);
    meter.armed(0);
    EXPECT_EQ(meter.fired(10), std::nullopt);
    meter.armed(10);
    EXPECT_EQ(meter.fired(120), std::nullopt) << "exactly the threshold is not a stall";
    meter.armed(120);
    EXPECT_EQ(meter.fired(161), std::nullopt);
    EXPECT_EQ(meter.longest(), 100);
    meter.armed(161);
    EXPECT_EQ(meter.fired(272), 101);
    meter.armed(272);
    EXPECT_EQ(meter.fired(282), std::nullopt);
    EXPECT_EQ(meter.longest(), 101);
}

TEST(StallMeter, AnEarlyTickIsNoLagAndAnUnarmedOneIsIgnored)
{
    StallMeter meter(10, 100);
    EXPECT_EQ(meter.fired(5000), std::nullopt);
    EXPECT_EQ(meter.longest(), 0);
    meter.armed(100);
    EXPECT_EQ(meter.fired(105), std::nullopt);
    EXPECT_EQ(meter.longest(), 0);
    // One arming measures one tick: a second firing has nothing to be late for.
    EXPECT_EQ(meter.fired(900), std::nullopt);
    EXPECT_EQ(meter.longest(), 0);
}

TEST(StallMeter, RecentLongestForgetsLagsOlderThanTenSeconds)
{
    StallMeter meter(10, 100);
    meter.armed(1000 - 310);
    meter.fired(1000); // 300 ms late, in second 1
    meter.armed(5000 - 60);
    meter.fired(5000); // 50 ms late, in second 5
    const struct {
        std::int64_t now;
        std::int64_t expected;
    } cases[] = { { 5000, 300 }, { 10999, 300 }, { 11000, 50 }, { 14999, 50 }, { 15000, 0 } };
    for (const auto& c : cases)
        EXPECT_EQ(meter.recentLongest(c.now), c.expected) << "at " << c.now << " ms";
}

} // namespace
} // namespace korvel
