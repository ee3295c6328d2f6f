#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>

namespace korvel {

// Bytes of answers the hub may send to one address: a token bucket per
// address, so that requests with a forged source address cannot turn the hub
// into an amplifier aimed at that address. An address without a bucket has a
// full one, so buckets that have filled up again are forgotten.
class AnswerBudget {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    struct Options {
        // An exchange that registers 3,000 stations and fetches all its pages
        // at once takes about 100 KB of answers.
        std::uint32_t burstBytes = 128 * 1024;
        std::uint32_t bytesPerSecond = 64 * 1024;
        // Buckets kept at most; beyond that, answers to new addresses wait
        // until expire() has made room.
        std::size_t maxAddresses = 65536;
    };

    AnswerBudget();
    explicit AnswerBudget(Options options);
    void setClock(Clock clock) { clock_ = std::move(clock); }
    const Options& options() const { return options_; }

    // Takes `bytes` from the address's bucket. False when it does not hold
    // them: the answer is then held back. A burst of 0 turns the limit off.
    bool take(const std::string& address, std::size_t bytes);
    // Forgets the buckets that have filled up again.
    void expire();
    std::size_t addresses() const { return buckets_.size(); }

    // The address of the last answer held back.
    const std::string& lastHeldBack() const { return lastHeldBack_; }

private:
    struct Bucket {
        double tokens = 0;
        std::chrono::steady_clock::time_point filled;
    };
    double refilled(const Bucket& bucket, std::chrono::steady_clock::time_point now) const;

    Options options_;
    Clock clock_;
    std::unordered_map<std::string, Bucket> buckets_;
    std::string lastHeldBack_;
};

} // namespace korvel
