#include "sinks.h"

#include "bench_net.h"
#include "bench_packet.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace korvel::bench {

namespace {

constexpr unsigned kBatch = 64;
constexpr std::size_t kSlot = 2048;

} // namespace

Sinks::Sinks(const std::vector<SinkAddress>& addresses)
    : perSink_(addresses.size())
{
    epollFd_ = epoll_create1(EPOLL_CLOEXEC);
    stopFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (epollFd_ < 0 || stopFd_ < 0)
        Die("epoll/eventfd failed");
    epoll_event stop {};
    stop.events = EPOLLIN;
    stop.data.u64 = UINT64_MAX;
    epoll_ctl(epollFd_, EPOLL_CTL_ADD, stopFd_, &stop);
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        const int fd = BindUdp(addresses[i].address, addresses[i].port);
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
        epoll_event event {};
        event.events = EPOLLIN;
        event.data.u64 = i;
        epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &event);
        fds_.push_back(fd);
    }
    thread_ = std::thread([this] { run(); });
}

Sinks::~Sinks()
{
    const std::uint64_t one = 1;
    if (write(stopFd_, &one, sizeof one) < 0)
        Die("cannot stop the sinks");
    thread_.join();
    for (int fd : fds_)
        close(fd);
    close(stopFd_);
    close(epollFd_);
}

std::vector<std::uint64_t> Sinks::perSink() const
{
    std::vector<std::uint64_t> counts;
    for (const auto& count : perSink_)
        counts.push_back(count.load(std::memory_order_relaxed));
    return counts;
}

void Sinks::startRecording(std::size_t expected)
{
    std::lock_guard guard(latencyMutex_);
    latencies_.clear();
    latencies_.reserve(expected);
    recording_.store(true, std::memory_order_release);
}

std::vector<std::int64_t> Sinks::stopRecording()
{
    recording_.store(false, std::memory_order_release);
    std::lock_guard guard(latencyMutex_);
    return std::move(latencies_);
}

void Sinks::run()
{
    std::vector<std::uint8_t> buffers(kBatch * kSlot);
    std::array<mmsghdr, kBatch> messages {};
    std::array<iovec, kBatch> vectors {};
    std::array<std::array<char, CMSG_SPACE(sizeof(timespec))>, kBatch> controls {};
    std::array<epoll_event, 128> events {};
    std::vector<std::int64_t> local;

    for (;;) {
        const int ready = epoll_wait(epollFd_, events.data(), static_cast<int>(events.size()), -1);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            Die("epoll_wait failed");
        }
        for (int e = 0; e < ready; ++e) {
            const std::uint64_t sink = events[static_cast<std::size_t>(e)].data.u64;
            if (sink == UINT64_MAX)
                return;
            const bool recording = recording_.load(std::memory_order_acquire);
            for (;;) {
                for (unsigned i = 0; i < kBatch; ++i) {
                    vectors[i] = iovec { &buffers[i * kSlot], kSlot };
                    messages[i].msg_hdr = msghdr {};
                    messages[i].msg_hdr.msg_iov = &vectors[i];
                    messages[i].msg_hdr.msg_iovlen = 1;
                    messages[i].msg_hdr.msg_control = controls[i].data();
                    messages[i].msg_hdr.msg_controllen = controls[i].size();
                }
                const int count = recvmmsg(fds_[sink], messages.data(), kBatch, MSG_DONTWAIT, nullptr);
                if (count <= 0)
                    break;
                std::uint64_t ours = 0;
                for (int i = 0; i < count; ++i) {
                    const auto& message = messages[static_cast<std::size_t>(i)];
                    const auto sent = ReportSentNs(&buffers[static_cast<std::size_t>(i) * kSlot], message.msg_len);
                    if (!sent)
                        continue;
                    ++ours;
                    if (!recording)
                        continue;
                    auto* header = const_cast<msghdr*>(&message.msg_hdr);
                    for (cmsghdr* c = CMSG_FIRSTHDR(header); c; c = CMSG_NXTHDR(header, c)) {
                        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                            timespec at {};
                            std::memcpy(&at, CMSG_DATA(c), sizeof at);
                            local.push_back(std::int64_t(at.tv_sec) * 1'000'000'000 + at.tv_nsec - *sent);
                        }
                    }
                }
                perSink_[sink].fetch_add(ours, std::memory_order_relaxed);
                delivered_.fetch_add(ours, std::memory_order_release);
                if (!local.empty()) {
                    std::lock_guard guard(latencyMutex_);
                    if (recording_.load(std::memory_order_relaxed))
                        latencies_.insert(latencies_.end(), local.begin(), local.end());
                    local.clear();
                }
                if (static_cast<unsigned>(count) < kBatch)
                    break;
            }
        }
    }
}

} // namespace korvel::bench
