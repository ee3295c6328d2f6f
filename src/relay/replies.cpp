#include "replies.h"

#include "log/console_log.h"
#include "net/ipv4_address.h"
#include "protocol/fixed_texts.h"
#include "protocol/packet_builders.h"
#include "relay/forward_rule.h"

#include <array>
#include <iterator>

namespace korvel {

namespace {

// A port comes from a file or a packet and can be any 32-bit number; the port
// above it wraps in 32 bits, and the senders use only its low 16 bits.
int PortAbove(std::int32_t port)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(port) + 1u);
}

// The classic host field holds 31 characters.
constexpr std::size_t kMaxHostText = 31;

} // namespace

bool Replies::mayAnswer(const std::string& address, std::size_t bytes)
{
    if (!budget_ || budget_->take(address, bytes))
        return true;
    ++counters_.AnswersHeldBack;
    counters_.AnswerBytesHeldBack += bytes;
    return false;
}

void Replies::forwardToSystem(const SystemEntry& entry, Bytes packet)
{
    if (entry.Type == kTypeQvx) {
        const std::string& destination = entry.ToIp.empty() ? entry.IpAddress : entry.ToIp;
        if (GetMessageCode(packet) == MSG_STATUSREPORT)
            outbox_.sendUdp(destination, PortAbove(entry.Port), packet, entry.IpAddress);
        else
            outbox_.sendTcp(destination, entry.Port, packet, entry.IpAddress);
    } else if (entry.Type == kTypeVelka) {
        outbox_.sendUdp(entry.IpAddress, kVelkaDataPort, packet);
    }
}

std::vector<Replies::ForwardSlot>& Replies::forwardSlots()
{
    if (slotsBuilt_ && slotsGeneration_ == table_.generation())
        return slots_;
    const SystemTable::Entries& systems = table_.systems();
    auto from = systems.begin();
    if (slotsBuilt_ && slotsReshapes_ == table_.reshapes() && slots_.size() <= systems.size()) {
        from = std::prev(systems.end(), static_cast<std::ptrdiff_t>(systems.size() - slots_.size()));
    } else {
        slots_.clear();
        slots_.reserve(systems.size());
    }
    for (auto it = from; it != systems.end(); ++it)
        slots_.push_back(ForwardSlot { &*it, it->IpAddress, 0, 0, {}, {}, false });
    slotsGeneration_ = table_.generation();
    slotsReshapes_ = table_.reshapes();
    slotsBuilt_ = true;
    return slots_;
}

ForwardTarget UdpForwardTarget(const SystemEntry& entry)
{
    ForwardTarget target;
    if (entry.Type == kTypeVelka) {
        target.host = entry.IpAddress;
        target.port = kVelkaDataPort;
    } else {
        target.host = entry.ToIp.empty() ? entry.IpAddress : entry.ToIp;
        target.port = PortAbove(entry.Port);
    }
    target.system = entry.IpAddress;
    // The longest host text a send takes; a longer one fails there, as named.
    const auto address = target.host.size() <= kMaxHostText ? NumericIPv4(target.host, target.port) : std::nullopt;
    target.resolved = address.has_value();
    target.address = address.value_or(sockaddr_in {});
    return target;
}

const ForwardTarget& Replies::udpTarget(ForwardSlot& slot)
{
    const SystemEntry& entry = *slot.entry;
    if (slot.worked && slot.type == entry.Type && slot.port == entry.Port && slot.toIp == entry.ToIp)
        return slot.udp;
    slot.worked = true;
    slot.type = entry.Type;
    slot.port = entry.Port;
    slot.toIp = entry.ToIp;
    slot.udp = UdpForwardTarget(entry);
    return slot.udp;
}

