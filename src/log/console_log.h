#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace korvel {

// Where finished console lines go: the window's memo, standard output, or a
// test capture. appendLine is called with the log's lock held, from whichever
// thread logged, so lines arrive whole and in lock order; a sink that must
// reach another thread hands the line over without waiting for it.
class ConsoleSink {
public:
    virtual ~ConsoleSink() = default;
    virtual void appendLine(std::string_view line) = 0;
    // True while the sink cannot take another line (its consumer is behind):
    // the line is then counted as dropped, without being formatted. Called
    // with the log's lock held.
    virtual bool full() const { return false; }
};

// The console log: formats one line and hands it to the sink; with logging off
// it returns before formatting anything, and with the sink full it only counts
// the line. Lines longer than the classic 1023 characters are kept whole. One
// per hub, handed to what traces; safe to use from any thread.
class ConsoleLog {
public:
    ConsoleLog() = default;
    ConsoleLog(const ConsoleLog&) = delete;
    ConsoleLog& operator=(const ConsoleLog&) = delete;

    void log(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Hands an already formatted line to the sink (the same flag and lock).
    void logLine(std::string_view line);
    // Hands a line the operator must see (a failed save, a damaged file) to
    // the sink whatever the logging switch says.
    void notice(std::string_view line);

    void enable() { enabled_.store(true, std::memory_order_relaxed); }
    void disable() { enabled_.store(false, std::memory_order_relaxed); }
    bool enabled() const { return enabled_.load(std::memory_order_relaxed); }

    // Trace lines dropped since start-up because their sink was behind.
    // Tracing gives way to traffic: a consumer that cannot keep up loses
    // lines, never holds up the thread that logs.
    std::uint64_t droppedLines() const { return dropped_.load(std::memory_order_relaxed); }
    // Counts lines a sink dropped by itself.
    void countDropped(std::uint64_t lines) { dropped_.fetch_add(lines, std::memory_order_relaxed); }
    // "N trace lines dropped", for the lines dropped since `*reported`, or
    // empty when none were; moves `*reported` on.
    std::string droppedLinesNotice(std::uint64_t* reported) const;

    // The sink may be null (lines are then dropped). Set it before logging
    // starts or while holding no lines in flight; the previous sink is returned.
    ConsoleSink* setSink(ConsoleSink* sink);
    // A second receiver of every line the sink takes (the web console's trace
    // tail), called right after the sink under the same lock; null removes
    // it. It must not block. Returns the previous one.
    ConsoleSink* setTap(ConsoleSink* tap);

    // Held while a line is formatted and handed over; a test reading its
    // capture while others log takes it too.
    std::mutex& lock() { return mutex_; }

private:
    // With mutex_ held: false when the line is to be dropped (counted when
    // the sink is behind).
    bool wanted();
    void deliver(std::string_view line);

    std::atomic<bool> enabled_ { false };
    std::atomic<std::uint64_t> dropped_ { 0 };
    // Serialises formatting and appending across the main and sender threads;
    // guards sink_ and tap_.
    std::mutex mutex_;
    ConsoleSink* sink_ = nullptr;
    ConsoleSink* tap_ = nullptr;
};

// Writes each line to a stdio stream and flushes it. Blocks the logger while
// the stream does; for tools, not for the hub.
class StreamConsoleSink : public ConsoleSink {
public:
    explicit StreamConsoleSink(std::FILE* stream)
        : stream_(stream)
    {
    }
    void appendLine(std::string_view line) override;

private:
    std::FILE* stream_;
};

// Headless --trace: lines go into a bounded buffer, and a thread of the sink's
// own writes them to the stream, so a slow terminal or a full pipe costs
// trace lines, never the logger's time. Once a second it says how many lines
// it had to drop.
class BufferedStreamSink : public ConsoleSink {
public:
    static constexpr std::size_t kDefaultCapacity = 4 << 20;

    // Counts its drops in `log`, and turns it off when the stream breaks.
    BufferedStreamSink(ConsoleLog& log, std::FILE* stream, std::size_t capacityBytes = kDefaultCapacity);
    // Writes what is buffered, then stops the thread.
    ~BufferedStreamSink() override;
    BufferedStreamSink(const BufferedStreamSink&) = delete;
    BufferedStreamSink& operator=(const BufferedStreamSink&) = delete;

    void appendLine(std::string_view line) override;
    bool full() const override;

private:
    void run(std::uint64_t reported);

    ConsoleLog& log_;
    std::FILE* stream_;
    std::size_t capacity_;
    mutable std::mutex mutex_; // guards pending_ and stopping_
    std::condition_variable wake_;
    std::string pending_;
    bool stopping_ = false;
    std::thread writer_;
};

// Keeps every line in memory; for tests.
class CaptureConsoleSink : public ConsoleSink {
public:
    void appendLine(std::string_view line) override { lines_.emplace_back(line); }
    // Read only while nothing logs.
    const std::vector<std::string>& lines() const { return lines_; }
    void clear() { lines_.clear(); }

private:
    std::vector<std::string> lines_;
};

} // namespace korvel
