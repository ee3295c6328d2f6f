#include "forwarding_thread.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace korvel {

ForwardingThread::ForwardingThread(Outbox& outbox, const ConsoleLog& console)
    : outbox_(outbox)
    , console_(console)
    , wakeSocket_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0))
{
    if (!ready_) {
        std::perror("korvel: eventfd");
        std::abort();
    }
    wakeFrom_.sin_family = AF_INET;
    wakeFrom_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof wakeFrom_;
    if (!wakeSocket_ || bind(wakeSocket_.get(), reinterpret_cast<const sockaddr*>(&wakeFrom_), sizeof wakeFrom_) != 0
        || getsockname(wakeSocket_.get(), reinterpret_cast<sockaddr*>(&wakeFrom_), &length) != 0)
        std::perror("korvel: the forwarding thread's wake-up socket");
}

ForwardingThread::~ForwardingThread()
{
    stop();
}

void ForwardingThread::start(int fd)
{
    stop();
    sockaddr_in local {};
    socklen_t length = sizeof local;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0)
        return;
    fd_ = fd;
    port_ = ntohs(local.sin_port);
    // The thread waits in the read itself, without a time-out: one call per
    // wake-up, as the kernel's cheapest wait.
    fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
    exited_ = false;
    thread_ = std::thread([this] {
        pthread_setname_np(pthread_self(), "korvel-forward");
        run();
        std::lock_guard guard(mutex_);
        exited_ = true;
        exitCondition_.notify_all();
    });
}

void ForwardingThread::stop()
{
    if (!thread_.joinable())
        return;
    stopRequested_.store(true, std::memory_order_release);
    std::unique_lock lock(mutex_);
    stopping_ = true;
    roomFreed_.notify_all();
    // An empty datagram of its own ends the wait. Should the network lose
    // them all, shutting the socket's reading down ends it too; only a socket
    // closed next may take that.
    const sockaddr_in to { AF_INET, htons(static_cast<std::uint16_t>(port_)), { htonl(INADDR_LOOPBACK) }, {} };
    for (int attempt = 0; attempt < 20 && !exited_; ++attempt) {
        sendto(wakeSocket_.get(), nullptr, 0, MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        exitCondition_.wait_for(lock, std::chrono::milliseconds(50), [this] { return exited_; });
    }
    if (!exited_)
        shutdown(fd_, SHUT_RD);
    lock.unlock();
    thread_.join();
    fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
    fd_ = -1;
    stopRequested_.store(false, std::memory_order_release);
    lock.lock();
    stopping_ = false;
}

void ForwardingThread::take(ReadBatch& batch)
{
    batch.clear();
    ready_.clear();
    {
        std::lock_guard guard(mutex_);
        std::swap(batch, waiting_);
        signalled_ = false;
        following_ = !batch.empty();
        waitingBytes_.store(0, std::memory_order_relaxed);
    }
    roomFreed_.notify_all();
}

void ForwardingThread::publish(std::shared_ptr<const ForwardPlan> plan)
{
    std::lock_guard guard(mutex_);
    plan_ = std::move(plan);
    published_.fetch_add(1, std::memory_order_release);
}

bool ForwardingThread::signalLocked(bool urgent)
{
    if (signalled_ || waiting_.empty() || !(urgent || !following_ || waiting_.datagrams.size() >= kApplyAt))
        return false;
    signalled_ = true;
    return true;
}

void ForwardingThread::run()
{
    while (!stopRequested_.load(std::memory_order_acquire)) {
        // Waits for the first, then takes what else is there.
        const int count = received_.receive(fd_, kBatch, MSG_WAITFORONE);
        if (count > 0) {
            handle(static_cast<unsigned>(count));
        } else if (count < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            // A pending error (an ICMP answer to an earlier send) is taken
            // with it, so the next read waits again.
            int error = 0;
            socklen_t length = sizeof error;
            getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length);
        }
    }
}

void ForwardingThread::hand(bool urgent)
{
    bool poke = false;
    {
        std::unique_lock lock(mutex_);
        roomFreed_.wait(lock, [this] { return stopping_ || waiting_.datagrams.size() < kMostWaiting; });
        const auto base = static_cast<std::uint32_t>(waiting_.bytes.size());
        waiting_.bytes.insert(waiting_.bytes.end(), read_.bytes.begin(), read_.bytes.end());
        for (ReadBatch::Datagram datagram : read_.datagrams) {
            datagram.offset += base;
            waiting_.datagrams.push_back(datagram);
        }
        waitingBytes_.store(waiting_.bytes.size(), std::memory_order_relaxed);
        poke = signalLocked(urgent || prompt_.load(std::memory_order_relaxed));
    }
    if (poke)
        ready_.raise();
}

void ForwardingThread::handle(unsigned count)
{
    if (const std::uint64_t published = published_.load(std::memory_order_acquire); published != planTaken_) {
        std::lock_guard guard(mutex_);
        planInUse_ = plan_;
        planTaken_ = published;
    }
    const ForwardPlan* plan = planInUse_.get();
    bool forwarding = plan && plan->forwardStatus && plan->version == version_.load(std::memory_order_acquire)
        && unhandled_.load(std::memory_order_acquire) == 0 && !console_.enabled();
    std::size_t handedOver = 0;
    read_.clear();
    // The forwards leave at the end of the scope, after the bookkeeping:
    // a sink woken by them then finds this thread going back to sleep,
    // rather than taking its CPU from it halfway.
    OutboxBatch forwards(outbox_);
    for (std::size_t at = 0; at < count; ++at) {
        const Bytes packet = received_.packet(at);
        const std::uint32_t from = received_.senders[at].sin_addr.s_addr;
        if (received_.sentBy(at, wakeFrom_))
            continue;
        ReadBatch::Datagram datagram { static_cast<std::uint32_t>(read_.bytes.size()),
            static_cast<std::uint32_t>(packet.size()), ntohl(from), ntohs(received_.senders[at].sin_port), {} };
        read_.bytes.insert(read_.bytes.end(), packet.begin(), packet.end());
        if (forwarding && GetMessageCode(packet) == MSG_STATUSREPORT && plan->senders.contains(from)) {
            std::uint64_t sent = 0;
            ForwardFacts facts { .forwardStatus = plan->forwardStatus, .senderAdmitted = true };
            for (const ForwardPlan::Target& target : plan->targets) {
                facts.isSender = target.sender == from;
                facts.type = target.type;
                facts.virtualSystem = target.virtualSystem;
                const ForwardShare share = ForwardShareOf(facts);
                if (share == ForwardShare::Sent)
                    outbox_.forwardUdp(target.target, packet);
                if (share != ForwardShare::None)
                    ++sent;
            }
            datagram.forwards = sent;
        } else {
            // What the main thread may change with this one decides
            // where the ones after it go.
            forwarding = false;
            ++handedOver;
        }
        read_.datagrams.push_back(datagram);
    }
    if (handedOver > 0)
        unhandled_.fetch_add(handedOver, std::memory_order_acq_rel);
    hand(handedOver > 0);
}

} // namespace korvel
