#include "sender_engine.h"

#include "log/console_log.h"
#include "net/ipv4_address.h"
#include "protocol/fixed_texts.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <deque>
#include <optional>

namespace korvel {

namespace {

// The classic host field holds 31 characters; a longer text is refused rather
// than cut, since a cut name could resolve to a different machine.
constexpr std::size_t kMaxHostLength = 31;
// Datagrams handed to the kernel in one call.
constexpr std::size_t kSendBatch = 64;
// Forwards held at most before they go; also the kernel's limit per call.
constexpr std::size_t kForwardBatch = 1024;
// Forwards a batch sends before its time counts against directSendBudget:
// a few hundred microseconds' worth at most.
constexpr std::size_t kUntimedForwards = 128;

using SteadyClock = std::chrono::steady_clock;

const char* FailureFormat(SendFailure kind)
{
    switch (kind) {
    case SendFailure::Lookup:
        return fixed::kLookupFailed;
    case SendFailure::Socket:
        return fixed::kSocketFailed;
    case SendFailure::Connect:
    case SendFailure::ConnectTimeout:
        return fixed::kConnectFailed;
    case SendFailure::Send:
        break;
    }
    return fixed::kSendFailed;
}

bool FitsHostField(const std::string& host)
{
    return !host.empty() && host.size() <= kMaxHostLength;
}

std::optional<sockaddr_in> ResolveNumeric(const std::string& host, int port)
{
    return FitsHostField(host) ? NumericIPv4(host, port) : std::nullopt;
}

} // namespace

struct SenderEngine::Job {
    bool tcp = false;
    std::string host;
    int port = 0;
    std::shared_ptr<const Payload> data;
    // The system the send is for, when that is not the one at `host`.
    std::string system;
    const std::string& forSystem() const { return system.empty() ? host : system; }
};

struct SenderEngine::Pending {
    Job job;
    UniqueFd fd;
    SteadyClock::time_point deadline;
};

SenderEngine::SenderEngine(TrafficCounters& counters, ConsoleLog& console)
    : SenderEngine(counters, console, Options {})
{
}

SenderEngine::SenderEngine(TrafficCounters& counters, ConsoleLog& console, Options options, FailureHandler onFailure)
    : counters_(counters)
    , console_(console)
    , options_(options)
    , onFailure_(std::move(onFailure))
    , names_(options_.names)
{
    udpSocket_.reset(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (udpSocket_) {
        int size = 4 << 20;
        setsockopt(udpSocket_.get(), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    }
    worker_ = std::thread([this] { run(); });
    pthread_setname_np(worker_.native_handle(), "korvel-sender");
}

SenderEngine::~SenderEngine()
{
    {
        std::lock_guard guard(mutex_);
        stopping_ = true;
    }
    wake();
    worker_.join();
}

void SenderEngine::sendUdp(const std::string& host, int port, Bytes bytes, const std::string& system)
{
    // Behind the forwards this thread holds, so the order to each
    // destination stays as it was asked for.
    if (forwardThread_.load(std::memory_order_relaxed) == std::this_thread::get_id() && !forwards_.empty())
        flushForwards();
    // With no datagram queued ahead of it, one to a numeric address leaves
    // from the caller's thread: a send that would block is not made, so the
    // call still returns at once. This saves the hand-over to the worker,
    // which was most of a forward's delay and, measured on two busy cores,
    // a fifth more CPU per datagram. Otherwise it queues, keeping the order.
    if (queuedUdp_.load(std::memory_order_acquire) == 0 && sendNow(host, port, bytes, system))
        return;
    enqueue(false, host, port, bytes, system);
}

bool SenderEngine::sendNow(const std::string& host, int port, Bytes bytes, const std::string& system)
{
    if (!udpSocket_)
        return false;
    const auto address = ResolveNumeric(host, port);
    if (!address)
        return false;
    counters_.LiveSenderCount.fetch_add(1, std::memory_order_relaxed);
    const ssize_t sent = sendto(udpSocket_.get(), bytes.data(), bytes.size(), MSG_DONTWAIT,
        reinterpret_cast<const sockaddr*>(&*address), sizeof *address);
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        counters_.LiveSenderCount.fetch_sub(1, std::memory_order_release);
        return false;
    }
    finish(
        host, system, bytes.size(), sent < 0 ? std::optional(SendFailure::Send) : std::nullopt, fixed::kSendToFailed);
    return true;
}

void SenderEngine::sendTcp(const std::string& host, int port, Bytes bytes, const std::string& system)
{
    enqueue(true, host, port, bytes, system);
}

void SenderEngine::beginBatch()
{
    if (batchDepth_++ == 0) {
        batchOwner_.emplace("SenderEngine batch");
        directSending_ = {};
        directSent_ = 0;
    }
}

void SenderEngine::endBatch()
{
    if (batchOwner_)
        (*batchOwner_)("endBatch");
    if (--batchDepth_ <= 0) {
        batchDepth_ = 0;
        flushForwards();
    }
}

void SenderEngine::forwardUdp(const ForwardTarget& target, Bytes bytes)
{
    if (batchDepth_ > 0)
        (*batchOwner_)("forwardUdp");
    forwardThread_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    // A name to look up, or no socket: this one queues, behind what this
    // thread holds.
    if (!target.resolved || !udpSocket_) {
        flushForwards();
        sendUdp(target.host, target.port, bytes, target.system);
        return;
    }
    // One packet forwarded to many systems is held once.
    const bool same = !forwards_.empty() && forwards_.back().length == bytes.size()
        && std::equal(bytes.begin(), bytes.end(), forwardBytes_.begin() + lastForwardOffset_);
    if (!same) {
        lastForwardOffset_ = static_cast<std::uint32_t>(forwardBytes_.size());
        forwardBytes_.insert(forwardBytes_.end(), bytes.begin(), bytes.end());
    }
    forwards_.push_back(Forward { target.address, lastForwardOffset_, static_cast<std::uint32_t>(bytes.size()),
        target.host, target.port, target.system });
    if (batchDepth_ == 0 || forwards_.size() >= kForwardBatch)
        flushForwards();
}

void SenderEngine::flushForwards()
{
    const std::size_t count = forwards_.size();
    if (count == 0)
        return;
    // Anything queued for the worker goes first, so these go behind it.
    if (queuedUdp_.load(std::memory_order_acquire) != 0 || directSending_ >= options_.directSendBudget) {
        handOffForwards(0);
        forwards_.clear();
        forwardBytes_.clear();
        return;
    }
    // A batch is only timed once it is long enough to matter: a report to
    // ten systems is sent without reading the clock.
    const bool timed = batchDepth_ > 0 && directSent_ + count >= kUntimedForwards;
    const auto started = timed ? SteadyClock::now() : SteadyClock::time_point {};
    forwardMessages_.resize(count);
    forwardVectors_.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        Forward& forward = forwards_[i];
        forwardVectors_[i] = iovec { forwardBytes_.data() + forward.offset, forward.length };
        forwardMessages_[i] = mmsghdr {};
        forwardMessages_[i].msg_hdr.msg_name = &forward.address;
        forwardMessages_[i].msg_hdr.msg_namelen = sizeof forward.address;
        forwardMessages_[i].msg_hdr.msg_iov = &forwardVectors_[i];
        forwardMessages_[i].msg_hdr.msg_iovlen = 1;
    }
    std::int64_t bytes = 0;
    std::size_t done = 0;
    while (done < count) {
        const int sent = sendmmsg(udpSocket_.get(), &forwardMessages_[done],
            static_cast<unsigned>(std::min(count - done, kForwardBatch)), MSG_DONTWAIT);
        if (sent > 0) {
            for (std::size_t i = done; i < done + static_cast<std::size_t>(sent); ++i)
                bytes += forwards_[i].length;
            done += static_cast<std::size_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // The socket is full: the rest wait for the worker, in order.
            handOffForwards(done);
            break;
        }
        // The kernel refused this one, as a sendto would have.
        reportFailure(forwards_[done].host, forwards_[done].system, SendFailure::Send, fixed::kSendToFailed);
        bytes += forwards_[done].length;
        ++done;
    }
    counters_.SentByteCount.fetch_add(static_cast<std::int32_t>(bytes), std::memory_order_relaxed);
    forwards_.clear();
    forwardBytes_.clear();
    if (batchDepth_ == 0) {
        directSending_ = {};
        directSent_ = 0;
        return;
    }
    if (timed)
        directSending_ += SteadyClock::now() - started;
    directSent_ += count;
}

void SenderEngine::handOffForwards(std::size_t from)
{
    const std::size_t count = forwards_.size() - from;
    const auto live = static_cast<std::size_t>(std::max(0, counters_.LiveSenderCount.load(std::memory_order_relaxed)));
    const std::size_t taken = std::min(count, options_.maxQueuedJobs - std::min(options_.maxQueuedJobs, live));
    if (taken < count) {
        dropped_.fetch_add(count - taken, std::memory_order_relaxed);
        if (unreportedDrops_.fetch_add(count - taken, std::memory_order_relaxed) == 0)
            wake();
    }
    if (taken == 0)
        return;
    counters_.LiveSenderCount.fetch_add(static_cast<std::int32_t>(taken), std::memory_order_relaxed);
    bool wasEmpty;
    {
        std::lock_guard guard(mutex_);
        wasEmpty = queue_.empty();
        std::uint32_t offset = ~std::uint32_t { 0 };
        for (std::size_t i = from; i < from + taken; ++i) {
            const Forward& forward = forwards_[i];
            // Forwards of one packet share its bytes, and so do their jobs.
            if (forward.offset != offset) {
                offset = forward.offset;
                const std::uint8_t* bytes = forwardBytes_.data() + forward.offset;
                if (!lastPayload_
                    || !std::equal(bytes, bytes + forward.length, lastPayload_->begin(), lastPayload_->end()))
                    lastPayload_ = std::make_shared<const Payload>(bytes, bytes + forward.length);
            }
            queue_.push_back(Job { false, forward.host, forward.port, lastPayload_,
                forward.system == forward.host ? std::string() : forward.system });
        }
        queuedUdp_.fetch_add(static_cast<std::int32_t>(taken), std::memory_order_release);
    }
    if (wasEmpty)
        wake();
}

void SenderEngine::enqueue(bool tcp, const std::string& host, int port, Bytes bytes, const std::string& system)
{
    if (static_cast<std::size_t>(counters_.LiveSenderCount.load(std::memory_order_relaxed)) >= options_.maxQueuedJobs) {
        dropped_.fetch_add(1, std::memory_order_relaxed);
        // The worker says so, at most once a second.
        if (unreportedDrops_.fetch_add(1, std::memory_order_relaxed) == 0)
            wake();
        return;
    }
    counters_.LiveSenderCount.fetch_add(1, std::memory_order_relaxed);
    bool wasEmpty;
    {
        std::lock_guard guard(mutex_);
        if (!lastPayload_ || !std::equal(bytes.begin(), bytes.end(), lastPayload_->begin(), lastPayload_->end()))
            lastPayload_ = std::make_shared<const Payload>(bytes.begin(), bytes.end());
        wasEmpty = queue_.empty();
        queue_.push_back(Job { tcp, host, port, lastPayload_, system == host ? std::string() : system });
        if (!tcp)
            queuedUdp_.fetch_add(1, std::memory_order_release);
    }
    if (wasEmpty)
        wake();
}

void SenderEngine::wake()
{
    wake_.raise();
}

void SenderEngine::finish(Job& job, std::optional<SendFailure> failure, const char* format)
{
    finish(job.host, job.forSystem(), job.data->size(), failure, format);
}

void SenderEngine::reportFailure(
    const std::string& host, const std::string& system, SendFailure kind, const char* format)
{
    counters_.countFailure(kind);
    console_.log(format ? format : FailureFormat(kind), host.c_str());
    if (onFailure_)
        onFailure_(host, system);
}

void SenderEngine::finish(const std::string& host, const std::string& system, std::size_t length,
    std::optional<SendFailure> failure, const char* format)
{
    if (failure)
        reportFailure(host, system, *failure, format);
    counters_.SentByteCount.fetch_add(static_cast<std::int32_t>(length), std::memory_order_relaxed);
    counters_.LiveSenderCount.fetch_sub(1, std::memory_order_release);
}

SenderEngine::Route SenderEngine::route(Job& job, sockaddr_in& address)
{
    (*workerOnly_)("route");
    if (!FitsHostField(job.host)) {
        finish(job, SendFailure::Lookup);
        return Route::Finished;
    }
    if (auto numeric = NumericIPv4(job.host, job.port)) {
        address = *numeric;
        return Route::Ready;
    }
    // Behind the sends that already wait for this name, so that the sends to
    // one destination keep their order.
    if (const auto parked = parked_.find(job.host); parked != parked_.end()) {
        parked->second.push_back(std::move(job));
        return Route::Parked;
    }
    in_addr found {};
    switch (names_.find(job.host, found)) {
    case NameCache::Answer::Found:
        address = sockaddr_in {};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(job.port & 0xFFFF));
        address.sin_addr = found;
        return Route::Ready;
    case NameCache::Answer::Failed:
        finish(job, SendFailure::Lookup);
        return Route::Finished;
    case NameCache::Answer::Waiting:
        break;
    }
    parked_[job.host].push_back(std::move(job));
    return Route::Parked;
}

