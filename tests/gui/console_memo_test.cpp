#include "gui/console_memo.h"
#include "support/event_loop.h"

#include <QCoreApplication>
#include <QPlainTextEdit>
#include <QTextBlock>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace korvel {
namespace {

class ConsoleMemoTest : public ::testing::Test {
protected:
    ConsoleMemoTest()
    {
        memo.setPlainText(QStringLiteral("[Console]\n"));
        log.setSink(&sink);
        log.enable();
    }

    QStringList lines() const { return memo.toPlainText().split(QLatin1Char('\n')); }

    QPlainTextEdit memo;
    ConsoleLog log;
    ConsoleMemoSink sink { log, &memo };
};

TEST_F(ConsoleMemoTest, LinesFollowTheInitialLinesAfterTheLoopTurns)
{
    log.log("UDP From IP : %s", "127.0.0.2");
    log.log("%s", "");
    log.log("last");
    EXPECT_EQ(memo.blockCount(), 2) << "appended on the memo's thread, not by the logger";
    QCoreApplication::processEvents();
    EXPECT_EQ(lines(), (QStringList { "[Console]", "", "UDP From IP : 127.0.0.2", "", "last" }));
}

TEST_F(ConsoleMemoTest, LinesFromSeveralThreadsArriveWholeAndInEachThreadsOrder)
{
    constexpr int kThreads = 4;
    constexpr int kLines = 150; // all of them within one batch
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < kLines; ++i)
                log.log("thread %d line %04d %s", t, i, "payload-payload-payload");
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    QCoreApplication::processEvents();

    const QStringList all = lines();
    ASSERT_EQ(all.size(), 2 + kThreads * kLines);
    std::vector<int> next(kThreads, 0);
    for (int i = 2; i < all.size(); ++i) {
        int thread = -1;
        int line = -1;
        char tail[64] = {};
        ASSERT_EQ(std::sscanf(all[i].toLatin1().constData(), "thread %d line %d %63s", &thread, &line, tail), 3)
            << all[i].toStdString();
        EXPECT_STREQ(tail, "payload-payload-payload");
        ASSERT_GE(thread, 0);
        ASSERT_LT(thread, kThreads);
        EXPECT_EQ(line, next[static_cast<std::size_t>(thread)]++);
    }
}

TEST_F(ConsoleMemoTest, MemoKeepsOnlyTheNewestLines)
{
    // In refreshes small enough that no line is dropped.
    for (int i = 0; i < ConsoleMemoSink::kMaxLines + 10; ++i) {
        log.log("line %d", i);
        if (i % 2000 == 0)
            sink.flush();
    }
    sink.flush();
    EXPECT_EQ(memo.blockCount(), ConsoleMemoSink::kMaxLines);
    EXPECT_EQ(memo.document()->lastBlock().text(), QStringLiteral("line %1").arg(ConsoleMemoSink::kMaxLines + 9));
    EXPECT_EQ(memo.document()->firstBlock().text(), QStringLiteral("line 10"));
}

TEST_F(ConsoleMemoTest, AFloodDropsAndCountsLinesAndTheMemoSaysHowManyWithinASecond)
{
    const std::string filler(100, 'x');
    int logged = 0;
    for (std::size_t bytes = 0; bytes < 3 * ConsoleMemoSink::kMaxBatchBytes; bytes += filler.size() + 12)
        log.log("line %05d %s", logged++, filler.c_str());
    const std::uint64_t dropped = log.droppedLines();
    EXPECT_GT(dropped, 0u);

    const QString notice = QStringLiteral("%1 trace lines dropped").arg(dropped);
    EXPECT_TRUE(testing::SpinUntil([&] { return lines().contains(notice); }, 3000)) << lines().last().toStdString();
    // What was kept is the start of the flood, whole and in order.
    const QStringList all = lines();
    const int kept = logged - static_cast<int>(dropped);
    ASSERT_EQ(all.size(), 2 + kept + 1);
    for (int i = 0; i < kept; ++i)
        ASSERT_EQ(all[2 + i], QStringLiteral("line %1 %2").arg(i, 5, 10, QLatin1Char('0')).arg(filler.c_str()));
    EXPECT_EQ(all.last(), notice);
}

} // namespace
} // namespace korvel
