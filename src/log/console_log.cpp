#include "console_log.h"

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <utility>

namespace korvel {

namespace {

constexpr std::size_t kLineBuffer = 1024;
constexpr auto kNoticeInterval = std::chrono::seconds(1);

} // namespace

std::string ConsoleLog::droppedLinesNotice(std::uint64_t* reported) const
{
    const std::uint64_t now = droppedLines();
    if (now == *reported)
        return {};
    const std::uint64_t count = now - *reported;
    *reported = now;
    return std::to_string(count) + " trace lines dropped";
}

ConsoleSink* ConsoleLog::setSink(ConsoleSink* sink)
{
    std::lock_guard guard(mutex_);
    return std::exchange(sink_, sink);
}

ConsoleSink* ConsoleLog::setTap(ConsoleSink* tap)
{
    std::lock_guard guard(mutex_);
    return std::exchange(tap_, tap);
}

bool ConsoleLog::wanted()
{
    if (!sink_)
        return tap_ != nullptr;
    if (sink_->full()) {
        countDropped(1);
        return false;
    }
    return true;
}

void ConsoleLog::deliver(std::string_view line)
{
    if (sink_)
        sink_->appendLine(line);
    if (tap_)
        tap_->appendLine(line);
}

void ConsoleLog::log(const char* format, ...)
{
    if (!enabled())
        return;

    std::unique_lock guard(mutex_);
    if (!wanted())
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
        deliver(std::string_view(buffer, static_cast<std::size_t>(needed)));
        return;
    }
    // A hex dump of a full datagram runs to thousands of characters: grow.
    std::string line(static_cast<std::size_t>(needed), '\0');
    std::vsnprintf(line.data(), line.size() + 1, format, retry);
    va_end(retry);
    deliver(line);
}

void ConsoleLog::logLine(std::string_view line)
{
    if (!enabled())
        return;
    std::lock_guard guard(mutex_);
    if (wanted())
        deliver(line);
}

void ConsoleLog::notice(std::string_view line)
{
    std::lock_guard guard(mutex_);
    if (sink_)
        sink_->appendLine(line);
}

void StreamConsoleSink::appendLine(std::string_view line)
{
    std::fwrite(line.data(), 1, line.size(), stream_);
    std::fputc('\n', stream_);
    std::fflush(stream_);
}

BufferedStreamSink::BufferedStreamSink(ConsoleLog& log, std::FILE* stream, std::size_t capacityBytes)
    : log_(log)
    , stream_(stream)
    , capacity_(capacityBytes)
{
    pending_.reserve(capacity_);
    // Counted from here, not from whenever the thread gets going.
    writer_ = std::thread([this, reported = log_.droppedLines()] { run(reported); });
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
            log_.countDropped(1);
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
            const std::string notice = log_.droppedLinesNotice(&reported);
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
                log_.disable();
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
