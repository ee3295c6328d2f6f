#pragma once

#include "relay/traffic_counters.h"

#include <QJsonArray>

#include <cstdint>
#include <deque>

namespace korvel {

// One sample a second of what the window's graph shows: bytes sent and
// received and packets received in that second, kept for five minutes;
// with the datagrams waiting to be read at its end.
class TrafficHistory {
public:
    static constexpr std::size_t kSamples = 300;

    struct Sample {
        std::int64_t time = 0; // milliseconds since the epoch
        std::uint64_t sent = 0;
        std::uint64_t received = 0;
        std::uint64_t packets = 0; // received
        std::uint64_t receiveQueueBytes = 0;
    };

    explicit TrafficHistory(TrafficCounters& counters);

    // Takes one sample now; returns it.
    const Sample& sample(std::int64_t timeMs, std::uint64_t receiveQueueBytes = 0);
    const std::deque<Sample>& samples() const { return samples_; }
    std::uint64_t sentTotal() const { return sentTotal_; }
    std::uint64_t receivedTotal() const { return receivedTotal_; }

    static QJsonArray ToJson(const Sample& sample);
    // Datagrams and TCP requests received since start, of every endpoint. Main thread only.
    static std::uint64_t ReceivedPackets(const TrafficCounters& counters);

private:
    TrafficCounters& counters_;
    std::uint64_t sentTotal_ = 0;
    std::uint64_t receivedTotal_ = 0;
    std::uint64_t packetsTotal_ = 0;
    std::deque<Sample> samples_;
};

} // namespace korvel
