#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

namespace korvel {

// What this hub tells the other hubs, batched into stream entries and kept
// until Redis has taken each one: a lost connection sends the unanswered
// entries again, and a Redis that lost its data (a restart, a failover) gets
// the recent ones again. Readers drop an entry they have had by its sequence
// number, so sending one twice is harmless. Bounded in count and age.
class ClusterOutbox {
public:
    using Clock = std::chrono::steady_clock;
    struct Entry {
        std::uint64_t sequence = 0;
        // Encoded cluster messages, each after a four-byte length.
        std::string messages;
        std::uint32_t count = 0;
        // Of them, packets relayed for the other hubs' systems.
        std::uint32_t reports = 0;
        Clock::time_point queuedAt;
        // Sent once: what Redis may have taken under its number takes no more.
        bool sealed = false;
    };

    ClusterOutbox(std::size_t maxMessages, std::chrono::milliseconds maxAge);

    void add(std::string_view message, bool report, Clock::time_point now);
    // The next entry to send on this connection, or null; entries older than
    // the age bound are dropped instead of sent.
    const Entry* next(Clock::time_point now);
    // Redis took the oldest entry sent and not yet answered.
    void acknowledged(Clock::time_point now);
    // The last entry from next() could not be sent after all.
    void unsend()
    {
        if (sent_ > 0)
            --sent_;
    }
    // The connection went: what it did not answer goes again, in order.
    void connectionLost();
    // Redis lost what it took: the entries it took within the age bound go again.
    void replay(Clock::time_point now);
    std::size_t inFlight() const { return sent_; }
    // Messages waiting for Redis, sent or not.
    std::size_t queued() const { return queued_; }
    // Messages dropped for the count or the age bound since start-up.
    std::uint64_t dropped() const { return dropped_; }

    // Splits an entry's messages again; false for bytes no outbox wrote.
    template <typename Each> static bool ForEachMessage(std::string_view messages, Each each);

private:
    void drop(std::deque<Entry>::iterator entry);
    void trimTaken(Clock::time_point now);

    std::size_t maxMessages_;
    Clock::duration maxAge_;
    std::deque<Entry> waiting_;
    // The first sent_ entries of waiting_ are on the wire.
    std::size_t sent_ = 0;
    // Taken by Redis lately, kept for a replay.
    std::deque<Entry> taken_;
    std::size_t queued_ = 0;
    std::uint64_t dropped_ = 0;
    std::uint64_t sequence_ = 0;
};

template <typename Each> bool ClusterOutbox::ForEachMessage(std::string_view messages, Each each)
{
    while (!messages.empty()) {
        if (messages.size() < 4)
            return false;
        const auto* bytes = reinterpret_cast<const unsigned char*>(messages.data());
        const std::size_t length = std::size_t { bytes[0] } << 24 | std::size_t { bytes[1] } << 16
            | std::size_t { bytes[2] } << 8 | std::size_t { bytes[3] };
        if (messages.size() - 4 < length)
            return false;
        each(messages.substr(4, length));
        messages.remove_prefix(4 + length);
    }
    return true;
}

} // namespace korvel

#include <unordered_map>

namespace korvel {

// The newest entry taken from each hub, by that hub's start and sequence
// number: an entry sent twice, or read again after a reconnection, is had once.
class SeenEntries {
public:
    // True the first time an entry of `node` is seen; false for one already had.
    bool fresh(const std::string& node, std::uint64_t start, std::uint64_t sequence);

private:
    struct Mark {
        std::uint64_t start = 0;
        std::uint64_t sequence = 0;
        std::uint64_t touched = 0;
    };
    std::unordered_map<std::string, Mark> marks_;
    std::uint64_t clock_ = 0;
};

} // namespace korvel
