#pragma once

#include <QElapsedTimer>
#include <QObject>

#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>

class QTimer;

namespace korvel {

// How late a tick comes, against the moment it was due. A tick that comes
// more than the threshold late means the event loop was busy for that long
// with something else: a stall that the operator would have felt.
class StallMeter {
public:
    StallMeter(std::int64_t intervalMs, std::int64_t thresholdMs)
        : interval_(intervalMs)
        , threshold_(thresholdMs)
    {
    }

    // The tick was armed at `nowMs` and is due one interval later.
    void armed(std::int64_t nowMs) { due_ = nowMs + interval_; }
    // The tick came at `nowMs`: its lag, when that is a stall.
    std::optional<std::int64_t> fired(std::int64_t nowMs);
    std::int64_t longest() const { return longest_; }
    // The longest lag of the ticks that came in the last kRecentSeconds
    // seconds before `nowMs`.
    std::int64_t recentLongest(std::int64_t nowMs) const;

    static constexpr int kRecentSeconds = 10;

private:
    std::int64_t interval_;
    std::int64_t threshold_;
    std::optional<std::int64_t> due_;
    std::int64_t longest_ = 0;
    // The longest lag of each of the last seconds, by second modulo the count.
    struct Second {
        std::int64_t second = -1;
        std::int64_t longest = 0;
    };
    std::array<Second, kRecentSeconds> recent_ {};
};

// `--report-stalls`: a tick on the main thread every few milliseconds; each
// stall over 100 ms is one line on the stream, and finish() adds the longest
// lag seen. With no stream it only measures (for the metrics).
class StallWatch : public QObject {
    Q_OBJECT

public:
    static constexpr int kIntervalMs = 10;
    static constexpr int kThresholdMs = 100;

    explicit StallWatch(std::FILE* stream = stderr, QObject* parent = nullptr);

    void start();
    void finish();
    // The longest lag of the last ten seconds, in milliseconds.
    std::int64_t recentLongest() const;

private:
    void tick();

    std::FILE* stream_;
    QTimer* timer_;
    QElapsedTimer clock_;
    StallMeter meter_ { kIntervalMs, kThresholdMs };
    bool finished_ = false;
};

} // namespace korvel
