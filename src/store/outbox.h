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
    // `system` is the table's address of the system the bytes are for: a send
    // that fails marks that system, whatever address the bytes went to.
    virtual void sendUdp(const std::string& host, int port, Bytes bytes, const std::string& system) = 0;
    virtual void sendTcp(const std::string& host, int port, Bytes bytes, const std::string& system) = 0;
    // For the system at `host` itself.
    void sendUdp(const std::string& host, int port, Bytes bytes) { sendUdp(host, port, bytes, host); }
    void sendTcp(const std::string& host, int port, Bytes bytes) { sendTcp(host, port, bytes, host); }
};

} // namespace korvel
