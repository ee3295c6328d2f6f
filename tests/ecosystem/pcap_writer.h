#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace korvel::testing {

struct Address {
    std::array<std::uint8_t, 4> ip;
    std::uint16_t port;
};

// Writes a classic pcap file of raw IPv4 packets, enough for a dissector to
// see UDP datagrams and TCP segments between given addresses. TCP segments
// carry no handshake: each is one PSH/ACK segment with its flow's next
// sequence number, which is all a port-based dissector needs.
class PcapWriter {
public:
    void udp(Address from, Address to, std::span<const std::uint8_t> payload);
    void tcp(Address from, Address to, std::span<const std::uint8_t> payload);
    // The port unreachable error that `to` sends back for a datagram from
    // `from`, quoting the datagram's first `quoted` payload bytes.
    void icmpUnreachable(Address from, Address to, std::span<const std::uint8_t> payload, std::size_t quoted);

    std::size_t frameCount() const { return frames_.size(); }
    bool save(const std::string& path) const;

private:
    std::vector<std::uint8_t> ipv4(
        Address from, Address to, std::uint8_t protocol, const std::vector<std::uint8_t>& transport) const;

    std::vector<std::vector<std::uint8_t>> frames_;
    std::map<std::pair<std::uint64_t, std::uint64_t>, std::uint32_t> nextTcpSequence_;
};

} // namespace korvel::testing
