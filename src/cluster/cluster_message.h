#pragma once

#include "protocol/wire_format.h"
#include "relay/relay_peer.h"

#include <optional>
#include <string>
#include <string_view>

namespace korvel {

// What hubs tell each other on the cluster's channel: a packet a hub took in
// from one of its systems for forwarding, a hub now serving a system, a system
// whose shared fields changed, a system deleted, or the table emptied. One
// byte of kind, then the node and the system's address (none for Cleared)
// each after a length byte; a Report then has the receive step's byte and the
// packet's bytes.
enum class ClusterEvent : char { Report = 'R', Claim = 'C', Changed = 'T', Removed = 'X', Cleared = 'Z' };

struct ClusterMessage {
    ClusterEvent kind = ClusterEvent::Report;
    std::string node;
    std::string system;
    RelayStep step = RelayStep::Udp;
    std::string_view packet;
};

std::string EncodeClusterMessage(ClusterEvent kind, std::string_view node, std::string_view system, Bytes packet = {},
    RelayStep step = RelayStep::Udp);
// Null for anything not made by EncodeClusterMessage; `packet` points into `bytes`.
std::optional<ClusterMessage> DecodeClusterMessage(std::string_view bytes);

} // namespace korvel
