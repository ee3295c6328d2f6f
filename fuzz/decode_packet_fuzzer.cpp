// Arbitrary datagrams and TCP reads from a few senders, through DecodePacket
// and the endpoint's replies, into one table with a recording outbox.
//
// Input: records of [selector][length high][length low][bytes]; the selector's
// low two bits pick the endpoint, the rest the sender. Several records share
// one table, so state that only a sequence reaches (re-keyed systems, Velka
// registrations, long station lists) is reached too.

#include "decode_input.h"
#include "fuzz_support.h"

#include "protocol/packet_builders.h"
#include "relay/decoder.h"
#include "relay/replies.h"
#include "store/console_log.h"
#include "support/recording_outbox.h"

#include <algorithm>
#include <limits>
#include <map>
#include <string>
#include <vector>

using namespace korvel;

namespace {

class DiscardSink : public ConsoleSink {
public:
    void appendLine(std::string_view line) override { bytes += line.size(); }
    std::size_t bytes = 0;
};

SystemTable& Preload(SystemTable& table)
{
    // Two QVX systems share a forwarding address, so one announcement
    // re-keys both; the Velka system has stations to match reports against.
    SystemEntry& qvx = table.AppendEntry("127.0.0.2", "QVX300", kTypeQvx, 2, 9000, "192.168.1.10");
    std::vector<std::string> stations;
    for (int i = 0; i < 61; ++i)
        stations.push_back(std::to_string(41100 + i));
    qvx.setStations(stations);
    SystemEntry& velka = table.AppendEntry("127.0.0.3", "VELKA", kTypeVelka, 2, 9000, "");
    velka.setStations({ "5000", "5001", "abc" });
    table.AppendEntry("127.0.0.4", "QVX400", kTypeQvx, 3, 9010, "192.168.1.10");
    // system.dat can give a port any 32-bit value.
    table.AppendEntry("172.16.0.9", "FAR", kTypeQvx, 2, std::numeric_limits<std::int32_t>::max(), "");
    return table;
}

// The table as text, so that two runs can be compared.
std::string Snapshot(const SystemTable& table, const testing::RecordingOutbox& outbox,
    const std::vector<std::vector<std::uint8_t>>& tcpAnswers)
{
    std::string text;
    for (const SystemEntry& e : table.Systems()) {
        text += e.IpAddress + '|' + e.ToIp + '|' + e.Name + '|' + std::to_string(e.Type) + '|'
            + std::to_string(e.EndpointType) + '|' + std::to_string(e.Port) + '|' + std::to_string(e.Status) + '\n';
        for (std::size_t i = 0; i < e.Stations.size(); ++i)
            text += ' ' + e.Stations[i] + '=' + std::to_string(e.StationStates[i]);
        text += '\n';
    }
    for (const auto& sent : outbox.sent)
        text += (sent.tcp ? "tcp " : "udp ") + sent.host + ':' + std::to_string(sent.port) + ' '
            + std::string(sent.bytes.begin(), sent.bytes.end()) + '\n';
    for (const auto& answer : tcpAnswers)
        text += "answer " + std::string(answer.begin(), answer.end()) + '\n';
    return text;
}

// What the table promises: its indexes agree with a walk of the list.
void CheckTable(const SystemTable& table)
{
    std::map<std::string, const SystemEntry*> firstByAddress;
    for (const SystemEntry& e : table.Systems())
        firstByAddress.emplace(e.IpAddress, &e);
    for (const SystemEntry& e : table.Systems()) {
        FUZZ_CHECK(table.FindSystem(e.IpAddress) == firstByAddress.at(e.IpAddress), "first entry of an address");
        FUZZ_CHECK(e.Stations.size() == e.StationStates.size(), "stations and states in step");
        FUZZ_CHECK(e.Stations.size() <= kMaxStations, "station cap");
        std::map<std::string, std::ptrdiff_t> firstStation;
        for (std::size_t i = 0; i < e.Stations.size(); ++i) {
            std::string folded = e.Stations[i];
            for (char& c : folded)
                c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
            firstStation.emplace(folded, static_cast<std::ptrdiff_t>(i));
            FUZZ_CHECK(e.findStation(e.Stations[i]) == firstStation.at(folded), "first station of a number");
            FUZZ_CHECK(e.Stations[i].size() <= wire::kStationSize, "station width");
        }
    }
}

std::string Run(const std::vector<fuzz::Record>& records, bool trace)
{
    SequenceCounter::instance().set(1);
    DiscardSink sink;
    ConsoleSink* previous = SetConsoleSink(&sink);
    trace ? EnableConsoleLog() : DisableConsoleLog();

    SystemTable table(fuzz::ScratchFolder() / "decode", [] { return std::int64_t { 1'700'000'000 }; });
    testing::RecordingOutbox outbox;
    Settings settings;
    settings.ForwardStatus = true;
    TrafficCounters counters;
    Replies replies(table, outbox, settings, counters);
    Preload(table);

    std::vector<std::vector<std::uint8_t>> tcpAnswers;
    for (const fuzz::Record& record : records) {
        const Bytes packet(record.bytes);
        const std::size_t sentBefore = outbox.sent.size();
        if (record.endpoint == fuzz::Endpoint::Tcp) {
            table.AddSystem(record.source, std::string(), kTypeQvx);
            table.SetSystemStatus(record.source, SYSTEM_WORKING);
            DecodePacket(table, replies, record.source, packet);
            replies.tcpStep(packet, record.source, [&](Bytes answer) -> std::int64_t {
                tcpAnswers.emplace_back(answer.begin(), answer.end());
                return static_cast<std::int64_t>(answer.size());
            });
        } else {
            const bool qvx = record.endpoint == fuzz::Endpoint::Qvx;
            table.AddSystem(record.source, record.source, qvx ? kTypeQvx : kTypeVelka);
            table.SetSystemStatus(record.source, SYSTEM_WORKING);
            DecodePacket(table, replies, record.source, packet);
            if (qvx)
                replies.udpStep(packet, record.source);
            else if (record.endpoint == fuzz::Endpoint::Velka)
                replies.velkaStep(packet, record.source);
        }
        for (std::size_t i = sentBefore; i < outbox.sent.size(); ++i) {
            const auto& sent = outbox.sent[i];
            FUZZ_CHECK(sent.bytes.size() <= std::max(packet.size(), wire::kMaxMultiAckSize), "packet size sent");
        }
        CheckTable(table);
    }
    for (const auto& answer : tcpAnswers)
        FUZZ_CHECK(answer.size() <= wire::kMaxGetResponseSize, "TCP answer size");

    DisableConsoleLog();
    SetConsoleSink(previous);
    return Snapshot(table, outbox, tcpAnswers);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::vector<fuzz::Record> records = fuzz::SplitRecords(data, size);
    // Logging changes what is shown, never what is stored or sent.
    const std::string traced = Run(records, true);
    const std::string quiet = Run(records, false);
    FUZZ_CHECK(traced == quiet, "the trace has no effect on the table or the packets");
    return 0;
}