void SenderEngine::releaseParked(std::vector<Job>& datagrams, std::deque<Job>& connects)
{
    (*workerOnly_)("releaseParked");
    in_addr ignored;
    for (auto it = parked_.begin(); it != parked_.end();) {
        if (names_.find(it->first, ignored) == NameCache::Answer::Waiting) {
            ++it;
            continue;
        }
        std::vector<Job> jobs = std::move(it->second);
        it = parked_.erase(it);
        for (Job& job : jobs)
            (job.tcp ? connects.emplace_back(std::move(job)) : datagrams.emplace_back(std::move(job)));
    }
}

void SenderEngine::sendDatagrams(std::vector<Job>& jobs)
{
    std::array<Job*, kSendBatch> batch;
    std::array<sockaddr_in, kSendBatch> addresses;
    std::array<iovec, kSendBatch> vectors;
    std::array<mmsghdr, kSendBatch> messages;
    std::int32_t taken = 0;
    auto next = jobs.begin();
    while (next != jobs.end()) {
        std::size_t count = 0;
        for (; next != jobs.end() && count < kSendBatch; ++next) {
            Job& job = *next;
            const Route way = route(job, addresses[count]);
            // One waiting for its name is still queued.
            if (way != Route::Parked)
                ++taken;
            if (way != Route::Ready)
                continue;
            if (!udpSocket_) {
                finish(job, SendFailure::Socket);
                continue;
            }
            batch[count] = &job;
            vectors[count] = iovec { const_cast<std::uint8_t*>(job.data->data()), job.data->size() };
            messages[count] = mmsghdr {};
            messages[count].msg_hdr.msg_name = &addresses[count];
            messages[count].msg_hdr.msg_namelen = sizeof(sockaddr_in);
            messages[count].msg_hdr.msg_iov = &vectors[count];
            messages[count].msg_hdr.msg_iovlen = 1;
            ++count;
        }
        // The kernel stops at the first datagram it refuses; that one failed
        // and the rest are offered again.
        std::size_t done = 0;
        while (done < count) {
            const int sent = sendmmsg(udpSocket_.get(), &messages[done], static_cast<unsigned>(count - done), 0);
            if (sent < 0 && errno == EINTR)
                continue;
            const std::size_t succeeded = sent < 0 ? 0 : static_cast<std::size_t>(sent);
            std::int32_t bytes = 0;
            for (std::size_t i = done; i < done + succeeded; ++i)
                bytes += static_cast<std::int32_t>(batch[i]->data->size());
            counters_.SentByteCount.fetch_add(bytes, std::memory_order_relaxed);
            counters_.LiveSenderCount.fetch_sub(static_cast<std::int32_t>(succeeded), std::memory_order_release);
            done += succeeded;
            if (sent < 0)
                finish(*batch[done++], SendFailure::Send, fixed::kSendToFailed);
        }
    }
    queuedUdp_.fetch_sub(taken, std::memory_order_release);
}

