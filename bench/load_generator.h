#pragma once

#include "helper.h"

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace korvel::bench {

struct GeneratorPlan {
    enum class Mode {
        // At most `window` reports in flight: in flight is what was sent minus
        // `*answered / fanout` (what the sinks received, in reports).
        Windowed,
        // `rate` reports a second, evenly spaced.
        Paced,
        // As fast as the sockets take them.
        Blast,
    };
    Mode mode = Mode::Windowed;
    // One socket per source address, each sending status reports to `target`, round robin.
    std::vector<std::string> sources;
    sockaddr_in target {};
    std::uint64_t window = 256;
    const std::atomic<std::uint64_t>* answered = nullptr;
    std::uint64_t fanout = 1;
    double rate = 0;
    // Each pass over a system's stations gives them the next state, so that
    // the table keeps changing (the hub's observers see every report);
    // otherwise a station's state repeats from pass to pass.
    bool changingStates = false;
};

// Plays PBX systems from a process of its own, from construction until stop().
// Reports are numbered from 0 in the order they are sent.
class LoadGenerator {
public:
    explicit LoadGenerator(const GeneratorPlan& plan);
    ~LoadGenerator();
    LoadGenerator(const LoadGenerator&) = delete;
    LoadGenerator& operator=(const LoadGenerator&) = delete;

    int pid() const { return helper_.pid(); }
    std::uint64_t sent() const { return shared_->sent.load(std::memory_order_acquire); }
    // Times the window stayed shut with nothing coming back and the reports in
    // flight were written off.
    std::uint64_t stalls() const { return shared_->stalls.load(std::memory_order_relaxed); }
    // Stops sending and returns how many reports were sent.
    std::uint64_t stop();

private:
    struct Shared {
        std::atomic<std::uint64_t> sent;
        std::atomic<std::uint64_t> stalls;
        std::atomic<int> ready;
        std::atomic<int> stop;
    };
    int run(const GeneratorPlan& plan);

    Helper helper_;
    Shared* shared_ = nullptr;
};

} // namespace korvel::bench
