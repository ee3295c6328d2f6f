#include "console_log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace korvel {

namespace {

std::atomic<bool> gEnabled { false };
// Guarded by ConsoleLock(); swapped only through SetConsoleSink.
ConsoleSink* gSink = nullptr;

constexpr std::size_t kLineBuffer = 1024;

} // namespace

std::mutex& ConsoleLock()
{
    static std::mutex lock;
    return lock;
}

void EnableConsoleLog()
{
    gEnabled.store(true, std::memory_order_relaxed);
}
void DisableConsoleLog()
{
    gEnabled.store(false, std::memory_order_relaxed);
}
bool ConsoleLogEnabled()
{
    return gEnabled.load(std::memory_order_relaxed);
}

ConsoleSink* SetConsoleSink(ConsoleSink* sink)
{
    std::lock_guard guard(ConsoleLock());
    ConsoleSink* previous = gSink;
    gSink = sink;
    return previous;
}

void ConsoleLog(const char* format, ...)
{
    if (!ConsoleLogEnabled())
        return;

    std::lock_guard guard(ConsoleLock());
    char buffer[kLineBuffer];
    va_list args;
    va_start(args, format);
    va_list retry;
    va_copy(retry, args);
    const int needed = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);

    if (needed < 0) {
        va_end(retry);
        return;
    }
    if (static_cast<std::size_t>(needed) < sizeof buffer) {
        va_end(retry);
        if (gSink)
            gSink->appendLine(std::string_view(buffer, static_cast<std::size_t>(needed)));
        return;
    }
    // A hex dump of a full datagram runs to thousands of characters: grow.
    std::string line(static_cast<std::size_t>(needed), '\0');
    std::vsnprintf(line.data(), line.size() + 1, format, retry);
    va_end(retry);
    if (gSink)
        gSink->appendLine(line);
}

void ConsoleLogLine(std::string_view line)
{
    if (!ConsoleLogEnabled())
        return;
    std::lock_guard guard(ConsoleLock());
    if (gSink)
        gSink->appendLine(line);
}

void StreamConsoleSink::appendLine(std::string_view line)
{
    std::fwrite(line.data(), 1, line.size(), stream_);
    std::fputc('\n', stream_);
    std::fflush(stream_);
}

} // namespace korvel
