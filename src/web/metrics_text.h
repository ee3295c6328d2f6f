#pragma once

#include "net/receive_queue.h"
#include "relay/traffic_counters.h"
#include "web/cluster_status.h"
#include "web/sip_status.h"

#include <QByteArray>

#include <array>
#include <cstdint>
#include <optional>

namespace korvel {

// Everything /metrics shows, gathered on the main thread.
struct MetricsSnapshot {
    const TrafficCounters* counters = nullptr;
    std::uint64_t sentBytes = 0;
    std::uint64_t receivedBytes = 0;
    std::uint64_t queueDropped = 0;
    std::uint64_t refusedSenders = 0;
    std::uint64_t traceLinesDropped = 0;
    std::array<std::size_t, 4> systemsByStatus {}; // Working, Error, No Data, Unknown
    std::size_t stations = 0;
    std::int64_t liveSenders = 0;
    std::int64_t queueDepth = 0;
    // UDP, UDP_VELKA, UDP_RACK, as the datagram counters.
    std::array<ReceiveQueue, 3> receiveQueues {};
    bool saveSucceeded = true;
    double saveSeconds = 0;
    double lagSeconds = 0;
    std::size_t liveClients = 0;
    std::size_t maxSystems = 0;
    // What /healthz says: no problem.
    bool healthy = true;
    // Writes through the web API by result, in the order of WriteApi::kResults.
    std::array<std::uint64_t, 9> writes {};
    // Only for a hub started with --cluster.
    std::optional<ClusterStatus> cluster;
    // Only for a hub started with --sip.
    std::optional<SipStatus> sip;
};

// The Prometheus text exposition format (version 0.0.4).
QByteArray MetricsText(const MetricsSnapshot& snapshot);

inline constexpr char kMetricsContentType[] = "text/plain; version=0.0.4; charset=utf-8";

} // namespace korvel
