#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace korvel {

// What the web console shows of the hub's place among other hubs. The app
// fills it from the cluster, which the web front end does not link.
struct ClusterStatus {
    std::string node;
    // "connecting", "connected" or "disconnected".
    std::string state;
    std::size_t liveNodes = 0;
    std::size_t systemsOwned = 0;
    std::uint64_t published = 0;
    std::uint64_t received = 0;
};

using ClusterStatusSource = std::function<ClusterStatus()>;

} // namespace korvel
