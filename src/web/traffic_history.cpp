#include "traffic_history.h"

namespace korvel {

TrafficHistory::TrafficHistory(TrafficCounters& counters)
    : counters_(counters)
    , sentTotal_(counters.SentBytesTotal())
    , receivedTotal_(counters.ReceivedBytesTotal())
{
}

const TrafficHistory::Sample& TrafficHistory::sample(std::int64_t timeMs, std::uint64_t receiveQueueBytes)
{
    const std::uint64_t sent = counters_.SentBytesTotal();
    const std::uint64_t received = counters_.ReceivedBytesTotal();
    samples_.push_back(Sample { timeMs, sent - sentTotal_, received - receivedTotal_,
        counters_.LiveSenderCount.load(std::memory_order_relaxed), receiveQueueBytes });
    sentTotal_ = sent;
    receivedTotal_ = received;
    if (samples_.size() > kSamples)
        samples_.pop_front();
    return samples_.back();
}

QJsonArray TrafficHistory::ToJson(const Sample& sample)
{
    return QJsonArray { static_cast<qint64>(sample.time), static_cast<qint64>(sample.sent),
        static_cast<qint64>(sample.received), sample.senders, static_cast<qint64>(sample.receiveQueueBytes) };
}

} // namespace korvel
