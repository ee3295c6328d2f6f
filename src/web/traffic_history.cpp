#include "traffic_history.h"

namespace korvel {

TrafficHistory::TrafficHistory(TrafficCounters& counters)
    : counters_(counters)
    , sentTotal_(counters.sentBytesTotal())
    , receivedTotal_(counters.receivedBytesTotal())
    , packetsTotal_(ReceivedPackets(counters))
{
}

const TrafficHistory::Sample& TrafficHistory::sample(std::int64_t timeMs, std::uint64_t receiveQueueBytes)
{
    const std::uint64_t sent = counters_.sentBytesTotal();
    const std::uint64_t received = counters_.receivedBytesTotal();
    const std::uint64_t packets = ReceivedPackets(counters_);
    samples_.push_back(
        Sample { timeMs, sent - sentTotal_, received - receivedTotal_, packets - packetsTotal_, receiveQueueBytes });
    sentTotal_ = sent;
    receivedTotal_ = received;
    packetsTotal_ = packets;
    if (samples_.size() > kSamples)
        samples_.pop_front();
    return samples_.back();
}

std::uint64_t TrafficHistory::ReceivedPackets(const TrafficCounters& counters)
{
    std::uint64_t total = 0;
    for (const auto& endpoint : counters.Datagrams)
        for (std::uint64_t count : endpoint)
            total += count;
    for (std::uint64_t count : counters.TcpRequests)
        total += count;
    return total;
}

QJsonArray TrafficHistory::ToJson(const Sample& sample)
{
    return QJsonArray { static_cast<qint64>(sample.time), static_cast<qint64>(sample.sent),
        static_cast<qint64>(sample.received), static_cast<qint64>(sample.packets),
        static_cast<qint64>(sample.receiveQueueBytes) };
}

} // namespace korvel
