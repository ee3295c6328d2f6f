#pragma once

#include "base/thread_check.h"
#include "log/console_log.h"
#include "net/event_signal.h"
#include "net/unique_fd.h"
#include "relay/name_cache.h"
#include "relay/outbox.h"
#include "relay/traffic_counters.h"

#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace korvel {

// One-shot sends without a thread per packet. Each send is a job: the caller's
// bytes are copied, the call returns at once, and a single worker thread sends
// UDP datagrams straight away and drives TCP connects without blocking, each
// with its own time-out, so a dead destination holds up nobody else.
// A job counts in LiveSenderCount from the call until it has finished, and
// adds its length to SentByteCount when it ends, whether it worked or not.
// Consecutive jobs with the same bytes (one packet forwarded to every system)
// share one copy, and the worker hands the kernel many datagrams per call.
// A datagram to a numeric address with nothing queued ahead of it is sent
// from the calling thread without blocking, counted and reported the same
// way; the worker takes the rest (names to look up, a full socket buffer,
// whatever queues behind them) and every TCP send.
// Forwards (forwardUdp) go to a destination resolved beforehand; those of one
// batch (beginBatch to endBatch) are held on the calling thread and handed
// to the kernel in as few calls as it takes, counted once, in order. Once a
// batch has spent its share of the calling thread in the kernel (a report
// forwarded to thousands of systems), the rest goes to the worker in one
// hand-over, so the caller's event loop is never held for long.
// It is the hub's outbox; the sends that fail are reported to the handler it
// was built with.
class SenderEngine : public Outbox {
public:
    // Told the destination and the system the send was for.
    using FailureHandler = std::function<void(const std::string& host, const std::string& system)>;

    struct Options {
        int tcpConnectTimeoutMs = 10000;
        // Jobs waiting beyond this are dropped (and counted) instead of queued,
        // so a flood cannot exhaust memory.
        std::size_t maxQueuedJobs = 1 << 18;
        std::size_t maxPendingConnects = 4096;
        // A batch's share of the forwarding thread for sending: past it the
        // worker sends the rest. Ten systems take some 50 us, ten thousand up
        // to 30 ms, which the event loop must not be held for.
        std::chrono::microseconds directSendBudget { 2000 };
        NameCache::Options names;
    };

    // `onFailure` is called after a failure was logged, on the worker thread
    // (or the caller's, for a datagram sent at once), so it must hand the
    // work to the main thread itself.
    SenderEngine(TrafficCounters& counters, ConsoleLog& console);
    SenderEngine(TrafficCounters& counters, ConsoleLog& console, Options options, FailureHandler onFailure = {});
    ~SenderEngine() override;
    SenderEngine(const SenderEngine&) = delete;
    SenderEngine& operator=(const SenderEngine&) = delete;

    using Outbox::sendTcp;
    using Outbox::sendUdp;
    void sendUdp(const std::string& host, int port, Bytes bytes, const std::string& system) override;
    void sendTcp(const std::string& host, int port, Bytes bytes, const std::string& system) override;
    void forwardUdp(const ForwardTarget& target, Bytes bytes) override;
    void beginBatch() override;
    void endBatch() override;

    std::uint64_t droppedJobs() const { return dropped_.load(std::memory_order_relaxed); }
    // Sends accepted and not yet on their way: queued, or waiting for their
    // name (connects under way are not counted).
    std::int64_t queuedJobs() const
    {
        return std::max<std::int64_t>(
            0, counters_.LiveSenderCount.load(std::memory_order_relaxed) - connecting_.load(std::memory_order_relaxed));
    }

private:
    struct Job;
    struct Pending;
    struct Forward {
        sockaddr_in address;
        std::uint32_t offset;
        std::uint32_t length;
        std::string host;
        int port;
        std::string system;
    };
    void flushForwards();
    // Forwards from forwards_[from] on go to the worker, behind what it has.
    void handOffForwards(std::size_t from);
    // Counts and logs a failure (with its kind's line, or with `format` when
    // given) and tells the hub.
    void reportFailure(
        const std::string& host, const std::string& system, SendFailure kind, const char* format = nullptr);
    using Payload = std::vector<std::uint8_t>;
    // What became of a job on its way to an address.
    enum class Route { Ready, Finished, Parked };
    void enqueue(bool tcp, const std::string& host, int port, Bytes bytes, const std::string& system);
    bool sendNow(const std::string& host, int port, Bytes bytes, const std::string& system);
    void run();
    Route route(Job& job, sockaddr_in& address);
    void releaseParked(std::vector<Job>& datagrams, std::deque<Job>& connects);
    void reportDrops(std::chrono::steady_clock::time_point now);
    void sendDatagrams(std::vector<Job>& jobs);
    void startConnect(Job&& job);
    void finishConnect(std::size_t index, bool writable, bool timedOut);
    void finish(Job& job, std::optional<SendFailure> failure = std::nullopt, const char* format = nullptr);
    void finish(const std::string& host, const std::string& system, std::size_t length,
        std::optional<SendFailure> failure, const char* format = nullptr);
    void wake();

    TrafficCounters& counters_;
    ConsoleLog& console_;
    const Options options_;
    const FailureHandler onFailure_;
    std::mutex mutex_; // guards queue_, lastPayload_, stopping_
    std::vector<Job> queue_;
    std::shared_ptr<const Payload> lastPayload_;
    bool stopping_ = false;
    std::atomic<std::uint64_t> dropped_ { 0 };
    std::atomic<std::uint64_t> unreportedDrops_ { 0 };
    // Datagrams queued or being sent by the worker.
    std::atomic<std::int32_t> queuedUdp_ { 0 };
    std::atomic<std::int64_t> connecting_ { 0 }; // pending_.size(), for other threads
    EventSignal wake_;
    UniqueFd udpSocket_;
    NameCache names_;
    // Worker thread only: connects under way, sends waiting for their name,
    // when queue drops may next be reported.
    std::vector<Pending> pending_;
    std::unordered_map<std::string, std::vector<Job>> parked_;
    std::chrono::steady_clock::time_point nextDropReport_;
    // Made by the worker as it starts: the steps that touch the fields above check it.
    std::optional<ThreadCheck> workerOnly_;
    // The forwarding thread's batch: the datagrams, their bytes (one copy of
    // each packet), and the kernel's message array, all reused.
    std::atomic<std::thread::id> forwardThread_ {};
    int batchDepth_ = 0;
    // The thread that opened the batch: its forwards and its end come from it.
    std::optional<ThreadCheck> batchOwner_;
    // Time this batch has spent sending on the forwarding thread.
    std::chrono::steady_clock::duration directSending_ {};
    // Forwards this batch has sent on the forwarding thread.
    std::size_t directSent_ = 0;
    std::vector<Forward> forwards_;
    std::vector<std::uint8_t> forwardBytes_;
    std::uint32_t lastForwardOffset_ = 0;
    std::vector<mmsghdr> forwardMessages_;
    std::vector<iovec> forwardVectors_;
    std::thread worker_;
};

} // namespace korvel