void SenderEngine::startConnect(Job&& job)
{
    (*workerOnly_)("startConnect");
    sockaddr_in address;
    if (route(job, address) != Route::Ready)
        return;
    UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd)
        return finish(job, SendFailure::Socket);
    const int result = connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    if (result < 0 && errno != EINPROGRESS)
        return finish(job, SendFailure::Connect);
    pending_.push_back(Pending {
        std::move(job), std::move(fd), SteadyClock::now() + std::chrono::milliseconds(options_.tcpConnectTimeoutMs) });
    connecting_.store(static_cast<std::int64_t>(pending_.size()), std::memory_order_relaxed);
    if (result == 0)
        finishConnect(pending_.size() - 1, true, false);
}

// Completes (or fails) the connect of pending_[index] and removes it.
void SenderEngine::finishConnect(std::size_t index, bool writable, bool timedOut)
{
    (*workerOnly_)("finishConnect");
    Pending pending = std::move(pending_[index]);
    pending_[index] = std::move(pending_.back());
    pending_.pop_back();
    connecting_.store(static_cast<std::int64_t>(pending_.size()), std::memory_order_relaxed);

    std::optional<SendFailure> failure;
    int error = 0;
    socklen_t length = sizeof error;
    if (timedOut) {
        failure = SendFailure::ConnectTimeout;
    } else if (!writable || getsockopt(pending.fd.get(), SOL_SOCKET, SO_ERROR, &error, &length) < 0 || error != 0) {
        failure = SendFailure::Connect;
    } else if (send(pending.fd.get(), pending.job.data->data(), pending.job.data->size(), MSG_NOSIGNAL) < 0) {
        failure = SendFailure::Send;
    }
    pending.fd.reset();
    finish(pending.job, failure);
}

