#include "load_generator.h"

#include "bench_net.h"
#include "bench_packet.h"

#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <new>

namespace korvel::bench {

namespace {

constexpr std::size_t kMaxBatch = 32;
// With the window shut this long and nothing coming back, something was lost.
// Long, so that a relay (or a sink) that merely waited for a CPU on a busy
// machine is not offered more than its window.
constexpr std::int64_t kStallNs = 1'000'000'000;
constexpr std::int64_t kWindowPollNs = 20'000;
// A paced sender looks at the stop flag at least this often.
constexpr std::int64_t kLongestSleepNs = 10'000'000;

class Sender {
public:
    Sender(const std::vector<std::string>& sources, const sockaddr_in& target, bool changingStates)
        : target_(target)
    {
        for (std::size_t i = 0; i < sources.size(); ++i) {
            fds_.push_back(BindUdp(sources[i], 0));
            builders_.emplace_back(
                "PBX-" + sources[i].substr(sources[i].rfind('.') + 1), 41000 + 100 * int(i), changingStates);
        }
    }
    ~Sender()
    {
        for (int fd : fds_)
            close(fd);
    }

    std::size_t send(std::uint64_t& sequence, std::size_t count)
    {
        std::array<Report, kMaxBatch> reports;
        std::array<iovec, kMaxBatch> vectors {};
        std::array<mmsghdr, kMaxBatch> messages {};
        count = std::min(count, kMaxBatch);
        const std::size_t source = next_;
        next_ = (next_ + 1) % fds_.size();
        for (std::size_t i = 0; i < count; ++i) {
            reports[i] = builders_[source].next(static_cast<std::uint32_t>(sequence + i), 0);
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
        sequence += count;
        return count;
    }

private:
    std::vector<int> fds_;
    std::vector<ReportBuilder> builders_;
    sockaddr_in target_;
    std::size_t next_ = 0;
};

} // namespace

LoadGenerator::LoadGenerator(const GeneratorPlan& plan)
{
    shared_ = new (helper_.share(sizeof(Shared))) Shared {};
    helper_.start("load generator", [&] { return run(plan); });
    while (shared_->ready.load(std::memory_order_acquire) == 0)
        SleepNs(1'000'000);
}

LoadGenerator::~LoadGenerator()
{
    stop();
}

std::uint64_t LoadGenerator::stop()
{
    shared_->stop.store(1, std::memory_order_release);
    if (helper_.pid() > 0 && helper_.wait() != 0)
        Die("the load generator failed");
    return sent();
}

int LoadGenerator::run(const GeneratorPlan& plan)
{
    // Default timer slack (50 us) would bunch paced sends together.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    Sender sender(plan.sources, plan.target, plan.changingStates);
    shared_->ready.store(1, std::memory_order_release);
    std::uint64_t sequence = 0;
    const auto stopping = [&] { return shared_->stop.load(std::memory_order_acquire) != 0; };
    const auto publish = [&] { shared_->sent.store(sequence, std::memory_order_release); };

    switch (plan.mode) {
    case GeneratorPlan::Mode::Windowed: {
        std::uint64_t credit = 0; // reports written off as lost
        const auto answered = [&] { return plan.answered->load(std::memory_order_acquire) / plan.fanout; };
        std::uint64_t lastAnswered = answered();
        const std::uint64_t base = lastAnswered;
        std::int64_t lastProgress = MonotonicNs();
        while (!stopping()) {
            const std::int64_t now = MonotonicNs();
            const std::uint64_t back = answered();
            if (back != lastAnswered) {
                lastAnswered = back;
                lastProgress = now;
            }
            const std::uint64_t inFlight = sequence - credit - std::min(sequence - credit, back - base);
            if (inFlight < plan.window) {
                sender.send(sequence, plan.window - inFlight);
                publish();
            } else if (now - lastProgress > kStallNs) {
                credit += inFlight;
                shared_->stalls.fetch_add(1, std::memory_order_relaxed);
                lastProgress = now;
            } else {
                SleepNs(kWindowPollNs);
            }
        }
        break;
    }
    case GeneratorPlan::Mode::Paced: {
        const double interval = 1e9 / plan.rate;
        const std::int64_t start = MonotonicNs();
        while (!stopping()) {
            const auto due = start + static_cast<std::int64_t>(double(sequence) * interval);
            const std::int64_t now = MonotonicNs();
            if (due > now) {
                SleepUntilMonotonic(std::min(due, now + kLongestSleepNs));
                continue;
            }
            // Late by more than one interval: catch up with a small burst.
            const auto owed = static_cast<std::uint64_t>(double(now - start) / interval) + 1;
            sender.send(sequence, static_cast<std::size_t>(owed > sequence ? owed - sequence : 1));
            publish();
        }
        break;
    }
    case GeneratorPlan::Mode::Blast:
        while (!stopping()) {
            sender.send(sequence, kMaxBatch);
            publish();
        }
        break;
    }
    publish();
    return 0;
}

} // namespace korvel::bench
