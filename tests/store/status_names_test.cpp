#include "store/status_names.h"

#include <gtest/gtest.h>

using namespace korvel;

TEST(StatusNames, SystemStatusHasThreeNamesAndUnknown)
{
    EXPECT_STREQ(SystemStatusName(0), "Working");
    EXPECT_STREQ(SystemStatusName(1), "Error");
    EXPECT_STREQ(SystemStatusName(2), "No Data");
    for (int value : { -1, 3, 255, -2147483647 - 1 })
        EXPECT_STREQ(SystemStatusName(value), "Unknown") << value;
}

TEST(StatusNames, StationStatesAndTheirIcons)
{
    struct Row {
        int state;
        const char* name;
        int icon;
    };
    const Row rows[] = {
        { 0, "Idle", 0 },
        { 1, "Busy", 1 },
        { 2, "DND", 2 },
        { 3, "Message", 3 },
        { 4, "Out of Service", 5 },
        { 5, "FWD", 0 },
        { -1, "Unknown", 4 },
        { 255, "Unknown", 4 },
        { -128, "Unknown", 4 },
        { 6, "Unknown", 4 },
    };
    for (const auto& row : rows) {
        EXPECT_STREQ(StationStatusName(row.state), row.name) << row.state;
        EXPECT_EQ(StationImageIndex(row.state), row.icon) << row.state;
    }
}
