#pragma once

#include "helper.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace korvel::bench {

struct SinkAddress {
    std::string address;
    int port = 0;
};

// One forward that arrived: when its report was sent (CLOCK_REALTIME) and how
// long it took from there to the kernel's receive stamp at the sink.
struct LatencySample {
    std::int64_t sentNs = 0;
    std::int64_t latencyNs = 0;
};

// The systems the relay forwards to: one socket each, all read by one process
// of their own. Each sink notes every report of ours by its sequence number,
// so that a duplicate cannot hide a loss; with `recordLatency` it also keeps
// the latency of every forward.
class Sinks {
public:
    Sinks(const std::vector<SinkAddress>& addresses, bool recordLatency, const std::filesystem::path& work);
    ~Sinks();
    Sinks(const Sinks&) = delete;
    Sinks& operator=(const Sinks&) = delete;

    std::size_t size() const { return count_; }
    int pid() const { return helper_.pid(); }
    // Reports of ours received by all sinks together, duplicates included.
    std::uint64_t delivered() const { return shared_->delivered.load(std::memory_order_acquire); }
    const std::atomic<std::uint64_t>* deliveredCounter() const { return &shared_->delivered; }
    // Returns once `expected` reports have arrived (duplicates included), or
    // nothing more has for a second: what is missing then is lost.
    void settle(std::uint64_t expected) const;

    struct Result {
        // Per sink: distinct reports received, and copies beyond the first.
        std::vector<std::uint64_t> distinct;
        std::uint64_t duplicates = 0;
        std::vector<LatencySample> samples;
        // Of `sent` reports (sequence numbers 0 to sent-1) to every sink, how
        // many did not arrive, summed over the sinks.
        std::uint64_t lost(std::uint64_t sent) const;
    };
    // Stops the process and collects what it counted.
    Result finish();

private:
    struct Shared {
        std::atomic<std::uint64_t> delivered;
        std::atomic<int> ready;
        std::atomic<std::uint64_t> duplicates;
        // Followed by the distinct count of each sink.
        std::uint64_t* distinct() { return reinterpret_cast<std::uint64_t*>(this + 1); }
    };
    int run(const std::vector<SinkAddress>& addresses, bool recordLatency);

    std::size_t count_;
    std::filesystem::path samplesFile_;
    int stopFd_ = -1;
    Helper helper_;
    Shared* shared_ = nullptr;
};

} // namespace korvel::bench
