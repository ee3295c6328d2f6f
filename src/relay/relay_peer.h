#pragma once

#include "protocol/wire_format.h"
#include "store/system_table.h"

#include <string>

namespace korvel {

// Other hubs that serve part of the systems, seen from this hub: told of each
// sender heard and each status report taken in, and asked before each forward
// whether this hub is the one that serves a system.
class RelayPeer {
public:
    virtual ~RelayPeer() = default;
    virtual void heardFrom(const std::string& ip) = 0;
    virtual void reportReceived(Bytes packet, const std::string& fromIp) = 0;
    virtual bool serves(const SystemEntry& entry) const = 0;
};

} // namespace korvel