void Replies::forwardLoop(Bytes packet, const std::string& sender, ForwardTrace trace)
{
    const bool logging = console_.enabled();
    const bool statusReport = GetMessageCode(packet) == MSG_STATUSREPORT;
    // The forwards of one packet leave together.
    OutboxBatch batch(outbox_);
    std::uint64_t forwards = 0;
    // A refused sender, or the hub itself, got no further than a receive handler
    // (this hub's, or the other hub's for forwardRemote).
    ForwardFacts facts { .forwardStatus = settings_.ForwardStatus, .senderAdmitted = true };
    for (ForwardSlot& slot : forwardSlots()) {
        const SystemEntry& entry = *slot.entry;
        facts.isSender = slot.ip == sender;
        facts.served = !peer_ || peer_->serves(entry);
        facts.type = entry.Type;
        facts.virtualSystem = !settings_.virtualSystem.empty() && slot.ip == settings_.virtualSystem;
        const ForwardShare share = ForwardShareOf(facts);
        if (share == ForwardShare::None)
            continue;
        if (logging) {
            switch (trace) {
            case ForwardTrace::Address:
                console_.log(fixed::kForwardTo, entry.IpAddress.c_str());
                break;
            case ForwardTrace::Port:
                console_.log(fixed::kForwardToPort, entry.IpAddress.c_str(), entry.Port);
                break;
            case ForwardTrace::PortPlusOne:
                console_.log(fixed::kForwardToPort, entry.IpAddress.c_str(), PortAbove(entry.Port));
                break;
            }
        }
        // Datagrams go to a destination worked out once; the rest as before.
        if (share == ForwardShare::Sent) {
            if (entry.Type == kTypeVelka || statusReport)
                outbox_.forwardUdp(udpTarget(slot), packet);
            else
                forwardToSystem(entry, packet);
        }
        ++forwards;
    }
    counters_.Forwarded[MessageSlot(GetMessageCode(packet))] += forwards;
}

bool Replies::stepForwards(RelayStep step, std::uint8_t code)
{
    switch (step) {
    case RelayStep::Udp:
        return code == MSG_STATUSREPORT;
    case RelayStep::Velka:
        return code == MSG_REGISTER || code == MSG_REGISTERv2 || code == MSG_STATUSREPORT;
    case RelayStep::Tcp:
        return code == MSG_REGISTER || code == MSG_REGISTERv2;
    }
    return false;
}

void Replies::forwardRemote(Bytes packet, const std::string& sender, RelayStep step)
{
    const std::uint8_t code = GetMessageCode(packet);
    if (!settings_.ForwardStatus || !stepForwards(step, code))
        return;
    if (step != RelayStep::Velka)
        forwardLoop(packet, sender, ForwardTrace::Address);
    else
        forwardLoop(packet, sender, code == MSG_STATUSREPORT ? ForwardTrace::PortPlusOne : ForwardTrace::Port);
}

void Replies::udpStepForwarded(Bytes packet, std::uint64_t forwards)
{
    counters_.Forwarded[MessageSlot(GetMessageCode(packet))] += forwards;
}

void Replies::udpStep(Bytes packet, const std::string& from)
{
    if (GetMessageCode(packet) == MSG_STATUSREPORT && settings_.ForwardStatus)
        forwardLoop(packet, from, ForwardTrace::Address);
}

void Replies::velkaStep(Bytes packet, const std::string& from)
{
    const std::uint16_t sequence = GetSequenceNumber(packet);
    std::string systemId;
    std::vector<std::string> stations;
    switch (GetMessageCode(packet)) {
    case MSG_REGISTER:
        if (settings_.ForwardStatus)
            forwardLoop(packet, from, ForwardTrace::Port);
        sendUdpAck(from, sequence, kVelkaAckPort);
        break;
    case MSG_UNREGISTER:
        ReadStationList(packet, systemId, stations);
        sendUdpMAckUnreg(from, sequence, systemId, stations, kVelkaAckPort);
        break;
    case MSG_CLEAR:
    case MSG_SYSTEM_REGISTER:
    case MSG_SYSTEM_UNREGISTER:
        sendUdpAck(from, sequence, kVelkaAckPort);
        break;
    case MSG_GETDATA:
        sendUdpGetResponse(from, sequence, 0);
        break;
    case MSG_STATUSREPORT:
        if (settings_.ForwardStatus)
            forwardLoop(packet, from, ForwardTrace::PortPlusOne);
        break;
    case MSG_REGISTERv2:
        if (settings_.ForwardStatus)
            forwardLoop(packet, from, ForwardTrace::Port);
        ReadStationList(packet, systemId, stations);
        sendUdpMAckReg(from, sequence, systemId, stations, kVelkaAckPort);
        break;
    case MSG_GETDATAv2:
        sendUdpGetResponse(from, sequence, ReadU16(packet, wire::kPageIndexOffset));
        break;
    default:
        break;
    }
}

