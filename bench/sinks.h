#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace korvel::bench {

struct SinkAddress {
    std::string address;
    int port = 0;
};

// The systems the relay forwards to: one socket each, all read by one thread
// that counts our reports and, while recording, the latency of each one from
// its send stamp to the kernel's receive time stamp.
class Sinks {
public:
    explicit Sinks(const std::vector<SinkAddress>& addresses);
    ~Sinks();
    Sinks(const Sinks&) = delete;
    Sinks& operator=(const Sinks&) = delete;

    std::size_t size() const { return fds_.size(); }
    std::uint64_t delivered() const { return delivered_.load(std::memory_order_acquire); }
    std::vector<std::uint64_t> perSink() const;

    void startRecording(std::size_t expected);
    // Stops recording and returns the latencies in nanoseconds.
    std::vector<std::int64_t> stopRecording();

private:
    void run();

    std::vector<int> fds_;
    int epollFd_ = -1;
    int stopFd_ = -1;
    std::atomic<std::uint64_t> delivered_ { 0 };
    std::vector<std::atomic<std::uint64_t>> perSink_;
    std::atomic<bool> recording_ { false };
    std::mutex latencyMutex_; // guards latencies_
    std::vector<std::int64_t> latencies_;
    std::thread thread_;
};

} // namespace korvel::bench
