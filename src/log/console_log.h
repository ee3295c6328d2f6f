#pragma once

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
// test capture. appendLine is called with ConsoleLock held, from whichever
// thread logged, so lines arrive whole and in lock order; a sink that must
// reach another thread hands the line over without waiting for it.
class ConsoleSink {
public:
    virtual ~ConsoleSink() = default;
    virtual void appendLine(std::string_view line) = 0;
    // True while the sink cannot take another line (its consumer is behind):
    // the line is then counted as dropped, without being formatted. Called
    // with ConsoleLock held.
    virtual bool full() const { return false; }
};

// Formats one line and hands it to the sink; with logging off it returns
// before formatting anything, and with the sink full it only counts the line.
// Lines longer than the classic 1023 characters are kept whole.
void ConsoleLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Hands an already formatted line to the sink (the same flag and lock).
void ConsoleLogLine(std::string_view line);

// Hands a line the operator must see (a failed save, a damaged file) to the
// sink whatever the logging switch says.
void ConsoleNotice(std::string_view line);

void EnableConsoleLog();
void DisableConsoleLog();
bool ConsoleLogEnabled();

// Trace lines dropped since start-up because their sink was behind. Tracing
// gives way to traffic: a consumer that cannot keep up loses lines, never
// holds up the thread that logs.
std::uint64_t ConsoleDroppedLines();
// Counts lines a sink dropped by itself.
void CountDroppedConsoleLines(std::uint64_t lines);
// "N trace lines dropped", for the lines dropped since `*reported`, or empty
// when none were; moves `*reported` on.
std::string DroppedLinesNotice(std::uint64_t* reported);

// Serialises formatting and appending across the main and sender threads.
std::mutex& ConsoleLock();

// The sink may be null (lines are then dropped). Set it before logging starts
// or while holding no lines in flight; the previous sink is returned.
ConsoleSink* SetConsoleSink(ConsoleSink* sink);

// A second receiver of every line the sink takes (the web console's trace
// tail), called right after the sink under the same lock; null removes it.
// It must not block. Returns the previous one.
ConsoleSink* SetConsoleTap(ConsoleSink* tap);

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

    explicit BufferedStreamSink(std::FILE* stream, std::size_t capacityBytes = kDefaultCapacity);
    // Writes what is buffered, then stops the thread.
    ~BufferedStreamSink() override;
    BufferedStreamSink(const BufferedStreamSink&) = delete;
    BufferedStreamSink& operator=(const BufferedStreamSink&) = delete;

    void appendLine(std::string_view line) override;
    bool full() const override;

private:
    void run(std::uint64_t reported);

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
