#pragma once

#include "bench_packet.h"

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace korvel::bench {

struct SendStats {
    std::uint64_t sent = 0;
    std::int64_t startNs = 0;
    std::int64_t endNs = 0;
    // Times the window stayed shut with nothing coming back and was reopened.
    std::uint64_t stalls = 0;
};

// Plays PBX systems: one socket per source address, each sending status
// reports to the relay's endpoint, round robin.
class LoadGenerator {
public:
    LoadGenerator(const std::vector<std::string>& sources, const sockaddr_in& target);
    ~LoadGenerator();
    LoadGenerator(const LoadGenerator&) = delete;
    LoadGenerator& operator=(const LoadGenerator&) = delete;

    // Keeps at most `window` reports in flight: in flight is what was sent
    // minus what `answered` says came back (in reports, not forwards).
    SendStats windowed(std::int64_t durationNs, std::uint64_t window, const std::function<std::uint64_t()>& answered);
    // One report every 1/rate seconds, evenly spaced.
    SendStats paced(std::int64_t durationNs, double ratePerSecond);
    // As fast as the sockets take them.
    SendStats blast(std::int64_t durationNs);
    // Reports sent since construction.
    std::uint64_t sent() const { return sequence_; }

private:
    std::size_t sendBatch(std::size_t count);

    std::vector<int> fds_;
    std::vector<ReportBuilder> builders_;
    sockaddr_in target_;
    std::uint64_t sequence_ = 0;
    std::size_t nextSource_ = 0;
};

} // namespace korvel::bench
