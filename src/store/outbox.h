#pragma once

#include "protocol/wire_format.h"

#include <string>

namespace korvel {

// Everything that sends a packet goes through here: the real one hands the
// bytes to the sender engine, tests record them. Both calls copy the bytes
// before returning and never block on the network.
class Outbox {
public:
    virtual ~Outbox() = default;
    virtual void sendUdp(const std::string& host, int port, Bytes bytes) = 0;
    virtual void sendTcp(const std::string& host, int port, Bytes bytes) = 0;
};

} // namespace korvel
