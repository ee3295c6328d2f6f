#include "pcap_writer.h"

#include <algorithm>
#include <cstdio>
#include <memory>

namespace korvel::testing {

namespace {

constexpr std::uint32_t kLinkTypeRawIp = 101;
constexpr std::uint8_t kProtocolIcmp = 1;
constexpr std::uint8_t kProtocolTcp = 6;
constexpr std::uint8_t kProtocolUdp = 17;

void Put16(std::vector<std::uint8_t>& out, std::uint16_t value)
{
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

void Put32(std::vector<std::uint8_t>& out, std::uint32_t value)
{
    Put16(out, static_cast<std::uint16_t>(value >> 16));
    Put16(out, static_cast<std::uint16_t>(value));
}

// The pcap headers are little-endian, as announced by the magic number that
// starts the file; the packets inside are in network order.
void PutLe(std::vector<std::uint8_t>& out, std::uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

std::uint16_t Checksum(const std::vector<std::uint8_t>& bytes)
{
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
        sum += static_cast<std::uint32_t>(bytes[i] << 8 | bytes[i + 1]);
    if (bytes.size() % 2)
        sum += static_cast<std::uint32_t>(bytes.back() << 8);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

std::uint64_t Endpoint(Address address)
{
    std::uint64_t key = 0;
    for (auto byte : address.ip)
        key = key << 8 | byte;
    return key << 16 | address.port;
}

std::vector<std::uint8_t> Datagram(Address from, Address to, std::span<const std::uint8_t> payload)
{
    std::vector<std::uint8_t> header;
    Put16(header, from.port);
    Put16(header, to.port);
    Put16(header, static_cast<std::uint16_t>(8 + payload.size()));
    Put16(header, 0); // no checksum, allowed for UDP over IPv4
    header.insert(header.end(), payload.begin(), payload.end());
    return header;
}

} // namespace

void PcapWriter::udp(Address from, Address to, std::span<const std::uint8_t> payload)
{
    frames_.push_back(ipv4(from, to, kProtocolUdp, Datagram(from, to, payload)));
}

void PcapWriter::icmpUnreachable(Address from, Address to, std::span<const std::uint8_t> payload, std::size_t quoted)
{
    std::vector<std::uint8_t> original = ipv4(from, to, kProtocolUdp, Datagram(from, to, payload));
    original.resize(std::min(original.size(), 28 + quoted)); // IPv4 and UDP headers, then the payload's start
    std::vector<std::uint8_t> icmp;
    icmp.reserve(8 + original.size());
    icmp.push_back(3); // destination unreachable
    icmp.push_back(3); // port
    icmp.resize(8); // checksum and unused
    icmp.insert(icmp.end(), original.begin(), original.end());
    const std::uint16_t checksum = Checksum(icmp);
    icmp[2] = static_cast<std::uint8_t>(checksum >> 8);
    icmp[3] = static_cast<std::uint8_t>(checksum);
    frames_.push_back(ipv4(to, from, kProtocolIcmp, icmp));
}

void PcapWriter::tcp(Address from, Address to, std::span<const std::uint8_t> payload)
{
    std::uint32_t& sequence = nextTcpSequence_.try_emplace({ Endpoint(from), Endpoint(to) }, 1000u).first->second;
    std::vector<std::uint8_t> segment;
    Put16(segment, from.port);
    Put16(segment, to.port);
    Put32(segment, sequence);
    Put32(segment, 1);
    segment.push_back(5 << 4); // 20-byte header
    segment.push_back(0x18); // PSH, ACK
    Put16(segment, 65535);
    Put16(segment, 0);
    Put16(segment, 0);
    segment.insert(segment.end(), payload.begin(), payload.end());
    sequence += static_cast<std::uint32_t>(payload.size());
    frames_.push_back(ipv4(from, to, kProtocolTcp, segment));
}

std::vector<std::uint8_t> PcapWriter::ipv4(
    Address from, Address to, std::uint8_t protocol, const std::vector<std::uint8_t>& transport) const
{
    std::vector<std::uint8_t> packet;
    packet.push_back(0x45);
    packet.push_back(0);
    Put16(packet, static_cast<std::uint16_t>(20 + transport.size()));
    Put16(packet, static_cast<std::uint16_t>(frames_.size()));
    Put16(packet, 0x4000); // don't fragment
    packet.push_back(64);
    packet.push_back(protocol);
    Put16(packet, 0);
    packet.insert(packet.end(), from.ip.begin(), from.ip.end());
    packet.insert(packet.end(), to.ip.begin(), to.ip.end());
    const std::uint16_t checksum = Checksum(packet);
    packet[10] = static_cast<std::uint8_t>(checksum >> 8);
    packet[11] = static_cast<std::uint8_t>(checksum);
    packet.insert(packet.end(), transport.begin(), transport.end());
    return packet;
}

bool PcapWriter::save(const std::string& path) const
{
    std::vector<std::uint8_t> out;
    PutLe(out, 0xA1B2C3D4, 4);
    PutLe(out, 2, 2); // version 2.4
    PutLe(out, 4, 2);
    PutLe(out, 0, 4);
    PutLe(out, 0, 4);
    PutLe(out, 65535, 4);
    PutLe(out, kLinkTypeRawIp, 4);
    std::uint32_t second = 1700000000;
    for (const auto& frame : frames_) {
        PutLe(out, second++, 4);
        PutLe(out, 0, 4);
        PutLe(out, static_cast<std::uint32_t>(frame.size()), 4);
        PutLe(out, static_cast<std::uint32_t>(frame.size()), 4);
        out.insert(out.end(), frame.begin(), frame.end());
    }
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "wb"), &std::fclose);
    return file && std::fwrite(out.data(), 1, out.size(), file.get()) == out.size();
}

} // namespace korvel::testing
