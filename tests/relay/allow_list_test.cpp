#include "relay/allow_list.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fstream>

using namespace korvel;

TEST(AllowList, AbsentFileAllowsEveryone)
{
    AllowList list;
    EXPECT_TRUE(list.load("/nonexistent/allow.txt").empty());
    EXPECT_FALSE(list.active());
    EXPECT_TRUE(list.allows("10.1.2.3"));
}

TEST(AllowList, AddressesRangesCommentsAndBadLines)
{
    QTemporaryDir directory;
    const std::string path = directory.filePath("allow.txt").toStdString();
    std::ofstream(path) << "# site A\n"
                           "10.1.0.0/16\n"
                           "  192.168.5.7   # one exchange\r\n"
                           "\n"
                           "172.16.0.0/33\n"
                           "not-an-address\n"
                           "0.0.0.0/0x\n";
    AllowList list;
    const auto rejected = list.load(path);
    EXPECT_EQ(rejected.size(), 3u);
    EXPECT_TRUE(list.active());
    EXPECT_TRUE(list.allows("10.1.255.4"));
    EXPECT_FALSE(list.allows("10.2.0.1"));
    EXPECT_TRUE(list.allows("192.168.5.7"));
    EXPECT_FALSE(list.allows("192.168.5.8"));
    EXPECT_FALSE(list.allows("172.16.0.1")) << "a rejected line allows nothing";
    EXPECT_FALSE(list.allows("garbage"));

    std::ofstream(path) << "0.0.0.0/0\n";
    list.load(path);
    EXPECT_TRUE(list.allows("8.8.8.8"));

    std::ofstream(path) << "# nobody\n";
    list.load(path);
    EXPECT_TRUE(list.active());
    EXPECT_FALSE(list.allows("127.0.0.2")) << "an empty list keeps everyone out";
}
