#include "hub.h"

#include "log/console_log.h"
#include "log/notice.h"
#include "protocol/fixed_texts.h"
#include "relay/decoder.h"

namespace korvel {

// A status report on the UDP endpoint, in order: the forwarding thread reads
// it and, when its plan covers the sender, forwards it at once
// (ForwardingThread::handle); else the endpoint's reader does on the event
// loop. Either way handleDatagram below takes it: counted, refused by the
// allow list or a full table, traced, its sender marked working in the table,
// its stations' states applied (DecodePacket), and forwarded to every other
// system (Replies::udpStep, by ForwardShareOf) unless the thread did already.
// The other endpoints and the TCP requests take the same way, with their own
// answers.

void Hub::qvxDatagramReceived(Bytes packet, const std::string& fromIp, int fromPort)
{
    handleDatagram(Endpoint::Qvx, packet, fromIp, fromPort);
}

void Hub::velkaDatagramReceived(Bytes packet, const std::string& fromIp, int fromPort)
{
    handleDatagram(Endpoint::Velka, packet, fromIp, fromPort);
}

void Hub::rackDatagramReceived(Bytes packet, const std::string& fromIp, int fromPort)
{
    handleDatagram(Endpoint::Rack, packet, fromIp, fromPort);
}

void Hub::handleDatagram(
    Endpoint endpoint, Bytes packet, const std::string& fromIp, int fromPort, std::optional<std::uint64_t> forwarded)
{
    ++counters_.Datagrams[static_cast<std::size_t>(endpoint)][MessageSlot(GetMessageCode(packet))];
    if (refuse(fromIp))
        return;
    if (fromIp != settings_.OwnAddress && tableFull(fromIp))
        return;
    switch (endpoint) {
    case Endpoint::Qvx:
        console_.log(fixed::kUdpFrom, fromIp.c_str());
        break;
    case Endpoint::Velka:
        console_.log(fixed::kVelkaFrom, fromIp.c_str(), fromPort);
        break;
    case Endpoint::Rack:
        console_.log(fixed::kRackFrom, fromIp.c_str(), fromPort);
        break;
    }
    if (fromIp == settings_.OwnAddress)
        return;

    if (table_.addSystem(fromIp, fromIp, endpoint == Endpoint::Qvx ? kTypeQvx : kTypeVelka))
        table_.markHeard(fromIp);
    table_.setSystemStatus(fromIp, SystemStatus::Working);
    if (peer_)
        peer_->heardFrom(fromIp);
    DecodePacket(table_, replies_, fromIp, packet);

    switch (endpoint) {
    case Endpoint::Qvx:
        if (forwarded)
            replies_.udpStepForwarded(packet, *forwarded);
        else
            replies_.udpStep(packet, fromIp);
        console_.log("%s", "");
        break;
    case Endpoint::Velka:
        console_.log("%s", "");
        replies_.velkaStep(packet, fromIp);
        break;
    case Endpoint::Rack:
        console_.log("%s", "");
        break;
    }
    if (peer_ && endpoint != Endpoint::Rack) {
        const RelayStep step = endpoint == Endpoint::Qvx ? RelayStep::Udp : RelayStep::Velka;
        if (Replies::stepForwards(step, GetMessageCode(packet)))
            peer_->forwardReceived(packet, fromIp, step);
    }
    counters_.ReceivedByteCount.fetch_add(static_cast<std::int32_t>(packet.size()), std::memory_order_relaxed);
}

void Hub::applyTcpAnswer(const std::string& peer, Bytes answer)
{
    DecodePacket(table_, replies_, peer, answer);
    console_.log("%s", "");
    counters_.ReceivedByteCount.fetch_add(static_cast<std::int32_t>(answer.size()), std::memory_order_relaxed);
}

bool Hub::clientConnected(const std::string& peer)
{
    ++counters_.Connections;
    if (refuse(peer) || (peer != settings_.OwnAddress && tableFull(peer)))
        return false;
    // A request from the hub's own address (its test console, a tool on this
    // machine) is answered, but the hub is no system of its own table: it
    // would forward and send keep-alives to itself.
    if (peer != settings_.OwnAddress) {
        if (table_.addSystem(peer, std::string(), kTypeQvx))
            table_.markHeard(peer);
        table_.setSystemStatus(peer, SystemStatus::Working);
        if (peer_)
            peer_->heardFrom(peer);
    }
    console_.log(fixed::kConnectFrom, peer.c_str());
    return true;
}

void Hub::clientDisconnected(const std::string& peer)
{
    console_.log(fixed::kDisconnected, peer.c_str());
    console_.log("%s", "");
}

void Hub::clientFailed(const std::string& /*peer*/, int errorCode)
{
    // The connection is closed already.
    console_.log(fixed::kTcpClientError, errorCode);
}

void Hub::readTcpRequest(int connection, const std::string& peer, Bytes packet)
{
    DecodePacket(table_, replies_, peer, packet);
    console_.log("%s", "");
    ++counters_.TcpRequests[MessageSlot(GetMessageCode(packet))];
    replies_.tcpStep(packet, peer, [this, connection](Bytes bytes) { return connections_->write(connection, bytes); });
    if (peer_ && Replies::stepForwards(RelayStep::Tcp, GetMessageCode(packet)))
        peer_->forwardReceived(packet, peer, RelayStep::Tcp);
    counters_.ReceivedByteCount.fetch_add(static_cast<std::int32_t>(packet.size()), std::memory_order_relaxed);
}

bool Hub::refuse(const std::string& address)
{
    // A datagram or connection from the SIP extensions' address is forged.
    if (allowList_.allows(address) && (settings_.virtualSystem.empty() || address != settings_.virtualSystem))
        return false;
    ++refused_;
    console_.log("Refused from: %s", address.c_str());
    return true;
}

// A sender the table does not know, while the table is full: refused, and
// counted for the line a second that says so.
bool Hub::tableFull(const std::string& address)
{
    if (table_.size() < options_.maxSystems || table_.findSystem(address))
        return false;
    ++counters_.RefusedTableFull;
    return true;
}

void Hub::reportBounds()
{
    answerBudget_.expire();
    if (counters_.RefusedTableFull != reportedTableFull_) {
        // An operator may have to act on what the bounds turned away.
        Notify(console_, Severity::Warning,
            "Table full (" + std::to_string(options_.maxSystems) + " systems): refused "
                + std::to_string(counters_.RefusedTableFull - reportedTableFull_) + " new senders");
        reportedTableFull_ = counters_.RefusedTableFull;
    }
    if (counters_.AnswersHeldBack != reportedHeldBack_) {
        Notify(console_, Severity::Warning,
            "Answers held back: " + std::to_string(counters_.AnswersHeldBack - reportedHeldBack_) + " ("
                + std::to_string(counters_.AnswerBytesHeldBack - reportedHeldBackBytes_) + " bytes), the last to "
                + answerBudget_.lastHeldBack());
        reportedHeldBack_ = counters_.AnswersHeldBack;
        reportedHeldBackBytes_ = counters_.AnswerBytesHeldBack;
    }
}

void Hub::reportAsSystem(Bytes packet, const std::string& system)
{
    owner_("reportAsSystem");
    DecodePacket(table_, replies_, system, packet);
    replies_.udpStep(packet, system);
    if (peer_)
        peer_->forwardReceived(packet, system, RelayStep::Udp);
    console_.log("%s", "");
}

void Hub::setVirtualSystem(std::string address)
{
    owner_("setVirtualSystem");
    settings_.virtualSystem = std::move(address);
    invalidatePlan();
}

} // namespace korvel
