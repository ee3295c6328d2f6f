#pragma once

#include "protocol/wire_format.h"

#include <optional>
#include <string>
#include <string_view>

namespace korvel {

// What hubs tell each other on the cluster's channel: a status report a hub
// took in from one of its systems, a hub now serving a system, or a system
// whose shared fields changed. One byte of kind, then the node and the
// system's address each after a length byte, then the report's bytes.
enum class ClusterEvent : char { Report = 'R', Claim = 'C', Changed = 'T' };

struct ClusterMessage {
    ClusterEvent kind = ClusterEvent::Report;
    std::string node;
    std::string system;
    std::string_view packet;
};

std::string EncodeClusterMessage(ClusterEvent kind, std::string_view node, std::string_view system, Bytes packet = {});
// Null for anything not made by EncodeClusterMessage; `packet` points into `bytes`.
std::optional<ClusterMessage> DecodeClusterMessage(std::string_view bytes);

} // namespace korvel
