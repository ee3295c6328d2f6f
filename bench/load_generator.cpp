#include "load_generator.h"

#include "bench_net.h"

#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

namespace korvel::bench {

namespace {

constexpr std::size_t kMaxBatch = 32;
// With the window shut this long and nothing coming back, something was lost.
constexpr std::int64_t kStallNs = 50'000'000;
constexpr std::int64_t kWindowPollNs = 20'000;

} // namespace

LoadGenerator::LoadGenerator(const std::vector<std::string>& sources, const sockaddr_in& target)
    : target_(target)
{
    // Default timer slack (50 us) would bunch paced sends together.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    for (std::size_t i = 0; i < sources.size(); ++i) {
        fds_.push_back(BindUdp(sources[i], 0));
        builders_.emplace_back("PBX-" + sources[i].substr(sources[i].rfind('.') + 1), 41000 + 100 * int(i));
    }
}

LoadGenerator::~LoadGenerator()
{
    for (int fd : fds_)
        close(fd);
}

std::size_t LoadGenerator::sendBatch(std::size_t count)
{
    std::array<Report, kMaxBatch> reports;
    std::array<iovec, kMaxBatch> vectors {};
    std::array<mmsghdr, kMaxBatch> messages {};
    count = std::min(count, kMaxBatch);
    const std::size_t source = nextSource_;
    nextSource_ = (nextSource_ + 1) % fds_.size();
    for (std::size_t i = 0; i < count; ++i) {
        reports[i] = builders_[source].next(sequence_ + i, 0);
        vectors[i] = iovec { reports[i].data(), reports[i].size() };
        messages[i].msg_hdr.msg_name = &target_;
        messages[i].msg_hdr.msg_namelen = sizeof target_;
        messages[i].msg_hdr.msg_iov = &vectors[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    // Stamped last, so the time taken building the batch is not counted.
    const std::int64_t now = RealtimeNs();
    for (std::size_t i = 0; i < count; ++i)
        ReportBuilder::stamp(reports[i].data(), now);
    std::size_t done = 0;
    while (done < count) {
        const int sent = sendmmsg(fds_[source], messages.data() + done, static_cast<unsigned>(count - done), 0);
        if (sent < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == ENOBUFS)
                continue;
            Die(std::string("sendmmsg: ") + std::strerror(errno));
        }
        done += static_cast<std::size_t>(sent);
    }
    sequence_ += count;
    return count;
}

SendStats LoadGenerator::windowed(
    std::int64_t durationNs, std::uint64_t window, const std::function<std::uint64_t()>& answered)
{
    SendStats stats;
    stats.startNs = MonotonicNs();
    const std::int64_t end = stats.startNs + durationNs;
    std::uint64_t credit = 0; // reports written off as lost
    std::uint64_t lastAnswered = answered();
    const std::uint64_t base = lastAnswered;
    std::int64_t lastProgress = stats.startNs;
    for (;;) {
        const std::int64_t now = MonotonicNs();
        if (now >= end)
            break;
        const std::uint64_t back = answered();
        if (back != lastAnswered) {
            lastAnswered = back;
            lastProgress = now;
        }
        const std::uint64_t inFlight = stats.sent - credit - std::min(stats.sent - credit, back - base);
        if (inFlight < window) {
            stats.sent += sendBatch(window - inFlight);
        } else if (now - lastProgress > kStallNs) {
            credit += inFlight;
            ++stats.stalls;
            lastProgress = now;
        } else {
            SleepNs(kWindowPollNs);
        }
    }
    stats.endNs = MonotonicNs();
    return stats;
}

SendStats LoadGenerator::paced(std::int64_t durationNs, double ratePerSecond)
{
    SendStats stats;
    stats.startNs = MonotonicNs();
    const double interval = 1e9 / ratePerSecond;
    const auto total = static_cast<std::uint64_t>(ratePerSecond * double(durationNs) / 1e9);
    while (stats.sent < total) {
        const auto due = stats.startNs + static_cast<std::int64_t>(double(stats.sent) * interval);
        const std::int64_t now = MonotonicNs();
        if (due > now)
            SleepUntilMonotonic(due);
        // Late by more than one interval: catch up with a small burst.
        const auto owed = static_cast<std::uint64_t>(double(MonotonicNs() - stats.startNs) / interval) + 1;
        const std::uint64_t count = std::clamp<std::uint64_t>(owed - std::min(owed, stats.sent), 1, total - stats.sent);
        stats.sent += sendBatch(count);
    }
    stats.endNs = MonotonicNs();
    return stats;
}

SendStats LoadGenerator::blast(std::int64_t durationNs)
{
    SendStats stats;
    stats.startNs = MonotonicNs();
    const std::int64_t end = stats.startNs + durationNs;
    while (MonotonicNs() < end)
        stats.sent += sendBatch(kMaxBatch);
    stats.endNs = MonotonicNs();
    return stats;
}

} // namespace korvel::bench
