#include "store/console_log.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

using namespace korvel;

namespace {

class ConsoleLogTest : public ::testing::Test {
protected:
    void SetUp() override { previous_ = SetConsoleSink(&capture_); }
    void TearDown() override
    {
        DisableConsoleLog();
        SetConsoleSink(previous_);
    }

    CaptureConsoleSink capture_;
    ConsoleSink* previous_ = nullptr;
};

} // namespace

TEST_F(ConsoleLogTest, WritesNothingUntilEnabled)
{
    DisableConsoleLog();
    ConsoleLog("UDP From IP : %s", "127.0.0.2");
    EXPECT_TRUE(capture_.lines().empty());

    EnableConsoleLog();
    ConsoleLog("UDP From IP : %s", "127.0.0.2");
    ConsoleLog("%s", "");
    ASSERT_EQ(capture_.lines().size(), 2u);
    EXPECT_EQ(capture_.lines()[0], "UDP From IP : 127.0.0.2");
    EXPECT_EQ(capture_.lines()[1], "") << "an empty line is a line";

    DisableConsoleLog();
    ConsoleLog("dropped");
    EXPECT_EQ(capture_.lines().size(), 2u);
}

TEST_F(ConsoleLogTest, LongLinesAreKeptWhole)
{
    EnableConsoleLog();
    for (std::size_t length : { 1023u, 1024u, 4488u + 14u }) {
        capture_.clear();
        const std::string text(length, 'x');
        ConsoleLog("%s", text.c_str());
        ASSERT_EQ(capture_.lines().size(), 1u);
        EXPECT_EQ(capture_.lines()[0], text) << length;
    }
}

TEST_F(ConsoleLogTest, LinesFromTwoThreadsStayWholeAndOrdered)
{
    EnableConsoleLog();
    constexpr int kLines = 2000;
    auto worker = [](char tag) {
        const std::string filler(1500, tag);
        for (int i = 0; i < kLines; ++i)
            ConsoleLog("%c %d %s", tag, i, filler.c_str());
    };
    std::thread a(worker, 'a');
    std::thread b(worker, 'b');
    a.join();
    b.join();

    ASSERT_EQ(capture_.lines().size(), 2u * kLines);
    int next[2] = { 0, 0 };
    for (const auto& line : capture_.lines()) {
        const char tag = line[0];
        ASSERT_TRUE(tag == 'a' || tag == 'b');
        const int index = tag - 'a';
        EXPECT_EQ(line, std::string(1, tag) + " " + std::to_string(next[index]) + " " + std::string(1500, tag));
        ++next[index];
    }
}
