#pragma once

#include "log/console_log.h"
#include "net/event_signal.h"
#include "net/unique_fd.h"
#include "protocol/wire_format.h"
#include "relay/forward_rule.h"
#include "relay/outbox.h"
#include "relay/receive_buffers.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_set>
#include <vector>

namespace korvel {

// What the forwarding thread may do without the main thread: forward the
// status reports of systems the table knows and lets in, to the table's
// systems as they stood at `version`. The main thread builds it.
struct ForwardPlan {
    struct Target {
        ForwardTarget target;
        // The system's address as a datagram from it shows (network order);
        // unset when the table's text is no plain address, so no sender matches.
        std::optional<std::uint32_t> sender;
        // The system's type: with the sender, what ForwardShareOf reads.
        std::int32_t type = kTypeQvx;
        bool virtualSystem = false;
    };
    std::uint64_t version = 0;
    bool forwardStatus = false;
    // Network order.
    std::unordered_set<std::uint32_t> senders;
    // In the table's order, every entry (whatever it forwards) once.
    std::vector<Target> targets;
};

// Datagrams read by the forwarding thread, in order, for the main thread.
struct ReadBatch {
    struct Datagram {
        std::uint32_t offset = 0;
        std::uint32_t length = 0;
        // Host order.
        std::uint32_t fromAddress = 0;
        int fromPort = 0;
        // Systems it was forwarded to already; unset when the main thread
        // must handle it from the start (forwards included).
        std::optional<std::uint64_t> forwards;
    };
    std::vector<std::uint8_t> bytes;
    std::vector<Datagram> datagrams;

    Bytes packet(const Datagram& datagram) const { return Bytes(bytes.data() + datagram.offset, datagram.length); }
    bool empty() const { return datagrams.empty(); }
    void clear()
    {
        bytes.clear();
        datagrams.clear();
    }
};

// Reads one UDP endpoint on a thread of its own, so that a status report is
// forwarded as soon as it arrives, whatever the event loop is doing: one
// recvmmsg and one sendmmsg per wake-up. Everything else a
// datagram does (the table, the trace, answers, counters) is the main
// thread's, which takes what was read in order: at once when a datagram needs
// it or the main thread is not coming back anyway; while it takes something
// every kApplyDelay, the rest waits for that. A steady stream of reports
// wakes the main thread a hundred times a second rather than once per report.
// A report is forwarded here only while the plan is current and nothing read
// before it waits for the main thread; else it waits its turn there, so the
// forwards leave in the order the datagrams came.
class ForwardingThread {
public:
    static constexpr auto kApplyDelay = std::chrono::milliseconds(10);
    // Datagrams read and not yet taken: beyond this the thread stops reading
    // until the main thread has taken them, and the kernel's queue holds the rest.
    static constexpr std::size_t kMostWaiting = 1 << 16;

    // `outbox` is this thread's alone (its batches come from this thread);
    // `console` only tells whether the trace is on, in which case every
    // datagram goes to the main thread, which traces the forwards it sends.
    ForwardingThread(Outbox& outbox, const ConsoleLog& console);
    ~ForwardingThread();
    ForwardingThread(const ForwardingThread&) = delete;
    ForwardingThread& operator=(const ForwardingThread&) = delete;

    // Starts reading the bound descriptor `fd` (which stays its owner's).
    void start(int fd);
    // Stops and joins the thread; what it read stays to be taken.
    void stop();
    bool running() const { return thread_.joinable(); }
    // Where the wake-ups that end the thread's wait come from. One sent as
    // the thread was ending anyway stays in the socket for its next reader.
    const sockaddr_in& wakeSender() const { return wakeFrom_; }

    // The main thread's side. Readable when there is something to take.
    int readyFd() const { return ready_.fd(); }
    // Swaps what waits into `batch` (emptied first), and clears readyFd.
    // After a batch that was not empty the caller takes again within
    // kApplyDelay; after an empty one, readyFd tells it when.
    void take(ReadBatch& batch);
    // Bytes of the datagrams read and not yet taken.
    std::size_t waitingBytes() const { return waitingBytes_.load(std::memory_order_relaxed); }
    // While someone follows the table's changes as they happen (SIP
    // watchers), every read wakes the main thread at once instead of within
    // kApplyDelay.
    void setPrompt(bool prompt) { prompt_.store(prompt, std::memory_order_relaxed); }
    // Whatever the table changed, the plan in use now is stale.
    void invalidate() { version_.fetch_add(1, std::memory_order_acq_rel); }
    std::uint64_t version() const { return version_.load(std::memory_order_acquire); }
    void publish(std::shared_ptr<const ForwardPlan> plan);
    // Datagrams handed over whole were handled by the main thread, and the
    // plan published since then says what they changed.
    void handled(std::size_t count) { unhandled_.fetch_sub(count, std::memory_order_acq_rel); }

private:
    void run();
    void handle(unsigned count);
    // Queues what read_ holds for the main thread; `urgent` wakes it now.
    void hand(bool urgent);
    // Under mutex_: whether to wake the main thread now, once until it takes.
    bool signalLocked(bool urgent);

    static constexpr unsigned kBatch = 64;
    // This many waiting wake the main thread before kApplyDelay is up.
    static constexpr std::size_t kApplyAt = 1024;

    Outbox& outbox_;
    const ConsoleLog& console_;
    EventSignal ready_;
    // Sends the empty datagram that ends a read for stop().
    UniqueFd wakeSocket_;
    sockaddr_in wakeFrom_ {};
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stopRequested_ { false };
    std::atomic<bool> prompt_ { false };
    std::atomic<std::uint64_t> version_ { 1 };
    // Datagrams handed over whole and not yet handled.
    std::atomic<std::size_t> unhandled_ { 0 };
    std::atomic<std::size_t> waitingBytes_ { 0 };

    // Plans published so far; the thread takes plan_ again when it moved.
    std::atomic<std::uint64_t> published_ { 0 };

    std::mutex mutex_; // guards the fields down to exitCondition_
    ReadBatch waiting_;
    std::shared_ptr<const ForwardPlan> plan_;
    bool signalled_ = false;
    // The main thread took something last time, and so comes back.
    bool following_ = false;
    bool stopping_ = false;
    bool exited_ = false;
    std::condition_variable roomFreed_;
    std::condition_variable exitCondition_;

    // The thread's own.
    std::shared_ptr<const ForwardPlan> planInUse_;
    std::uint64_t planTaken_ = 0;
    ReadBatch read_;
    ReceiveBuffers<kBatch> received_;
    std::thread thread_;
};

} // namespace korvel
