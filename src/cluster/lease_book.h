#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace korvel {

// The systems this hub holds a lease on in Redis, and which hub holds the
// others as far as this hub has heard. A hub forwards to a system only while
// its lease is good: taken or renewed less than a lease ago, counted from when
// the request left. Cut off from Redis (an island), it keeps serving what it
// held and what nobody holds: it cannot tell Redis down (nobody takes them
// over) from itself cut off (another hub may), and a report twice is better
// than none.
class LeaseBook {
public:
    using Clock = std::chrono::steady_clock;

    explicit LeaseBook(std::chrono::milliseconds lease);

    // Redis gave or renewed `ip`'s lease to this hub under `fence`, for a request sent at `sentAt`.
    void held(const std::string& ip, std::uint64_t fence, Clock::time_point sentAt);
    // Redis says this hub does not hold `ip`: true if it thought it did.
    bool lost(const std::string& ip);
    // Another hub took `ip` under `fence`; an older fence than one known is
    // stale. True if this hub held it.
    bool heldElsewhere(const std::string& ip, const std::string& node, std::uint64_t fence);
    void forget(const std::string& ip);
    void clear();
    // This hub stood still longer than a lease: nothing is served until renewed.
    void expireAll();
    void setIsland(bool island) { island_ = island; }
    bool island() const { return island_; }

    bool serves(const std::string& ip, Clock::time_point now) const;
    bool holds(const std::string& ip) const { return mine_.contains(ip); }
    std::uint64_t fence(const std::string& ip) const
    {
        const auto mine = mine_.find(ip);
        return mine == mine_.end() ? 0 : mine->second.fence;
    }
    // The node serving `ip` as far as this hub knows; empty if none.
    std::string holder(const std::string& ip, const std::string& self) const;
    std::size_t size() const { return mine_.size(); }
    std::vector<std::pair<std::string, std::uint64_t>> mine() const;
    // Leases this hub holds that are no longer good at `now`.
    std::vector<std::string> expired(Clock::time_point now) const;

private:
    struct Lease {
        std::uint64_t fence = 0;
        Clock::time_point goodUntil;
    };
    struct Other {
        std::string node;
        std::uint64_t fence = 0;
    };
    Clock::duration lease_;
    std::unordered_map<std::string, Lease> mine_;
    std::unordered_map<std::string, Other> others_;
    bool island_ = true;
};

} // namespace korvel