void Replies::tcpStep(Bytes packet, const std::string& peer, const TcpWriter& writer)
{
    const std::uint16_t sequence = GetSequenceNumber(packet);
    switch (GetMessageCode(packet)) {
    case MSG_GETDATA:
        sendTcpGetResponse(writer, peer, sequence, 0);
        break;
    case MSG_GETDATAv2:
        sendTcpGetResponse(writer, peer, sequence, ReadU16(packet, wire::kPageIndexOffset));
        break;
    case MSG_REGISTER:
    case MSG_REGISTERv2:
        if (settings_.ForwardStatus)
            forwardLoop(packet, peer, ForwardTrace::Address);
        sendTcpAck(writer, sequence);
        break;
    default:
        sendTcpAck(writer, sequence);
        break;
    }
}

void Replies::sendUdpAck(const std::string& address, std::uint16_t sequence, int port)
{
    const auto ack = BuildAck(sequence);
    if (!mayAnswer(address, ack.size()))
        return;
    outbox_.sendUdp(address, port, ack);
    addSent(static_cast<std::int32_t>(ack.size()));
    answered(ack);
    console_.log(fixed::kUdpAck, sequence);
}

void Replies::sendTcpAck(const TcpWriter& writer, std::uint16_t sequence)
{
    const auto ack = BuildAck(sequence);
    writer(ack);
    addSent(static_cast<std::int32_t>(ack.size()));
    answered(ack);
    console_.log(fixed::kTcpAck, sequence);
}

bool Replies::sendMultiAck(std::uint8_t code, const std::string& address, const std::string& systemId,
    const std::vector<std::string>& stations, int port)
{
    std::array<std::uint8_t, wire::kMaxMultiAckSize> buffer;
    const std::size_t length = FillMultiAck(buffer, systemId, stations);
    buffer[wire::kCodeOffset] = code;
    if (!mayAnswer(address, length))
        return false;
    outbox_.sendUdp(address, port, Bytes(buffer).first(length));
    // The whole buffer counts, whatever the packet's length.
    addSent(static_cast<std::int32_t>(buffer.size()));
    answered(buffer);
    return true;
}

void Replies::sendUdpMAckReg(const std::string& address, std::uint16_t sequence, const std::string& systemId,
    const std::vector<std::string>& stations, int port)
{
    if (sendMultiAck(MSG_MULTACK, address, systemId, stations, port))
        console_.log(fixed::kUdpMAckReg, sequence);
}

void Replies::sendUdpMAckUnreg(const std::string& address, std::uint16_t sequence, const std::string& systemId,
    const std::vector<std::string>& stations, int port)
{
    if (sendMultiAck(MSG_UNREG_MULTACK, address, systemId, stations, port))
        console_.log(fixed::kUdpMAckUnreg, sequence);
}

void Replies::sendTcpGetResponse(
    const TcpWriter& writer, const std::string& peer, std::uint16_t sequence, std::uint16_t page)
{
    std::array<std::uint8_t, wire::kMaxGetResponseSize> buffer;
    const std::size_t length = BuildGetResponse(buffer, sequence, table_.getStationList(peer), page);
    const std::int64_t written = writer(Bytes(buffer).first(length));
    addSent(static_cast<std::int32_t>(length));
    answered(buffer);
    console_.log(fixed::kTcpGetResponse, sequence, static_cast<int>(written), static_cast<int>(length));
}

void Replies::sendUdpGetResponse(const std::string& address, std::uint16_t sequence, std::uint16_t page)
{
    std::array<std::uint8_t, wire::kMaxGetResponseSize> buffer;
    const std::size_t length = BuildGetResponse(buffer, sequence, table_.getStationList(address), page);
    if (!mayAnswer(address, length))
        return;
    outbox_.sendUdp(address, kVelkaDataPort, Bytes(buffer).first(length));
    addSent(static_cast<std::int32_t>(length));
    answered(buffer);
    console_.log(fixed::kUdpGetResponse, sequence, static_cast<int>(length));
}

void Replies::sendDataMismatch(const std::string& address, const std::string& station)
{
    // Checked first: a notice held back takes no sequence number.
    if (!mayAnswer(address, wire::kDataMismatchSize))
        return;
    const auto notice = BuildDataMismatch(sequence_, station);
    outbox_.sendUdp(address, kVelkaDataPort, notice);
    addSent(static_cast<std::int32_t>(notice.size()));
    answered(notice);
}

} // namespace korvel
