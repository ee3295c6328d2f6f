#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace korvel {

// What the web console shows of the hub's place among other hubs. The app
// fills it from the cluster, which the web front end does not link.
struct ClusterStatus {
    std::string node;
    // "connecting", "connected", "degraded" or "disconnected".
    std::string state;
    // Why the hub is not fully in the cluster (for /healthz); empty when it is.
    std::string problem;
    std::size_t liveNodes = 0;
    std::size_t systemsOwned = 0;
    std::uint64_t published = 0;
    std::uint64_t received = 0;
    std::uint64_t leasesLost = 0;
    std::uint64_t queueDropped = 0;
    std::uint64_t queued = 0;
    std::uint64_t writeFailures = 0;
    std::uint64_t heldDropped = 0;
};

using ClusterStatusSource = std::function<ClusterStatus()>;

} // namespace korvel
