// Arbitrary datagrams and TCP reads from a few senders, through DecodePacket
// and the endpoint's replies, into one table with an outbox that checks what
// is sent.
//
// Input: records of [selector][length high][length low][bytes]; the selector's
// low two bits pick the endpoint, the rest the sender. Several records share
// one table, so state that only a sequence reaches (re-keyed systems, Velka
// registrations, long station lists) is reached too.

#include "decode_input.h"
#include "fuzz_support.h"

#include "log/console_log.h"
#include "protocol/packet_builders.h"
#include "relay/decoder.h"
#include "relay/replies.h"

#include <algorithm>
#include <limits>
#include <string>
#include <string_view>
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
    // Lists longer than a page come from the seeds: a long preloaded one cost
    // every input more than all its packets did.
    SystemEntry& qvx = table.appendEntry("127.0.0.2", "QVX300", kTypeQvx, 2, 9000, "192.168.1.10");
    qvx.setStations({ "41100", "41101", "41102" });
    SystemEntry& velka = table.appendEntry("127.0.0.3", "VELKA", kTypeVelka, 2, 9000, "");
    velka.setStations({ "5000", "5001", "abc" });
    table.appendEntry("127.0.0.4", "QVX400", kTypeQvx, 3, 9010, "192.168.1.10");
    // system.dat can give a port any 32-bit value.
    table.appendEntry("172.16.0.9", "FAR", kTypeQvx, 2, std::numeric_limits<std::int32_t>::max(), "");
    return table;
}

// The table as text, so that two runs can be compared.
void AppendTable(const SystemTable& table, std::string& text)
{
    for (const SystemEntry& e : table.systems()) {
        text += e.IpAddress + '|' + e.ToIp + '|' + e.Name + '|' + std::to_string(e.Type) + '|'
            + std::to_string(e.EndpointType) + '|' + std::to_string(e.Port) + '|'
            + std::to_string(StatusNumber(e.Status)) + '\n';
        for (std::size_t i = 0; i < e.Stations.size(); ++i)
            text.append(" ").append(e.Stations[i]).append("=").append(std::to_string(e.StationStates[i]));
        text += '\n';
    }
}

// Checks the size of every packet sent against the packet that set it off
// and, when given a text, writes each down for the comparison of two runs.
class CheckingOutbox : public Outbox {
public:
    void sendUdp(const std::string& host, int port, Bytes bytes, const std::string& system) override
    {
        take("udp ", host, port, bytes, system);
    }
    void sendTcp(const std::string& host, int port, Bytes bytes, const std::string& system) override
    {
        take("tcp ", host, port, bytes, system);
    }

    std::size_t limit = 0;
    std::string* text = nullptr;

private:
    void take(const char* kind, const std::string& host, int port, Bytes bytes, const std::string& system)
    {
        FUZZ_CHECK(bytes.size() <= limit, "packet size sent");
        if (text)
            *text += kind + host + ':' + std::to_string(port) + " for " + system + ' '
                + std::string(bytes.begin(), bytes.end()) + '\n';
    }
};

char Lower(char c)
{
    return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
}

// What an entry promises: its station index finds the first station equal to
// a text ignoring ASCII case. Lookups of a station and of its lower-case form
// agree, and each station finds itself or an earlier equal one that finds
// itself; together these leave no earlier equal station unfound.
void CheckStations(const SystemEntry& e)
{
    FUZZ_CHECK(e.Stations.size() == e.StationStates.size(), "stations and states in step");
    FUZZ_CHECK(e.Stations.size() <= kMaxStations, "station cap");
    std::string lower;
    for (std::size_t i = 0; i < e.Stations.size(); ++i) {
        const std::string_view station = e.Stations[i];
        FUZZ_CHECK(station.size() <= wire::kStationSize, "station width");
        const std::ptrdiff_t found = e.findStation(station);
        FUZZ_CHECK(found >= 0 && static_cast<std::size_t>(found) <= i, "a station finds itself or an earlier one");
        if (static_cast<std::size_t>(found) != i) {
            const std::string_view first = e.Stations[static_cast<std::size_t>(found)];
            FUZZ_CHECK(std::equal(first.begin(), first.end(), station.begin(), station.end(),
                           [](char a, char b) { return Lower(a) == Lower(b); }),
                "the station found is the same text");
            FUZZ_CHECK(e.findStation(first) == found, "the station found finds itself");
        }
        if (std::any_of(station.begin(), station.end(), [](char c) { return c != Lower(c); })) {
            lower.assign(station);
            for (char& c : lower)
                c = Lower(c);
            FUZZ_CHECK(e.findStation(lower) == found, "case does not matter");
        }
    }
}

