#include "log/console_log.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <thread>

using namespace korvel;

namespace {

class ConsoleLogTest : public ::testing::Test {
protected:
    void SetUp() override { log_.setSink(&capture_); }

    CaptureConsoleSink capture_;
    ConsoleLog log_;
};

} // namespace

TEST_F(ConsoleLogTest, WritesNothingUntilEnabled)
{
    log_.disable();
    log_.log("UDP From IP : %s", "127.0.0.2");
    EXPECT_TRUE(capture_.lines().empty());

    log_.enable();
    log_.log("UDP From IP : %s", "127.0.0.2");
    log_.log("%s", "");
    ASSERT_EQ(capture_.lines().size(), 2u);
    EXPECT_EQ(capture_.lines()[0], "UDP From IP : 127.0.0.2");
    EXPECT_EQ(capture_.lines()[1], "") << "an empty line is a line";

    log_.disable();
    log_.log("dropped");
    EXPECT_EQ(capture_.lines().size(), 2u);

    // Two hubs in one process trace apart.
    ConsoleLog other;
    CaptureConsoleSink otherCapture;
    other.setSink(&otherCapture);
    other.enable();
    other.log("other");
    EXPECT_EQ(capture_.lines().size(), 2u);
    EXPECT_EQ(otherCapture.lines(), std::vector<std::string> { "other" });
}

TEST_F(ConsoleLogTest, LongLinesAreKeptWhole)
{
    log_.enable();
    for (std::size_t length : { 1023u, 1024u, 4488u + 14u }) {
        capture_.clear();
        const std::string text(length, 'x');
        log_.log("%s", text.c_str());
        ASSERT_EQ(capture_.lines().size(), 1u);
        EXPECT_EQ(capture_.lines()[0], text) << length;
    }
}

TEST_F(ConsoleLogTest, LinesFromTwoThreadsStayWholeAndOrdered)
{
    log_.enable();
    constexpr int kLines = 2000;
    auto worker = [this](char tag) {
        const std::string filler(1500, tag);
        for (int i = 0; i < kLines; ++i)
            log_.log("%c %d %s", tag, i, filler.c_str());
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

namespace {

// A sink whose consumer is behind whenever the test says so.
class TogglingSink : public CaptureConsoleSink {
public:
    bool full() const override { return full_; }
    bool full_ = false;
};

} // namespace

TEST(ConsoleLogDropTest, AFullSinkCostsTheLineNotTheLoggerAndTheDropsAreTold)
{
    TogglingSink sink;
    ConsoleLog log;
    log.setSink(&sink);
    log.enable();
    std::uint64_t reported = 0;
    log.log("kept %d", 1);
    sink.full_ = true;
    log.log("dropped %d", 2);
    log.logLine("dropped too");
    log.log("%s", "and this");
    sink.full_ = false;
    log.log("kept %d", 3);

    EXPECT_EQ(sink.lines(), (std::vector<std::string> { "kept 1", "kept 3" }));
    EXPECT_EQ(log.droppedLinesNotice(&reported), "3 trace lines dropped");
    EXPECT_EQ(log.droppedLinesNotice(&reported), "") << "each drop is told once";
}

TEST(ConsoleLogDropTest, HeadlessTraceNeverWaitsForAStuckReaderAndCatchesUpAfterwards)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    fcntl(fds[1], F_SETPIPE_SZ, 4096);
    std::FILE* writeEnd = fdopen(fds[1], "w");
    ASSERT_NE(writeEnd, nullptr);
    ConsoleLog log;
    constexpr int kLines = 20000;
    std::string output;
    std::thread reader;
    {
        BufferedStreamSink sink(log, writeEnd, 16 * 1024);
        log.setSink(&sink);
        log.enable();
        // Nobody reads the pipe yet: a logger that waited for it would never return.
        for (int i = 0; i < kLines; ++i)
            log.log("line %05d", i);
        log.disable();
        log.setSink(nullptr);
        reader = std::thread([&output, fd = fds[0]] {
            char buffer[4096];
            ssize_t got;
            while ((got = read(fd, buffer, sizeof buffer)) > 0)
                output.append(buffer, static_cast<std::size_t>(got));
        });
    } // the sink writes what it holds, and the notice, before it goes
    std::fclose(writeEnd);
    reader.join();
    close(fds[0]);

    const std::uint64_t dropped = log.droppedLines();
    EXPECT_GT(dropped, 0u);
    std::istringstream lines(output);
    std::string line;
    int last = -1;
    std::uint64_t kept = 0, told = 0;
    while (std::getline(lines, line)) {
        int number = 0;
        unsigned long long count = 0;
        char rest[32] = {};
        if (line.size() == 10 && std::sscanf(line.c_str(), "line %05d", &number) == 1) {
            EXPECT_GT(number, last) << "whole lines, in order";
            last = number;
            ++kept;
        } else if (std::sscanf(line.c_str(), "%llu trace lines %31s", &count, rest) == 2
            && line == std::to_string(count) + " trace lines dropped") {
            told += count;
        } else {
            ADD_FAILURE() << "unexpected line: " << line;
        }
    }
    EXPECT_EQ(kept + dropped, static_cast<std::uint64_t>(kLines));
    EXPECT_EQ(told, dropped);
}
