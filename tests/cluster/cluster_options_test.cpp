#include "cluster/cluster_options.h"

#include <gtest/gtest.h>

using namespace korvel;

TEST(ClusterUrl, ReadsAServerOrSentinelsAndRefusesTheRest)
{
    using Sentinels = std::vector<std::pair<std::string, int>>;
    const struct {
        const char* url;
        bool ok;
        std::string host;
        int port, database;
        Sentinels sentinels;
        std::string master;
    } cases[] = {
        { "redis://10.0.0.5", true, "10.0.0.5", 6379, 0, {}, "" },
        { "redis://10.0.0.5:7000/3", true, "10.0.0.5", 7000, 3, {}, "" },
        { "redis-sentinel://10.0.0.5,10.0.0.6:26380/main", true, "10.0.0.5", 26379, 0,
            { { "10.0.0.5", 26379 }, { "10.0.0.6", 26380 } }, "main" },
        { "redis-sentinel://10.0.0.5:26379/main/2", true, "10.0.0.5", 26379, 2, { { "10.0.0.5", 26379 } }, "main" },
        { "redis-sentinel://10.0.0.5:26379", false, "", 0, 0, {}, "" }, // no master
        { "redis-sentinel://10.0.0.5:26379//1", false, "", 0, 0, {}, "" },
        { "redis-sentinel://,10.0.0.6/main", false, "", 0, 0, {}, "" },
        { "redis-sentinel://10.0.0.5:99999/main", false, "", 0, 0, {}, "" },
        { "redis-sentinel://10.0.0.5/main/x", false, "", 0, 0, {}, "" },
        { "http://10.0.0.5", false, "", 0, 0, {}, "" },
    };
    for (const auto& c : cases) {
        ClusterOptions options;
        const auto parsed = ParseClusterUrl(c.url, options);
        EXPECT_EQ(parsed.ok(), c.ok) << c.url << ": " << (parsed ? "" : parsed.error());
        if (!c.ok || !parsed)
            continue;
        EXPECT_EQ(options.host, c.host) << c.url;
        EXPECT_EQ(options.port, c.port) << c.url;
        EXPECT_EQ(options.database, c.database) << c.url;
        EXPECT_EQ(options.sentinels, c.sentinels) << c.url;
        EXPECT_EQ(options.master, c.master) << c.url;
    }
}
