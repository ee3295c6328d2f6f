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
    if (lag > threshold_)
        return lag;
    return std::nullopt;
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
    if (const auto lag = meter_.fired(clock_.elapsed())) {
        std::fprintf(stream_, "korvel: event loop stalled for %lld ms\n", static_cast<long long>(*lag));
        std::fflush(stream_);
    }
    meter_.armed(clock_.elapsed());
    timer_->start();
}

void StallWatch::finish()
{
    if (finished_ || !clock_.isValid())
        return;
    finished_ = true;
    timer_->stop();
    std::fprintf(stream_, "korvel: longest event-loop stall %lld ms\n", static_cast<long long>(meter_.longest()));
    std::fflush(stream_);
}

} // namespace korvel
