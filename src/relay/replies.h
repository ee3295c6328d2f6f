#pragma once

#include "log/console_log.h"
#include "protocol/packet_builders.h"
#include "protocol/wire_format.h"
#include "relay/answer_budget.h"
#include "relay/outbox.h"
#include "relay/relay_peer.h"
#include "relay/settings.h"
#include "relay/traffic_counters.h"
#include "store/system_table.h"

#include <functional>
#include <string>
#include <vector>

namespace korvel {

// Where a datagram forward to this system goes, worked out from its entry.
ForwardTarget UdpForwardTarget(const SystemEntry& entry);

// Writes bytes on an open TCP connection and returns what the send reported.
using TcpWriter = std::function<std::int64_t(Bytes)>;

// The answers, forwards and notices that follow a decoded packet. Runs on the
// main thread inside a receive handler.
class Replies {
public:
    Replies(SystemTable& table, Outbox& outbox, const Settings& settings, TrafficCounters& counters,
        SequenceCounter& sequence, ConsoleLog& console)
        : table_(table)
        , outbox_(outbox)
        , settings_(settings)
        , counters_(counters)
        , sequence_(sequence)
        , console_(console)
    {
    }

    // Where the trace of what is received, answered and forwarded goes.
    ConsoleLog& console() { return console_; }

    // With a peer, forwards go only to the systems this hub serves.
    void setPeer(const RelayPeer* peer) { peer_ = peer; }
    // Bounds the datagram answers (acknowledgements, pages, data-mismatch
    // notices) per address; null sends them all. Forwards are not answers.
    void setAnswerBudget(AnswerBudget* budget) { budget_ = budget; }

    // Per-endpoint steps.
    void udpStep(Bytes packet, const std::string& from);
    // The UDP step of a status report the forwarding thread has forwarded
    // already, to `forwards` systems: counted, and nothing sent again.
    void udpStepForwarded(Bytes packet, std::uint64_t forwards);
    void velkaStep(Bytes packet, const std::string& from);
    void tcpStep(Bytes packet, const std::string& peer, const TcpWriter& writer);

    void sendUdpAck(const std::string& address, std::uint16_t sequence, int port);
    void sendTcpAck(const TcpWriter& writer, std::uint16_t sequence);
    void sendUdpMAckReg(const std::string& address, std::uint16_t sequence, const std::string& systemId,
        const std::vector<std::string>& stations, int port);
    void sendUdpMAckUnreg(const std::string& address, std::uint16_t sequence, const std::string& systemId,
        const std::vector<std::string>& stations, int port);
    void sendTcpGetResponse(
        const TcpWriter& writer, const std::string& peer, std::uint16_t sequence, std::uint16_t page);
    void sendUdpGetResponse(const std::string& address, std::uint16_t sequence, std::uint16_t page);
    void sendDataMismatch(const std::string& address, const std::string& station);
    void forwardToSystem(const SystemEntry& entry, Bytes packet);
    // Whether `step` forwards packets with this message code to the other systems.
    static bool stepForwards(RelayStep step, std::uint8_t code);
    // A packet another hub took in from `sender` through `step`, forwarded to
    // this hub's systems as that step forwards one of its own; nothing is answered.
    void forwardRemote(Bytes packet, const std::string& sender, RelayStep step);

private:
    enum class ForwardTrace { Address, Port, PortPlusOne };
    // A system in forwarding order, with its datagram destination worked out
    // from the entry's fields as they were then.
    struct ForwardSlot {
        const SystemEntry* entry = nullptr;
        std::string ip;
        std::int32_t type = 0;
        std::int32_t port = 0;
        std::string toIp;
        ForwardTarget udp;
        bool worked = false;
    };
    void forwardLoop(Bytes packet, const std::string& sender, ForwardTrace trace);
    // The systems in list order, in one vector, rebuilt when the table's
    // entries change; new senders at the end are only appended, since a flood
    // of them would otherwise cost a rebuild of the whole list per report.
    std::vector<ForwardSlot>& forwardSlots();
    static const ForwardTarget& udpTarget(ForwardSlot& slot);
    // False when the budget held it back.
    bool sendMultiAck(std::uint8_t code, const std::string& address, const std::string& systemId,
        const std::vector<std::string>& stations, int port);
    bool mayAnswer(const std::string& address, std::size_t bytes);
    void addSent(std::int32_t bytes) { counters_.SentByteCount.fetch_add(bytes, std::memory_order_relaxed); }
    void answered(Bytes answer) { ++counters_.Answers[MessageSlot(GetMessageCode(answer))]; }

    SystemTable& table_;
    Outbox& outbox_;
    const Settings& settings_;
    TrafficCounters& counters_;
    SequenceCounter& sequence_;
    ConsoleLog& console_;
    const RelayPeer* peer_ = nullptr;
    AnswerBudget* budget_ = nullptr;
    std::vector<ForwardSlot> slots_;
    std::uint64_t slotsGeneration_ = 0;
    std::uint64_t slotsReshapes_ = 0;
    bool slotsBuilt_ = false;
};

} // namespace korvel
