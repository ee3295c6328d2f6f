#pragma once

#include "base/thread_check.h"
#include "log/console_log.h"

#include <QElapsedTimer>
#include <QObject>

#include <mutex>
#include <string>

class QPlainTextEdit;
class QTimer;

namespace korvel {

// The sink behind the Console memo. appendLine runs under the log's lock on
// whatever thread logged; it only copies the line into a buffer and, for the
// first line of a batch, posts a refresh to the memo's thread, so no logger
// ever waits for the window. A refresh appends the whole batch in one go, at
// most once per kRefreshMs. A batch holds at most kMaxBatchBytes: while it is
// full, lines are dropped and counted, and the memo says how many once a
// second, so that a flood of traffic costs trace lines and never the hub's
// time.
class ConsoleMemoSink : public QObject, public ConsoleSink {
    Q_OBJECT

public:
    // The memo keeps this many newest lines, so days of logging stay bounded.
    static constexpr int kMaxLines = 100000;
    static constexpr int kRefreshMs = 100;
    // About 10,000 lines a second, more than anyone reads: appending and
    // trimming a larger batch made the window stall for over 100 ms under a
    // flood, and the stalls cost forwards.
    static constexpr std::size_t kMaxBatchBytes = 32 * 1024;

    // Counts its drops in `log` and says them from there.
    ConsoleMemoSink(ConsoleLog& log, QPlainTextEdit* memo, QObject* parent = nullptr);

    void appendLine(std::string_view line) override;
    bool full() const override;
    // Appends the waiting lines now; the posted refresh does the same.
    void flush();

private:
    void scheduleFlush();

    ConsoleLog& log_;
    QPlainTextEdit* memo_;
    // Guards pending_ and flushPosted_; taken inside the log's lock by loggers
    // and alone by the main thread, never the other way round.
    mutable std::mutex mutex_;
    // Lines as logged, each ended by a newline; decoded on the memo's thread.
    std::string pending_;
    bool flushPosted_ = false;
    // Main thread only.
    QTimer* timer_;
    ThreadCheck owner_ { "ConsoleMemoSink" };
    QElapsedTimer sinceFlush_;
    QElapsedTimer sinceNotice_;
    std::uint64_t reportedDrops_ = 0;
};

} // namespace korvel
