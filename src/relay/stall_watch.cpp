#include "stall_watch.h"

#include <QTimer>

#include <algorithm>

namespace korvel {

std::optional<std::int64_t> StallMeter::fired(std::int64_t nowMs)
{
    if (!due_)
        return std::nullopt;
    // A tick is never early by design; the clock's rounding can make it look so.
    const std::int64_t lag = std::max<std::int64_t>(0, nowMs - *due_);
    due_.reset();
    longest_ = std::max(longest_, lag);
    const std::int64_t second = nowMs / 1000;
    Second& slot = recent_[static_cast<std::size_t>(second % kRecentSeconds)];
    if (slot.second != second)
        slot = Second { second, 0 };
    slot.longest = std::max(slot.longest, lag);
    if (lag > threshold_)
        return lag;
    return std::nullopt;
}

std::int64_t StallMeter::recentLongest(std::int64_t nowMs) const
{
    const std::int64_t second = nowMs / 1000;
    std::int64_t longest = 0;
    for (const Second& slot : recent_) {
        if (slot.second > second - kRecentSeconds && slot.second <= second)
            longest = std::max(longest, slot.longest);
    }
    return longest;
}

StallWatch::StallWatch(std::FILE* stream, QObject* parent)
    : QObject(parent)
    , stream_(stream)
    , timer_(new QTimer(this))
{
    // Re-armed from each tick, so one long stall counts once and the next
    // tick is measured from when the loop got back.
    timer_->setSingleShot(true);
    timer_->setTimerType(Qt::PreciseTimer);
    timer_->setInterval(kIntervalMs);
    connect(timer_, &QTimer::timeout, this, &StallWatch::tick);
}

void StallWatch::start()
{
    clock_.start();
    meter_.armed(clock_.elapsed());
    timer_->start();
}

void StallWatch::tick()
{
    const auto lag = meter_.fired(clock_.elapsed());
    if (lag && stream_) {
        std::fprintf(stream_, "korvel: event loop stalled for %lld ms\n", static_cast<long long>(*lag));
        std::fflush(stream_);
    }
    meter_.armed(clock_.elapsed());
    timer_->start();
}

std::int64_t StallWatch::recentLongest() const
{
    return clock_.isValid() ? meter_.recentLongest(clock_.elapsed()) : 0;
}

void StallWatch::finish()
{
    if (finished_ || !clock_.isValid())
        return;
    finished_ = true;
    timer_->stop();
    if (!stream_)
        return;
    std::fprintf(stream_, "korvel: longest event-loop stall %lld ms\n", static_cast<long long>(meter_.longest()));
    std::fflush(stream_);
}

} // namespace korvel
