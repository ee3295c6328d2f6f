#pragma once

#include "protocol/defaults.h"

#include <cstdint>

namespace korvel {

// What one system gets of a packet the hub passes on to "every other system".
enum class ForwardShare : std::uint8_t {
    None,
    // Counted and traced as forwarded, though its type takes no packets.
    Counted,
    Sent,
};

// Only Qvx and Velka systems are sent forwards.
constexpr bool TakesForwards(std::int32_t type)
{
    return type == kTypeQvx || type == kTypeVelka;
}

// What the rule reads, worked out by each caller from what it holds: the main
// thread from the settings and the table, the forwarding thread from its plan.
struct ForwardFacts {
    // The Options dialog's Forward Status Report.
    bool forwardStatus = false;
    // The allow list lets the sender in, and the sender is not the hub itself.
    bool senderAdmitted = false;
    bool isSender = false;
    // This hub serves the system: always, unless another hub of the cluster does.
    bool served = true;
    // The SIP extensions' system: no exchange stands behind its address.
    bool virtualSystem = false;
    std::int32_t type = kTypeQvx;
};

// The one rule for who gets a forward, for the forwarding thread and the main
// thread alike; cheap enough for a walk of the table per packet. Client-only
// mode closes ports and changes nothing here.
constexpr ForwardShare ForwardShareOf(const ForwardFacts& facts)
{
    if (!facts.forwardStatus || !facts.senderAdmitted || facts.isSender || !facts.served || facts.virtualSystem)
        return ForwardShare::None;
    return TakesForwards(facts.type) ? ForwardShare::Sent : ForwardShare::Counted;
}

} // namespace korvel
