#pragma once

#include "relay/outbox.h"

#include <string>
#include <vector>

namespace korvel::testing {

struct SentPacket {
    bool tcp = false;
    std::string host;
    int port = 0;
    std::vector<std::uint8_t> bytes;
    // The system the send was for.
    std::string system;
    bool operator==(const SentPacket&) const = default;
};

// Keeps every packet handed to it, in order.
class RecordingOutbox : public Outbox {
public:
    void sendUdp(const std::string& host, int port, Bytes bytes, const std::string& system) override
    {
        record(false, host, port, bytes, system);
    }
    void sendTcp(const std::string& host, int port, Bytes bytes, const std::string& system) override
    {
        record(true, host, port, bytes, system);
    }

    std::vector<SentPacket> sent;

private:
    void record(bool tcp, const std::string& host, int port, Bytes bytes, const std::string& system)
    {
        sent.push_back(SentPacket { tcp, host, port, std::vector<std::uint8_t>(bytes.begin(), bytes.end()), system });
    }
};

} // namespace korvel::testing
