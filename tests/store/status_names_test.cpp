#include "store/status_names.h"

#include <gtest/gtest.h>

using namespace korvel;

TEST(StatusNames, SystemStatusHasThreeNamesAndUnknown)
{
    // The numbers are what files, the JSON and the cluster carry.
    EXPECT_STREQ(SystemStatusName(SystemStatus { 0 }), "Working");
    EXPECT_STREQ(SystemStatusName(SystemStatus { 1 }), "Error");
    EXPECT_STREQ(SystemStatusName(SystemStatus { 2 }), "No Data");
    for (std::int32_t value : { -1, 3, 255, -2147483647 - 1 })
        EXPECT_STREQ(SystemStatusName(SystemStatus { value }), "Unknown") << value;
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
