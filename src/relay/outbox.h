#pragma once

#include "protocol/wire_format.h"

#include <netinet/in.h>

#include <string>

namespace korvel {

// Where a forward goes, worked out once for as long as the system's entry
// says the same: the address is resolved when the host is a dotted quad.
struct ForwardTarget {
    std::string host;
    int port = 0;
    // The table's address of the system the forward is for.
    std::string system;
    bool resolved = false;
    sockaddr_in address {};
};

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

    // A forwarded datagram. Between beginBatch and the matching endBatch the
    // forwards may be held and handed to the kernel together at the end; the
    // order to each destination is kept. All three come from one thread.
    virtual void forwardUdp(const ForwardTarget& target, Bytes bytes)
    {
        sendUdp(target.host, target.port, bytes, target.system);
    }
    virtual void beginBatch() { }
    virtual void endBatch() { }
};

// Holds the forwards of a scope, for one batch of received datagrams.
class OutboxBatch {
public:
    explicit OutboxBatch(Outbox& outbox)
        : outbox_(outbox)
    {
        outbox_.beginBatch();
    }
    ~OutboxBatch() { outbox_.endBatch(); }
    OutboxBatch(const OutboxBatch&) = delete;
    OutboxBatch& operator=(const OutboxBatch&) = delete;

private:
    Outbox& outbox_;
};

} // namespace korvel
