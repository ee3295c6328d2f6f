#pragma once

#include "base/result.h"
#include "sip/lamp.h"

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace korvel {

inline constexpr std::uint32_t kSipMinExpires = 60;
inline constexpr std::uint32_t kSipMaxExpires = 3600;
// Consecutive NOTIFYs that time out or get a 5xx before the subscription ends.
inline constexpr int kSipMaxNotifyFailures = 5;

// What a SUBSCRIBE's Expires gets: 200 with the granted time (0: the
// subscription ends), or 423 below the minimum.
struct ExpiresDecision {
    int status = 200;
    std::uint32_t granted = 0;
};
ExpiresDecision DecideExpires(std::optional<std::uint32_t> requested);

// One subscription's NOTIFYs: at most one in flight, so they are never
// reordered; changes while one is in flight collapse into one more NOTIFY
// with the newest state. A NOTIFY that times out or gets a 5xx is tried
// again with the newest state after a back-off.
class NotifyPipeline {
public:
    enum class Next : std::uint8_t { Wait, SendNow, RetryLater, End };

    // The state moved on: SendNow when nothing is in flight.
    Next changed();
    // The caller has sent the newest state.
    void sent();
    // The answer to the NOTIFY in flight (408 for a timeout).
    Next answered(int status);
    // The back-off of RetryLater is over.
    Next retryDue();
    // Milliseconds to wait after RetryLater: 1 s, doubling.
    int retryDelayMs() const { return 1000 << (failures_ > 0 ? failures_ - 1 : 0); }
    bool inFlight() const { return inFlight_; }
    bool due() const { return due_; }
    int failures() const { return failures_; }

private:
    bool inFlight_ = false;
    bool due_ = false;
    bool waiting_ = false;
    int failures_ = 0;
};

// A dialog subscription as the hub keeps it, whatever carries its messages.
struct SipSubscription {
    std::uint64_t id = 0;
    SipEvent event = SipEvent::Dialog;
    std::string station;
    std::string entity;
    std::string callId;
    std::string localTag;
    std::string remoteTag;
    std::string localUri;
    std::string remoteUri;
    std::string remoteTarget;
    std::vector<std::string> routeSet;
    // Where its requests came from: answers and NOTIFYs go back there.
    std::string sourceAddress;
    std::uint16_t sourcePort = 0;
    std::string transport; // "udp", "tcp", "tls"
    std::uint32_t cseq = 0;
    std::uint32_t version = 0;
    std::int64_t expiresAtMs = 0;
    NotifyPipeline pipeline;
    // When the oldest change not yet told happened (steady microseconds), or 0.
    std::int64_t changedAtUs = 0;
    // The transport layer's handle of the dialog.
    std::shared_ptr<void> link;
};

// Every subscription, by dialog and by station, within the bounds.
class SubscriptionBook {
public:
    SubscriptionBook(std::size_t maxTotal, std::size_t maxPerSource);

    // Adds a subscription; fails at either bound.
    Result<SipSubscription*> add(SipSubscription subscription);
    SipSubscription* find(const std::string& callId, const std::string& localTag, const std::string& remoteTag);
    SipSubscription* byId(std::uint64_t id);
    void remove(std::uint64_t id);
    // The subscription's requests now come from `address`; it counts there.
    void moveSource(std::uint64_t id, const std::string& address);
    // The watchers of a station, in the order they subscribed.
    std::vector<SipSubscription*> watchers(const std::string& station);
    // Subscriptions whose time is up at `nowMs`.
    std::vector<std::uint64_t> expired(std::int64_t nowMs) const;
    std::size_t size() const { return byId_.size(); }
    std::array<std::size_t, kSipEvents> byEvent() const { return byEvent_; }
    std::size_t watcherCount(const std::string& station) const;
    const std::map<std::uint64_t, std::unique_ptr<SipSubscription>>& all() const { return byId_; }

private:
    static std::size_t DialogHash(const std::string& callId, const std::string& localTag, const std::string& remoteTag);

    std::size_t maxTotal_;
    std::size_t maxPerSource_;
    std::uint64_t nextId_ = 1;
    std::map<std::uint64_t, std::unique_ptr<SipSubscription>> byId_;
    // By a hash of call ID and tags; the strings themselves are the subscription's.
    std::unordered_multimap<std::size_t, std::uint64_t> byDialog_;
    std::unordered_map<std::string, std::vector<std::uint64_t>> byStation_;
    std::unordered_map<std::string, std::size_t> bySource_;
    std::array<std::size_t, kSipEvents> byEvent_ {};
};

} // namespace korvel
