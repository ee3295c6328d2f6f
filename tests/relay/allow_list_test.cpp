#include "relay/allow_list.h"

#include <QDir>
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

TEST(AllowList, NetmasksShortFormsAndLineNumbers)
{
    QTemporaryDir directory;
    const std::string path = directory.filePath("allow.txt").toStdString();
    std::ofstream(path) << "127.0.10.0/255.255.255.0\n" // 1
                           "127.1\n" // 2: classful short form, a typing mistake here
                           "127.0.20.9/28\n" // 3: host bits are dropped
                           "::1/128\n" // 4: the hub listens on IPv4 only
                           "127.0.0.0/255.0.255.0\n" // 5: not a netmask
                           "/8\n" // 6
                           "127.002.48.3\n" // 7: octal to some tools
                           "010.0.0.0/8\n" // 8
                           "127.0.0.0/255.255.000.0\n" // 9
                           "0.0.0.0/32\n"; // 10: a zero alone is fine
    AllowList list;
    const auto problems = list.load(path);
    std::vector<int> lines;
    for (const auto& problem : problems)
        lines.push_back(problem.line);
    EXPECT_EQ(lines, (std::vector<int> { 2, 4, 5, 6, 7, 8, 9 }));
    EXPECT_NE(problems[0].message.find("127.1"), std::string::npos);
    EXPECT_NE(problems[4].message.find("leading zero of 002"), std::string::npos) << problems[4].message;

    const struct {
        const char* address;
        bool allowed;
    } cases[] = {
        { "127.0.10.1", true },
        { "127.0.10.255", true },
        { "127.0.11.1", false },
        { "127.1.0.1", false },
        { "127.0.20.1", true },
        { "127.0.20.15", true },
        { "127.0.20.16", false },
        { "127.0.0.1", false },
        { "127.2.48.3", false },
        { "0.0.0.0", true },
    };
    for (const auto& c : cases)
        EXPECT_EQ(list.allows(c.address), c.allowed) << c.address;
}

TEST(AllowList, UnreadableFileKeepsEveryoneOut)
{
    QTemporaryDir directory;
    ASSERT_TRUE(QDir(directory.path()).mkdir("allow.txt"));
    AllowList list;
    const auto problems = list.load(directory.filePath("allow.txt").toStdString());
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0].line, 0);
    EXPECT_TRUE(list.active());
    EXPECT_FALSE(list.allows("127.0.0.2"));
}