void SenderEngine::reportDrops(SteadyClock::time_point now)
{
    (*workerOnly_)("reportDrops");
    if (unreportedDrops_.load(std::memory_order_relaxed) == 0 || now < nextDropReport_)
        return;
    const auto count = static_cast<unsigned long long>(unreportedDrops_.exchange(0, std::memory_order_relaxed));
    console_.log("Send queue full: %llu packets dropped", count);
    std::fprintf(stderr, "korvel: Send queue full: %llu packets dropped\n", count);
    nextDropReport_ = now + std::chrono::seconds(1);
}

void SenderEngine::run()
{
    workerOnly_.emplace("SenderEngine worker");
    std::vector<Job> batch;
    std::vector<Job> datagrams;
    std::deque<Job> waitingTcp;
    std::vector<pollfd> fds;
    constexpr std::size_t kFixedFds = 2; // the wake-up and the name cache
    for (;;) {
        const auto before = SteadyClock::now();
        std::optional<SteadyClock::time_point> nearest;
        for (const auto& p : pending_)
            nearest = std::min(nearest.value_or(p.deadline), p.deadline);
        if (unreportedDrops_.load(std::memory_order_relaxed) > 0)
            nearest = std::min(nearest.value_or(nextDropReport_), nextDropReport_);
        int timeoutMs = -1;
        if (nearest) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*nearest - before);
            timeoutMs = static_cast<int>(std::max<std::int64_t>(0, left.count() + 1));
        }
        fds.clear();
        fds.push_back(pollfd { wake_.fd(), POLLIN, 0 });
        fds.push_back(pollfd { names_.readyFd(), POLLIN, 0 });
        for (const auto& p : pending_)
            fds.push_back(pollfd { p.fd.get(), POLLOUT, 0 });
        if (poll(fds.data(), fds.size(), timeoutMs) < 0 && errno != EINTR)
            continue;

        if (fds[0].revents & POLLIN)
            wake_.clear();
        if (fds[1].revents & POLLIN) {
            names_.drain();
            releaseParked(datagrams, waitingTcp);
        }

        // Walk backwards: finishConnect moves the last entry into the freed slot.
        const auto now = SteadyClock::now();
        for (std::size_t i = pending_.size(); i-- > 0;) {
            const short events = fds[i + kFixedFds].revents;
            if (events & (POLLOUT | POLLERR | POLLHUP))
                finishConnect(i, (events & POLLOUT) != 0, false);
            else if (pending_[i].deadline <= now)
                finishConnect(i, false, true);
        }
        reportDrops(now);

        bool stopping;
        {
            std::lock_guard guard(mutex_);
            batch.swap(queue_);
            stopping = stopping_;
        }
        for (auto& job : batch)
            (job.tcp ? waitingTcp.emplace_back(std::move(job)) : datagrams.emplace_back(std::move(job)));
        batch.clear();
        sendDatagrams(datagrams);
        datagrams.clear();
        while (!waitingTcp.empty() && pending_.size() < options_.maxPendingConnects) {
            startConnect(std::move(waitingTcp.front()));
            waitingTcp.pop_front();
        }

        if (stopping) {
            // Shutting down: whatever has not connected yet is abandoned quietly.
            std::size_t abandoned = pending_.size() + waitingTcp.size();
            for (const auto& [name, jobs] : parked_)
                abandoned += jobs.size();
            pending_.clear();
            parked_.clear();
            counters_.LiveSenderCount.fetch_sub(static_cast<std::int32_t>(abandoned), std::memory_order_release);
            return;
        }
    }
}

} // namespace korvel
