#include "protocol/station_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace korvel;

TEST(StationListTest, TextsComeBackWholeAndLookupIgnoresCaseAndFindsTheFirst)
{
    const std::string withNul("12\0"
                              "34",
        5);
    const std::vector<std::string> stations
        = { "41100", "Ab12", "", std::string(16, '7'), std::string(17, '8'), withNul, "aB12", "\xB0\xA1" };
    const StationList list(stations);
    EXPECT_EQ(list, stations) << "16 characters inline, longer and NUL-bearing texts kept aside";

    const struct {
        std::string query;
        std::ptrdiff_t found;
    } cases[] = {
        { "41100", 0 },
        { "AB12", 1 }, // the first of two spellings
        { "", 2 },
        { std::string(16, '7'), 3 },
        { std::string(17, '8'), 4 },
        { std::string(16, '8'), -1 },
        { withNul, 5 },
        { "12", -1 },
        { "\xB0\xA1", 7 },
        { "\xB0\xA2", -1 },
        { "4110", -1 },
    };
    for (const auto& c : cases)
        EXPECT_EQ(list.find(c.query), c.found) << c.query;
}

TEST(StationListTest, EveryStationIsFoundAsTheListGrowsThroughItsIndexSizes)
{
    StationList list;
    for (int i = 0; i < 3000; ++i) {
        ASSERT_TRUE(list.push_back("S" + std::to_string(i)));
        // What was there before each growth is still found where it was.
        if ((i & (i - 1)) == 0) {
            for (int j = 0; j <= i; ++j)
                ASSERT_EQ(list.find("s" + std::to_string(j)), j) << i;
        }
    }
    for (int j = 0; j < 3000; ++j)
        ASSERT_EQ(list.find("S" + std::to_string(j)), j);
    EXPECT_EQ(list.find("S3000"), -1);
    EXPECT_TRUE(list.push_back("s0"));
    EXPECT_EQ(list.find("S0"), 0) << "a later duplicate never takes over";
    list.clear();
    EXPECT_EQ(list.find("S0"), -1);
    EXPECT_TRUE(list.empty());
}
