#include "console_log.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace korvel {

namespace {

std::atomic<bool> gEnabled { false };
// Guarded by ConsoleLock(); swapped only through SetConsoleSink.
ConsoleSink* gSink = nullptr;
ConsoleSink* gTap = nullptr;
std::atomic<std::uint64_t> gDropped { 0 };

constexpr std::size_t kLineBuffer = 1024;
constexpr auto kNoticeInterval = std::chrono::seconds(1);

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

std::uint64_t ConsoleDroppedLines()
{
    return gDropped.load(std::memory_order_relaxed);
}

void CountDroppedConsoleLines(std::uint64_t lines)
{
    gDropped.fetch_add(lines, std::memory_order_relaxed);
}

std::string DroppedLinesNotice(std::uint64_t* reported)
{
    const std::uint64_t now = ConsoleDroppedLines();
    if (now == *reported)
        return {};
    const std::uint64_t count = now - *reported;
    *reported = now;
    return std::to_string(count) + " trace lines dropped";
}

ConsoleSink* SetConsoleSink(ConsoleSink* sink)
{
    std::lock_guard guard(ConsoleLock());
    ConsoleSink* previous = gSink;
    gSink = sink;
    return previous;
}

ConsoleSink* SetConsoleTap(ConsoleSink* tap)
{
    std::lock_guard guard(ConsoleLock());
    ConsoleSink* previous = gTap;
    gTap = tap;
    return previous;
}

namespace {

// With ConsoleLock held: false when the line is to be dropped (counted when
// the sink is behind).
bool Wanted()
{
    if (!gSink)
        return gTap != nullptr;
    if (gSink->full()) {
        gDropped.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    return true;
}

void Deliver(std::string_view line)
{
    if (gSink)
        gSink->appendLine(line);
    if (gTap)
        gTap->appendLine(line);
}

} // namespace

void ConsoleLog(const char* format, ...)
{
    if (!ConsoleLogEnabled())
        return;

    std::unique_lock guard(ConsoleLock());
    if (!Wanted())
        return;
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
        Deliver(std::string_view(buffer, static_cast<std::size_t>(needed)));
        return;
    }
    // A hex dump of a full datagram runs to thousands of characters: grow.
    std::string line(static_cast<std::size_t>(needed), '\0');
    std::vsnprintf(line.data(), line.size() + 1, format, retry);
    va_end(retry);
    Deliver(line);
}

void ConsoleLogLine(std::string_view line)
{
    if (!ConsoleLogEnabled())
        return;
    std::lock_guard guard(ConsoleLock());
    if (Wanted())
        Deliver(line);
}

void ConsoleNotice(std::string_view line)
{
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

BufferedStreamSink::BufferedStreamSink(std::FILE* stream, std::size_t capacityBytes)
    : stream_(stream)
    , capacity_(capacityBytes)
{
    pending_.reserve(capacity_);
    // Counted from here, not from whenever the thread gets going.
    writer_ = std::thread([this, reported = ConsoleDroppedLines()] { run(reported); });
}

BufferedStreamSink::~BufferedStreamSink()
{
    {
        std::lock_guard guard(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    writer_.join();
}

bool BufferedStreamSink::full() const
{
    std::lock_guard guard(mutex_);
    return pending_.size() >= capacity_;
}

void BufferedStreamSink::appendLine(std::string_view line)
{
    bool wasEmpty;
    {
        std::lock_guard guard(mutex_);
        // A line is taken whole or not at all; the buffer may run over its
        // capacity by one line, so that a long hex dump still gets through.
        if (pending_.size() >= capacity_) {
            gDropped.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        wasEmpty = pending_.empty();
        pending_.append(line);
        pending_.push_back('\n');
    }
    if (wasEmpty)
        wake_.notify_one();
}

void BufferedStreamSink::run(std::uint64_t reported)
{
    std::string writing;
    writing.reserve(capacity_);
    bool broken = false;
    auto nextNotice = std::chrono::steady_clock::now() + kNoticeInterval;
    std::unique_lock guard(mutex_);
    for (;;) {
        wake_.wait_until(guard, nextNotice, [this] { return stopping_ || !pending_.empty(); });
        writing.swap(pending_);
        const bool stopping = stopping_;
        guard.unlock();
        if (std::chrono::steady_clock::now() >= nextNotice || stopping) {
            const std::string notice = DroppedLinesNotice(&reported);
            if (!notice.empty())
                writing.append(notice).push_back('\n');
            nextNotice = std::chrono::steady_clock::now() + kNoticeInterval;
        }
        if (!writing.empty() && !broken) {
            std::fwrite(writing.data(), 1, writing.size(), stream_);
            std::fflush(stream_);
            // The reader went away (a closed pipe, a full disk): tracing on
            // would only cost time, and the hub carries on without it.
            if (std::ferror(stream_)) {
                const int error = errno;
                broken = true;
                DisableConsoleLog();
                std::fprintf(stderr, "korvel: cannot write the trace (%s): tracing off\n", std::strerror(error));
            }
        }
        writing.clear();
        guard.lock();
        if (stopping && pending_.empty())
            return;
    }
}

} // namespace korvel
