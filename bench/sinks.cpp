#include "sinks.h"

#include "bench_net.h"
#include "bench_packet.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <new>

namespace korvel::bench {

namespace {

constexpr unsigned kBatch = 64;
constexpr std::size_t kSlot = 2048;
constexpr std::int64_t kQuietNs = 1'000'000'000;

// Which sequence numbers one sink has seen.
class SeenSet {
public:
    // False when this number had been seen already.
    bool insert(std::uint32_t sequence)
    {
        const std::size_t word = sequence / 64;
        if (word >= bits_.size())
            bits_.resize(std::max(word + 1, bits_.size() * 2), 0);
        const std::uint64_t mask = std::uint64_t(1) << (sequence % 64);
        if (bits_[word] & mask)
            return false;
        bits_[word] |= mask;
        ++count_;
        return true;
    }
    std::uint64_t count() const { return count_; }

private:
    std::vector<std::uint64_t> bits_;
    std::uint64_t count_ = 0;
};

} // namespace

std::uint64_t Sinks::Result::lost(std::uint64_t sent) const
{
    std::uint64_t missing = 0;
    for (std::uint64_t got : distinct)
        missing += sent - std::min(sent, got);
    return missing;
}

Sinks::Sinks(const std::vector<SinkAddress>& addresses, bool recordLatency, const std::filesystem::path& work)
    : count_(addresses.size())
    , samplesFile_(work / "latency-samples.bin")
{
    stopFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stopFd_ < 0)
        Die("eventfd failed");
    void* block = helper_.share(sizeof(Shared) + sizeof(std::uint64_t) * count_);
    shared_ = new (block) Shared {};
    helper_.start("sinks", [&] { return run(addresses, recordLatency); });
    const std::int64_t deadline = MonotonicNs() + 10'000'000'000;
    while (shared_->ready.load(std::memory_order_acquire) == 0) {
        if (MonotonicNs() > deadline)
            Die("the sinks did not start");
        SleepNs(2'000'000);
    }
    if (shared_->ready.load() < 0) {
        helper_.wait();
        Die("the sinks could not bind their sockets");
    }
}

Sinks::~Sinks()
{
    if (helper_.pid() > 0)
        finish();
    close(stopFd_);
}

void Sinks::settle(std::uint64_t expected) const
{
    std::uint64_t last = delivered();
    std::int64_t quietSince = MonotonicNs();
    while (last < expected) {
        SleepNs(10'000'000);
        const std::uint64_t now = delivered();
        if (now != last) {
            last = now;
            quietSince = MonotonicNs();
        } else if (MonotonicNs() - quietSince >= kQuietNs) {
            return;
        }
    }
}

Sinks::Result Sinks::finish()
{
    Result result;
    if (helper_.pid() <= 0)
        return result;
    const std::uint64_t one = 1;
    if (write(stopFd_, &one, sizeof one) != sizeof one)
        Die("cannot stop the sinks");
    if (helper_.wait() != 0)
        Die("the sinks failed");
    result.distinct.assign(shared_->distinct(), shared_->distinct() + count_);
    result.duplicates = shared_->duplicates.load();
    std::ifstream in(samplesFile_, std::ios::binary);
    LatencySample sample;
    while (in.read(reinterpret_cast<char*>(&sample), sizeof sample))
        result.samples.push_back(sample);
    std::filesystem::remove(samplesFile_);
    return result;
}

int Sinks::run(const std::vector<SinkAddress>& addresses, bool recordLatency)
{
    const int poller = epoll_create1(EPOLL_CLOEXEC);
    epoll_event stop {};
    stop.events = EPOLLIN;
    stop.data.u64 = UINT64_MAX;
    epoll_ctl(poller, EPOLL_CTL_ADD, stopFd_, &stop);
    std::vector<int> fds;
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        const int fd = TryBindUdp(addresses[i].address, addresses[i].port);
        if (fd < 0) {
            std::fprintf(stderr, "korvel_bench: sink %s:%d: %s\n", addresses[i].address.c_str(), addresses[i].port,
                std::strerror(errno));
            shared_->ready.store(-1, std::memory_order_release);
            return 1;
        }
        const int on = 1;
        if (recordLatency)
            setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
        epoll_event event {};
        event.events = EPOLLIN;
        event.data.u64 = i;
        epoll_ctl(poller, EPOLL_CTL_ADD, fd, &event);
        fds.push_back(fd);
    }
    shared_->ready.store(1, std::memory_order_release);

    std::vector<SeenSet> seen(fds.size());
    std::vector<LatencySample> samples;
    std::uint64_t duplicates = 0;
    std::vector<std::uint8_t> buffers(kBatch * kSlot);
    std::array<mmsghdr, kBatch> messages {};
    std::array<iovec, kBatch> vectors {};
    std::array<std::array<char, CMSG_SPACE(sizeof(timespec))>, kBatch> controls {};
    std::vector<epoll_event> events(256);

    const auto drain = [&](std::size_t sink) {
        for (;;) {
            for (unsigned i = 0; i < kBatch; ++i) {
                vectors[i] = iovec { &buffers[i * kSlot], kSlot };
                messages[i].msg_hdr = msghdr {};
                messages[i].msg_hdr.msg_iov = &vectors[i];
                messages[i].msg_hdr.msg_iovlen = 1;
                if (recordLatency) {
                    messages[i].msg_hdr.msg_control = controls[i].data();
                    messages[i].msg_hdr.msg_controllen = controls[i].size();
                }
            }
            const int count = recvmmsg(fds[sink], messages.data(), kBatch, MSG_DONTWAIT, nullptr);
            if (count <= 0)
                return;
            std::uint64_t ours = 0;
            for (int i = 0; i < count; ++i) {
                auto& message = messages[static_cast<std::size_t>(i)];
                const auto stamp = ReadStamp(&buffers[static_cast<std::size_t>(i) * kSlot], message.msg_len);
                if (!stamp)
                    continue;
                ++ours;
                if (!seen[sink].insert(stamp->sequence))
                    ++duplicates;
                if (!recordLatency)
                    continue;
                for (cmsghdr* c = CMSG_FIRSTHDR(&message.msg_hdr); c; c = CMSG_NXTHDR(&message.msg_hdr, c)) {
                    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                        timespec at {};
                        std::memcpy(&at, CMSG_DATA(c), sizeof at);
                        samples.push_back(
                            { stamp->sentNs, std::int64_t(at.tv_sec) * 1'000'000'000 + at.tv_nsec - stamp->sentNs });
                    }
                }
            }
            shared_->delivered.fetch_add(ours, std::memory_order_release);
            if (static_cast<unsigned>(count) < kBatch)
                return;
        }
    };

    for (bool stopping = false; !stopping;) {
        const int ready = epoll_wait(poller, events.data(), static_cast<int>(events.size()), -1);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return 1;
        }
        for (int e = 0; e < ready; ++e) {
            const std::uint64_t sink = events[static_cast<std::size_t>(e)].data.u64;
            if (sink == UINT64_MAX)
                stopping = true;
            else
                drain(sink);
        }
    }
    for (std::size_t sink = 0; sink < fds.size(); ++sink)
        drain(sink);
    for (std::size_t sink = 0; sink < fds.size(); ++sink)
        shared_->distinct()[sink] = seen[sink].count();
    shared_->duplicates.store(duplicates);
    if (recordLatency) {
        std::ofstream out(samplesFile_, std::ios::binary);
        out.write(reinterpret_cast<const char*>(samples.data()),
            static_cast<std::streamsize>(samples.size() * sizeof(LatencySample)));
        if (!out)
            return 1;
    }
    return 0;
}

} // namespace korvel::bench