// What the table promises: an address finds the first entry that has it.
void CheckAddresses(const SystemTable& table)
{
    for (auto it = table.systems().begin(); it != table.systems().end(); ++it) {
        const auto first = std::find_if(table.systems().begin(), std::next(it),
            [&](const SystemEntry& other) { return other.IpAddress == it->IpAddress; });
        FUZZ_CHECK(table.findSystem(it->IpAddress) == &*first, "first entry of an address");
    }
}

void CheckTable(const SystemTable& table)
{
    CheckAddresses(table);
    for (const SystemEntry& e : table.systems())
        CheckStations(e);
}

// Plays the records into a fresh table and checks it, after every record or
// at the end only; `text`, when given, receives the table and what was sent.
void Run(const std::vector<fuzz::Record>& records, bool trace, bool checkEach, std::string* text = nullptr)
{
    DiscardSink sink;
    ConsoleLog console;
    console.setSink(&sink);
    trace ? console.enable() : console.disable();

    SystemTable table(fuzz::ScratchFolder() / "decode", [] { return std::int64_t { 1'700'000'000 }; });
    CheckingOutbox outbox;
    outbox.text = text;
    Settings settings;
    settings.ForwardStatus = true;
    TrafficCounters counters;
    SequenceCounter sequence;
    Replies replies(table, outbox, settings, counters, sequence, console);
    Preload(table);

    for (const fuzz::Record& record : records) {
        const Bytes packet = record.bytes;
        const std::string source = record.source;
        outbox.limit = std::max(packet.size(), wire::kMaxMultiAckSize);
        if (record.endpoint == fuzz::Endpoint::Tcp) {
            table.addSystem(source, std::string(), kTypeQvx);
            table.setSystemStatus(source, SystemStatus::Working);
            DecodePacket(table, replies, source, packet);
            replies.tcpStep(packet, source, [&](Bytes answer) -> std::int64_t {
                FUZZ_CHECK(answer.size() <= wire::kMaxGetResponseSize, "TCP answer size");
                if (text)
                    *text += "answer " + std::string(answer.begin(), answer.end()) + '\n';
                return static_cast<std::int64_t>(answer.size());
            });
        } else {
            const bool qvx = record.endpoint == fuzz::Endpoint::Qvx;
            table.addSystem(source, source, qvx ? kTypeQvx : kTypeVelka);
            table.setSystemStatus(source, SystemStatus::Working);
            DecodePacket(table, replies, source, packet);
            if (qvx)
                replies.udpStep(packet, source);
            else if (record.endpoint == fuzz::Endpoint::Velka)
                replies.velkaStep(packet, source);
        }
        // A packet changes the stations of its sender's entry only.
        if (checkEach) {
            CheckAddresses(table);
            if (const SystemEntry* sender = table.findSystem(source))
                CheckStations(*sender);
        }
    }

    CheckTable(table);
    if (text)
        AppendTable(table, *text);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::vector<fuzz::Record> records = fuzz::SplitRecords(data, size);
    const std::uint32_t hash = fuzz::InputHash(data, size);
    if (!fuzz::Sampled(hash)) {
        // Half the inputs with the trace on, half with it off.
        Run(records, (hash & fuzz::kSampleShare) != 0, false);
        return 0;
    }
    // Logging changes what is shown, never what is stored or sent.
    std::string traced;
    std::string quiet;
    Run(records, true, false, &traced);
    Run(records, false, true, &quiet);
    FUZZ_CHECK(traced == quiet, "the trace has no effect on the table or the packets");
    return 0;
}
