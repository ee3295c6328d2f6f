#pragma once

#include <QByteArray>

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace korvel {

// What /metrics shows of the SIP presence server. The service fills it from
// the SIP layer, which the web front end does not link.
struct SipStatus {
    std::array<std::size_t, 3> subscriptions {}; // dialog, presence, message-summary
    std::uint64_t requests = 0;
    std::uint64_t malformed = 0;
    std::uint64_t refused = 0;
    // NOTIFYs answered 2xx, retried, ended by 481, ended by repeated failures.
    std::uint64_t notifyOk = 0;
    std::uint64_t notifyRetried = 0;
    std::uint64_t notifyGone = 0;
    std::uint64_t notifyFailed = 0;
    // Report to NOTIFY, in seconds: upper bounds, a count per bucket (one
    // more, for the rest), their sum.
    std::vector<double> delayBounds;
    std::vector<std::uint64_t> delayCounts;
    double delaySum = 0;
    // SIP extensions reported to the exchanges, when that is on.
    bool importing = false;
    std::uint64_t importReports = 0;
    std::uint64_t importChanges = 0;
    std::size_t importPublications = 0;
    std::size_t watched = 0;
    std::size_t watchedActive = 0;
};

struct SipSource {
    std::function<SipStatus()> status;
    // The body of /api/sip.
    std::function<QByteArray()> json;
    // The subscriptions watching one station, without a walk of them all.
    std::function<std::size_t(const std::string& station)> watchers;
};

} // namespace korvel
