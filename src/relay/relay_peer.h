#pragma once

#include "protocol/wire_format.h"
#include "store/system_table.h"

#include <string>

namespace korvel {

// The receive step a packet went through: each forwards its own kinds, with
// its own trace line.
enum class RelayStep : char { Udp = 'U', Velka = 'V', Tcp = 'T' };

// Other hubs that serve part of the systems, seen from this hub: told of each
// sender heard and each packet taken in that a step forwards (status reports
// and registrations), and asked before each forward whether this hub is the
// one that serves a system.
class RelayPeer {
public:
    virtual ~RelayPeer() = default;
    virtual void heardFrom(const std::string& ip) = 0;
    virtual void forwardReceived(Bytes packet, const std::string& fromIp, RelayStep step) = 0;
    virtual bool serves(const SystemEntry& entry) const = 0;
};

} // namespace korvel
