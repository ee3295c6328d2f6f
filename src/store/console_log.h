#pragma once

#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>
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
};

// Formats one line and hands it to the sink; with logging off it returns
// before formatting anything. Lines longer than the classic 1023 characters
// are kept whole.
void ConsoleLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Hands an already formatted line to the sink (the same flag and lock).
void ConsoleLogLine(std::string_view line);

void EnableConsoleLog();
void DisableConsoleLog();
bool ConsoleLogEnabled();

// Serialises formatting and appending across the main and sender threads.
std::mutex& ConsoleLock();

// The sink may be null (lines are then dropped). Set it before logging starts
// or while holding no lines in flight; the previous sink is returned.
ConsoleSink* SetConsoleSink(ConsoleSink* sink);

// Writes each line to a stdio stream and flushes it, for headless --trace.
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
