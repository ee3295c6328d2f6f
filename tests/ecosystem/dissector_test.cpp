// Runs the Wireshark dissector (tools/wireshark/korvel.lua) under tshark on a
// capture made from the project's own packet builders, and checks what it
// decodes from every message of the protocol.

#include "pcap_writer.h"
#include "tshark_pdml.h"

#include "protocol/packet_builders.h"
#include "protocol/request_builders.h"
#include "protocol/text_render.h"

#include <QTemporaryDir>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <random>

namespace korvel::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr std::array<std::uint8_t, 4> kHubIp { 10, 0, 0, 1 };
constexpr std::array<std::uint8_t, 4> kQvxIp { 10, 0, 0, 2 };
constexpr std::array<std::uint8_t, 4> kVelkaIp { 10, 0, 0, 5 };

Address Hub(std::uint16_t port)
{
    return { kHubIp, port };
}
Address Qvx(std::uint16_t port)
{
    return { kQvxIp, port };
}
Address Velka(std::uint16_t port)
{
    return { kVelkaIp, port };
}

Packet Sized(std::uint8_t code, std::size_t size)
{
    SequenceCounter sequence;
    Packet packet(size, 0);
    BuildHeader(sequence, packet, code, static_cast<std::uint16_t>(size));
    return packet;
}

Packet GetResponse(std::uint16_t sequence, const std::vector<std::string>& stations)
{
    std::array<std::uint8_t, wire::kMaxGetResponseSize> buffer {};
    const std::size_t length = BuildGetResponse(buffer, sequence, &stations, 0);
    return Packet(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(length));
}

Packet MultiAck(std::uint8_t code, std::string_view systemId, const std::vector<std::string>& stations)
{
    std::array<std::uint8_t, wire::kMaxMultiAckSize> buffer {};
    const std::size_t length = FillMultiAck(buffer, systemId, stations);
    buffer[wire::kCodeOffset] = code;
    return Packet(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(length));
}

template <std::size_t N> Packet ToPacket(const std::array<std::uint8_t, N>& bytes)
{
    return Packet(bytes.begin(), bytes.end());
}

void SetEntryValue(Packet& packet, std::size_t entry, std::uint8_t value)
{
    packet[wire::kFirstEntryOffset + wire::kEntrySize * entry + wire::kEntryValueOffset] = value;
}

// One packet of the capture: what it is, its bytes, and how many of its
// bytes a receiver needs before every field it reads is there.
struct Message {
    std::string name;
    Packet bytes;
    std::size_t whole;
};

// Every message of the catalogue, as the systems and the hub build them.
std::vector<Message> Catalogue()
{
    SequenceCounter sequence;
    std::vector<Message> all;
    auto add = [&](std::string name, Packet bytes, std::size_t whole = 0) {
        const std::size_t size = bytes.size();
        all.push_back({ std::move(name), std::move(bytes), whole ? whole : size });
    };

    add("register", BuildRegister(sequence, "41100", "41101", "VELKA1"));
    add("ack", ToPacket(BuildAck(258)));
    Packet nak = Sized(MSG_NAK, 8);
    nak[6] = 0xAB, nak[7] = 0xCD;
    add("nak", nak, wire::kHeaderSize);
    add("unregister", BuildStationListRequest(sequence, MSG_UNREGISTER, "VELKA1", "40000", { "41100", "41102" }));
    add("unreg-multack", MultiAck(MSG_UNREG_MULTACK, "VELKA1", { "41100", "41102" }));
    add("registerv2",
        BuildStationListRequest(sequence, MSG_REGISTERv2, "VELKA1", "40000", { "41100", "1234567890123456", "7" }));
    Packet multack = BuildEntryPacket(MSG_MULTACK, "VELKA1", { "41100", "41101", "41102" }, RESULT_ACK);
    SetEntryValue(multack, 1, RESULT_NAK);
    SetEntryValue(multack, 2, 7);
    add("multack", multack);
    add("clear", BuildClear(sequence, "ALL"), wire::kHeaderSize);
    add("getdata", BuildGetData(sequence, "QVX300"));
    add("getresponse", GetResponse(0x1234, { "41100", "41101", "1234567890123456" }));
    Packet report = BuildEntryPacket(
        MSG_STATUSREPORT, "QVX300", { "41100", "41101", "41102", "41103", "41104", "41105" }, STATUS_IDLE);
    const std::uint8_t statuses[] = { STATUS_IDLE, STATUS_BUSY, STATUS_DND, STATUS_MSG, STATUS_OOS, 0xFF };
    for (std::size_t i = 0; i < std::size(statuses); ++i)
        SetEntryValue(report, i, statuses[i]);
    add("statusreport", report);
    add("system-register", BuildSystemRegister(sequence, "VELKA1", 2, { 192, 168, 1, 10 }, 9000),
        wire::kSystemPortOffset + 2);
    Packet unregister = Sized(MSG_SYSTEM_UNREGISTER, 38);
    WriteField(unregister, wire::kSystemIdOffset, wire::kSystemIdSize, "VELKA1");
    add("system-unregister", unregister, wire::kHeaderSize);
    add("keepalive", ToPacket(BuildKeepAlive()));
    add("getdatav2", BuildGetDataV2(sequence, "QVX300", 2));
    add("data-mismatch", ToPacket(BuildDataMismatch(sequence, "41199")), wire::kMismatchFlagOffset);
    return all;
}

class DissectorTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        SequenceCounter sequence;
        if (FindTshark().empty())
            return;
        folder_ = std::make_unique<QTemporaryDir>();
        catalogue_ = Catalogue();
        for (const auto& message : catalogue_)
            byName_[message.name] = &message;

        // Each message travels where it does between systems and the hub.
        PcapWriter capture;
        auto record = [&](const std::string& name, bool tcp, Address from, Address to) {
            frameOf_[name] = capture.frameCount();
            const auto& bytes = name.starts_with("raw:") ? extra_[name] : byName_.at(name)->bytes;
            tcp ? capture.tcp(from, to, bytes) : capture.udp(from, to, bytes);
        };
        record("register", false, Velka(40000), Hub(9004));
        record("ack", false, Hub(50000), Velka(9004));
        record("nak", true, Qvx(40001), Hub(9000));
        record("unregister", false, Velka(40000), Hub(9004));
        record("unreg-multack", false, Hub(50001), Velka(9004));
        record("registerv2", false, Velka(40000), Hub(9004));
        record("multack", false, Hub(50002), Velka(9004));
        record("clear", true, Qvx(40003), Hub(9000));
        record("getdata", true, Qvx(40004), Hub(9000));
        record("getresponse", true, Hub(9000), Qvx(40004));
        record("statusreport", false, Qvx(9001), Hub(9001));
        record("system-register", false, Velka(40000), Hub(9004));
        record("system-unregister", false, Velka(40000), Hub(9004));
        record("keepalive", false, Hub(50003), Qvx(9001));
        record("getdatav2", true, Qvx(40005), Hub(9000));
        record("data-mismatch", false, Hub(50004), Velka(9003));

        Packet rack = BuildEntryPacket(MSG_STATUSREPORT, "VELKA1", { "41100" }, STATUS_BUSY);
        extra_["raw:rack"] = rack;
        record("raw:rack", false, Velka(40000), Hub(9003));
        // Its Length is not its size, so that only the port decides.
        Packet lying = rack;
        WriteU16(lying, wire::kLengthOffset, 0);
        extra_["raw:other-port"] = lying;
        record("raw:other-port", false, Qvx(40006), Hub(9002));
        Packet unknown = Sized(17, 10);
        unknown[9] = 0x5A;
        extra_["raw:code17"] = unknown;
        record("raw:code17", false, Velka(40000), Hub(9004));
        extra_["raw:code0"] = Sized(0, 6);
        record("raw:code0", false, Velka(40000), Hub(9004));
        Packet overcounted = BuildEntryPacket(MSG_STATUSREPORT, "QVX300", { "41100", "41101" }, STATUS_BUSY);
        WriteU16(overcounted, wire::kEntryArraySizeOffset, 600);
        overcounted.push_back(0x31); // a partial third entry
        extra_["raw:overcounted"] = overcounted;
        record("raw:overcounted", false, Qvx(9001), Hub(9001));
        Packet padded = BuildRegister(sequence, "41100", "41101", "VELKA1");
        padded.insert(padded.end(), { 0xDE, 0xAD });
        extra_["raw:padded"] = padded;
        record("raw:padded", false, Velka(40000), Hub(9004));
        Packet cut = Sized(MSG_GETDATAv2, wire::kGetDataV2Size);
        cut.resize(wire::kGetDataV2Size - 1);
        extra_["raw:cut"] = cut;
        record("raw:cut", false, Velka(40000), Hub(9004));

        const std::string path = folder_->filePath("catalogue.pcap").toStdString();
        ASSERT_TRUE(capture.save(path));
        run_ = DecodeWithDissector(path);
    }

    static void TearDownTestSuite() { folder_.reset(); }

    void SetUp() override
    {
        if (FindTshark().empty())
            GTEST_SKIP() << "tshark is not installed (Debian package tshark); the dissector is not checked";
        ASSERT_TRUE(run_.started);
        ASSERT_EQ(run_.exitCode, 0) << run_.errors;
        ASSERT_THAT(run_.errors, Not(HasSubstr("Lua"))) << run_.errors;
    }

    static const DecodedFrame& Frame(const std::string& name)
    {
        static const DecodedFrame none;
        const std::size_t index = frameOf_.at(name);
        return index < run_.frames.size() ? run_.frames[index] : none;
    }

    static const Message& Sent(const std::string& name) { return *byName_.at(name); }

    static inline std::unique_ptr<QTemporaryDir> folder_;
    static inline std::vector<Message> catalogue_;
    static inline std::map<std::string, const Message*> byName_;
    static inline std::map<std::string, Packet> extra_;
    static inline std::map<std::string, std::size_t> frameOf_;
    static inline TsharkRun run_;
};

TEST_F(DissectorTest, NamesEveryMessageAndDecodesItsHeader)
{
    ASSERT_EQ(run_.frames.size(), frameOf_.size());
    for (const auto& message : catalogue_) {
        SCOPED_TRACE(message.name);
        const DecodedFrame& frame = Frame(message.name);
        const int code = message.bytes[wire::kCodeOffset];
        ASSERT_TRUE(frame.has("korvel"));
        EXPECT_EQ(frame.show("korvel.code"), std::to_string(code));
        EXPECT_THAT(frame.showname("korvel.code"), HasSubstr(std::string(MessageName(code))));
        EXPECT_EQ(frame.show("korvel.marker"), "0x0b");
        EXPECT_EQ(frame.show("korvel.length"), std::to_string(message.bytes.size()));
        const bool numbered = HasSequenceNumber(code) && message.bytes.size() >= wire::kHeaderSize;
        if (numbered)
            EXPECT_EQ(frame.show("korvel.seq"), std::to_string(GetSequenceNumber(message.bytes)));
        else
            EXPECT_FALSE(frame.has("korvel.seq"));
        // A well-formed message raises no warning of any kind.
        EXPECT_FALSE(frame.has("_ws.expert")) << frame.showname("_ws.expert");
        EXPECT_FALSE(frame.has("_ws.malformed"));
        EXPECT_FALSE(frame.has("korvel.extra"));
    }
}

TEST_F(DissectorTest, ShowsTheFieldsOfRequestsAndPages)
{
    const DecodedFrame& reg = Frame("register");
    EXPECT_EQ(reg.show("korvel.system_id"), "VELKA1");
    EXPECT_EQ(reg.show("korvel.source_station"), "41100");
    EXPECT_EQ(reg.show("korvel.destination_station"), "41101");

    for (const char* name : { "unregister", "registerv2" }) {
        SCOPED_TRACE(name);
        const DecodedFrame& list = Frame(name);
        EXPECT_EQ(list.show("korvel.system_id"), "VELKA1");
        EXPECT_EQ(list.show("korvel.source_station"), "40000");
    }
    EXPECT_EQ(Frame("unregister").show("korvel.array_size"), "2");
    EXPECT_THAT(Frame("unregister").shows("korvel.destination_station"), ElementsAre("41100", "41102"));
    EXPECT_EQ(Frame("registerv2").show("korvel.array_size"), "3");
    EXPECT_THAT(Frame("registerv2").shows("korvel.destination_station"), ElementsAre("41100", "1234567890123456", "7"));

    EXPECT_EQ(Frame("getdata").show("korvel.system_id"), "QVX300");
    EXPECT_EQ(Frame("getdatav2").show("korvel.system_id"), "QVX300");
    EXPECT_EQ(Frame("getdatav2").show("korvel.page_index"), "2");

    const DecodedFrame& page = Frame("getresponse");
    EXPECT_EQ(page.show("korvel.seq"), "4660");
    EXPECT_EQ(page.show("korvel.array_size"), "3");
    EXPECT_THAT(page.shows("korvel.station"), ElementsAre("41100", "41101", "1234567890123456"));

    EXPECT_EQ(Frame("clear").show("korvel.body"), "41:4c:4c");
    EXPECT_EQ(Frame("nak").show("korvel.body"), "ab:cd");
    EXPECT_THAT(Frame("system-unregister").show("korvel.body"), HasSubstr("56:45:4c:4b:41:31"));
    EXPECT_THAT(Frame("keepalive").showname("korvel"), HasSubstr("keep-alive"));
}

TEST_F(DissectorTest, NamesTheStatusAndResultOfEveryEntry)
{
    const DecodedFrame& report = Frame("statusreport");
    EXPECT_EQ(report.show("korvel.system_id"), "QVX300");
    EXPECT_EQ(report.show("korvel.array_size"), "6");
    EXPECT_THAT(report.shows("korvel.station"), ElementsAre("41100", "41101", "41102", "41103", "41104", "41105"));
    EXPECT_THAT(report.shownames("korvel.status"),
        ElementsAre("Status: IDLE (0)", "Status: BUSY (1)", "Status: DND (2)", "Status: MSG (3)", "Status: OOS (4)",
            "Status: Unknown (255)"));
    EXPECT_THAT(report.showname("korvel.entry"), HasSubstr("41100 IDLE"));

    const DecodedFrame& multack = Frame("multack");
    EXPECT_EQ(multack.show("korvel.system_id"), "VELKA1");
    EXPECT_EQ(multack.show("korvel.array_size"), "3");
    EXPECT_THAT(multack.shows("korvel.station"), ElementsAre("41100", "41101", "41102"));
    EXPECT_THAT(
        multack.shownames("korvel.result"), ElementsAre("Result: ACK (1)", "Result: NAK (2)", "Result: Unknown (7)"));

    const DecodedFrame& unreg = Frame("unreg-multack");
    EXPECT_THAT(unreg.shows("korvel.station"), ElementsAre("41100", "41102"));
    EXPECT_THAT(unreg.shownames("korvel.result"), ElementsAre("Result: ACK (1)", "Result: ACK (1)"));
}

TEST_F(DissectorTest, ShowsTheAnnouncedAddressAndTheMismatchedStation)
{
    const DecodedFrame& announce = Frame("system-register");
    EXPECT_EQ(announce.show("korvel.system_id"), "VELKA1");
    EXPECT_EQ(announce.show("korvel.system_ip"), "192.168.1.10");
    EXPECT_EQ(announce.show("korvel.system_port"), "9000");
    EXPECT_EQ(announce.show("korvel.endpoint_type"), "2");

    const DecodedFrame& mismatch = Frame("data-mismatch");
    EXPECT_EQ(mismatch.show("korvel.station"), "41199");
    EXPECT_EQ(mismatch.show("korvel.system_id"), "");
    EXPECT_EQ(mismatch.show("korvel.flag"), "1");
}

TEST_F(DissectorTest, DecodesTheHubsPortsOnly)
{
    EXPECT_TRUE(Frame("raw:rack").has("korvel")) << "UDP base port + 3";
    EXPECT_EQ(Frame("raw:rack").show("korvel.station"), "41100");
    EXPECT_TRUE(Frame("getresponse").has("korvel")) << "an answer on the hub's TCP connection";
    EXPECT_FALSE(Frame("raw:other-port").has("korvel")) << "UDP base port + 2 is not the hub's";
}

TEST_F(DissectorTest, MarksWhatDoesNotFitTheLayout)
{
    const DecodedFrame& unknown = Frame("raw:code17");
    EXPECT_TRUE(unknown.has("korvel.unknown_code"));
    EXPECT_FALSE(unknown.has("korvel.seq"));
    EXPECT_THAT(unknown.show("korvel.body"), ::testing::EndsWith(":00:00:00:5a")) << "bytes 4 to 9";
    EXPECT_TRUE(Frame("raw:code0").has("korvel.unknown_code"));

    const DecodedFrame& overcounted = Frame("raw:overcounted");
    EXPECT_EQ(overcounted.show("korvel.array_size"), "600");
    EXPECT_THAT(overcounted.shows("korvel.station"), ElementsAre("41100", "41101"));
    EXPECT_TRUE(overcounted.has("korvel.missing_entries"));
    EXPECT_TRUE(overcounted.has("korvel.extra"));

    const DecodedFrame& padded = Frame("raw:padded");
    EXPECT_EQ(padded.show("korvel.destination_station"), "41101");
    EXPECT_EQ(padded.show("korvel.extra"), "de:ad");
    EXPECT_TRUE(padded.has("korvel.length_mismatch"));
    EXPECT_FALSE(padded.has("korvel.short"));

    const DecodedFrame& cut = Frame("raw:cut");
    EXPECT_TRUE(cut.has("korvel.short"));
    EXPECT_FALSE(cut.has("korvel.page_index"));
}

// Every message cut at every length: the cut is marked exactly when a field
// that receivers read is missing, and the dissector never fails.
TEST_F(DissectorTest, MarksEveryCutOfEveryMessage)
{
    PcapWriter capture;
    std::vector<std::pair<const Message*, std::size_t>> cuts;
    for (const auto& message : catalogue_) {
        for (std::size_t length = 1; length < message.bytes.size(); ++length) {
            cuts.emplace_back(&message, length);
            capture.udp(Velka(40000), Hub(9004), std::span(message.bytes).first(length));
        }
    }
    const std::string path = folder_->filePath("cuts.pcap").toStdString();
    ASSERT_TRUE(capture.save(path));
    const TsharkRun cutRun = DecodeWithDissector(path);
    ASSERT_EQ(cutRun.exitCode, 0) << cutRun.errors;
    EXPECT_THAT(cutRun.errors, Not(HasSubstr("Lua")));
    ASSERT_EQ(cutRun.frames.size(), cuts.size());

    for (std::size_t i = 0; i < cuts.size(); ++i) {
        const auto& [message, length] = cuts[i];
        SCOPED_TRACE(message->name + " cut to " + std::to_string(length) + " bytes");
        const DecodedFrame& frame = cutRun.frames[i];
        ASSERT_TRUE(frame.has("korvel"));
        // Marked by the dissector itself, not by a failure inside it.
        EXPECT_FALSE(frame.has("_ws.lua.error")) << frame.showname("_ws.lua.error");
        EXPECT_FALSE(frame.has("_ws.malformed.expert"));
        const bool marked = frame.has("korvel.short") || frame.has("korvel.missing_entries");
        EXPECT_EQ(marked, length < message->whole);
        if (length >= wire::kShortHeaderSize) {
            EXPECT_TRUE(frame.has("korvel.length_mismatch"));
        }
        if (length >= 2) {
            EXPECT_EQ(frame.show("korvel.code"), std::to_string(message->bytes[wire::kCodeOffset]));
        }
    }
}

TEST_F(DissectorTest, BasePortPreferenceMovesTheHubsPorts)
{
    SequenceCounter sequence;
    // A Length that is not the size, so that only the ports decide.
    Packet report = BuildEntryPacket(MSG_STATUSREPORT, "QVX300", { "41100" }, STATUS_DND);
    WriteU16(report, wire::kLengthOffset, 0);
    const Packet request = BuildGetData(sequence, "QVX300");
    PcapWriter capture;
    capture.tcp(Qvx(40000), Hub(19000), request);
    for (std::uint16_t port : { 19001, 19003, 19004, 9003, 9004, 9001 })
        capture.udp(Qvx(40000), Hub(port), report);
    const std::string path = folder_->filePath("moved.pcap").toStdString();
    ASSERT_TRUE(capture.save(path));

    const TsharkRun moved = DecodeWithDissector(path, { "korvel.base_port:19000" });
    ASSERT_EQ(moved.exitCode, 0) << moved.errors;
    ASSERT_EQ(moved.frames.size(), 7u);
    EXPECT_EQ(moved.frames[0].show("korvel.system_id"), "QVX300") << "TCP base port";
    for (std::size_t i = 1; i <= 5; ++i)
        EXPECT_EQ(moved.frames[i].show("korvel.station"), "41100") << "frame " << i;
    EXPECT_FALSE(moved.frames[6].has("korvel")) << "UDP 9001 belongs to base port 9000";
}

// A system that is down answers a forward or keep-alive with an ICMP error
// quoting its start: a truncated copy, decoded as far as it goes, unmarked.
TEST_F(DissectorTest, DecodesPacketsQuotedInIcmpErrorsUnmarked)
{
    std::vector<std::string> stations;
    for (int i = 0; i < 50; ++i)
        stations.push_back(std::to_string(41100 + i));
    const Packet report = BuildEntryPacket(MSG_STATUSREPORT, "QVX300", stations, STATUS_BUSY);
    struct Case {
        const char* what;
        Packet bytes;
        std::uint16_t port;
        std::size_t quoted;
        std::size_t entries;
    };
    // 520 bytes: what an error of 576 bytes holds of a datagram.
    const Case cases[] = {
        { "keep-alive, whole", ToPacket(BuildKeepAlive()), 9001, 4, 0 },
        { "status report cut inside an entry", report, 9001, 520, 28 },
        { "status report cut inside its System ID", report, 9001, 20, 0 },
        { "status report to another port", report, 47101, 520, 28 },
    };
    PcapWriter capture;
    for (const auto& c : cases)
        capture.icmpUnreachable(Hub(50000), Qvx(c.port), c.bytes, c.quoted);
    const std::string path = folder_->filePath("icmp.pcap").toStdString();
    ASSERT_TRUE(capture.save(path));
    const TsharkRun run = DecodeWithDissector(path);
    ASSERT_EQ(run.exitCode, 0) << run.errors;
    ASSERT_EQ(run.frames.size(), std::size(cases));

    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].what);
        const DecodedFrame& frame = run.frames[i];
        ASSERT_TRUE(frame.has("icmp"));
        ASSERT_TRUE(frame.has("korvel"));
        EXPECT_EQ(frame.show("korvel.code"), std::to_string(cases[i].bytes[wire::kCodeOffset]));
        EXPECT_EQ(frame.shows("korvel.station").size(), cases[i].entries);
        for (const char* mark :
            { "korvel.short", "korvel.missing_entries", "korvel.length_mismatch", "_ws.malformed", "_ws.lua.error" })
            EXPECT_FALSE(frame.has(mark)) << mark;
    }
}

// Forwards and keep-alives to QVX systems on ports P and P+1 other than the
// hub's: recognised by their content, or decoded on the extra ports whatever
// their content.
TEST_F(DissectorTest, DecodesOtherPortsByContentOrPreference)
{
    SequenceCounter sequence;
    Packet lying = BuildEntryPacket(MSG_STATUSREPORT, "QVX300", { "41100" }, STATUS_DND);
    WriteU16(lying, wire::kLengthOffset, static_cast<std::uint16_t>(lying.size() + 17));
    struct Case {
        const char* what;
        bool tcp;
        Packet bytes;
        bool recognised;
    };
    const Case cases[] = {
        { "status report forwarded to P+1", false,
            BuildEntryPacket(MSG_STATUSREPORT, "QVX300", { "41100", "41101" }, STATUS_BUSY), true },
        { "keep-alive to P+1", false, ToPacket(BuildKeepAlive()), true },
        { "register forwarded to P", true, BuildRegister(sequence, "41100", "41101", "VELKA1"), true },
        { "registerv2 forwarded to P", true,
            BuildStationListRequest(sequence, MSG_REGISTERv2, "VELKA1", "40000", { "41100", "41102" }), true },
        { "a Length that is not the size", false, lying, false },
    };
    PcapWriter capture;
    std::uint16_t sourcePort = 50000;
    for (const auto& c : cases)
        c.tcp ? capture.tcp(Hub(sourcePort++), Qvx(47100), c.bytes)
              : capture.udp(Hub(sourcePort++), Qvx(47101), c.bytes);
    const std::string path = folder_->filePath("other-ports.pcap").toStdString();
    ASSERT_TRUE(capture.save(path));

    const TsharkRun byContent = DecodeWithDissector(path);
    const TsharkRun byPreference = DecodeWithDissector(path, { "korvel.extra_ports:47100-47101" });
    for (const TsharkRun* run : { &byContent, &byPreference }) {
        ASSERT_EQ(run->exitCode, 0) << run->errors;
        ASSERT_EQ(run->frames.size(), std::size(cases));
    }
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].what);
        EXPECT_EQ(byContent.frames[i].has("korvel"), cases[i].recognised);
        EXPECT_EQ(byPreference.frames[i].show("korvel.code"), std::to_string(cases[i].bytes[wire::kCodeOffset]));
    }
}

// Traffic of other protocols on ports that are not the hub's is not claimed:
// random bytes, and packets that nearly fit.
TEST_F(DissectorTest, LeavesOtherTrafficAlone)
{
    SequenceCounter sequence;
    PcapWriter capture;
    std::mt19937 random(18);
    for (std::uint16_t i = 0; i < 300; ++i) {
        Packet bytes(1 + random() % 600);
        for (auto& byte : bytes)
            byte = static_cast<std::uint8_t>(random());
        i % 2 ? capture.udp(Qvx(static_cast<std::uint16_t>(40000 + i)), Hub(47200), bytes)
              : capture.tcp(Qvx(static_cast<std::uint16_t>(40000 + i)), Hub(47200), bytes);
    }
    Packet marker = BuildRegister(sequence, "41100", "41101", "VELKA1");
    marker[0] = 0x0C;
    Packet longer = BuildRegister(sequence, "41100", "41101", "VELKA1");
    WriteU16(longer, wire::kLengthOffset, 71);
    Packet padded = ToPacket(BuildAck(1));
    padded.resize(8);
    WriteU16(padded, wire::kLengthOffset, 8);
    Packet binaryId = BuildGetData(sequence, "QVX300");
    binaryId[wire::kSystemIdOffset + 1] = 0x01;
    Packet paddedId = BuildGetData(sequence, "QVX300");
    paddedId[wire::kSystemIdOffset + 10] = 'X';
    Packet endless = Sized(MSG_NAK, 2000); // a body of any size cannot say that more is to come
    endless.resize(100);
    const Packet nearMisses[] = { marker, longer, padded, binaryId, paddedId, Sized(17, 10), endless };
    std::uint16_t sourcePort = 41000;
    for (const auto& bytes : nearMisses) {
        capture.udp(Qvx(sourcePort++), Hub(47200), bytes);
        capture.tcp(Qvx(sourcePort++), Hub(47200), bytes);
    }
    const std::string path = folder_->filePath("others.pcap").toStdString();
    ASSERT_TRUE(capture.save(path));
    const TsharkRun run = DecodeWithDissector(path);
    ASSERT_EQ(run.exitCode, 0) << run.errors;
    ASSERT_EQ(run.frames.size(), capture.frameCount());
    // A claimed segment left for reassembly shows no fields, but its layers tell.
    for (std::size_t i = 0; i < run.frames.size(); ++i)
        EXPECT_THAT(run.frames[i].show("frame.protocols"), Not(HasSubstr("korvel"))) << "frame " << i;
}

// TCP: a request split over segments is decoded once, whole, where its last
// segment arrives; requests that share a segment are each decoded.
TEST_F(DissectorTest, CutsTcpRequestsOutOfTheStreamByLength)
{
    SequenceCounter sequence;
    const Packet request
        = BuildStationListRequest(sequence, MSG_REGISTERv2, "QVX300", "40000", { "41100", "41101", "41102", "41103" });
    struct Case {
        const char* what;
        std::uint16_t port;
        std::size_t cuts[2];
    };
    const Case cases[] = {
        { "hub's port, cut inside the header", 9000, { 3, 60 } },
        { "another port, recognised", 47100, { 10, 100 } },
    };
    PcapWriter capture;
    std::uint16_t sourcePort = 40000;
    for (const auto& c : cases) {
        const std::span<const std::uint8_t> bytes(request);
        capture.tcp(Qvx(sourcePort), Hub(c.port), bytes.first(c.cuts[0]));
        capture.tcp(Qvx(sourcePort), Hub(c.port), bytes.subspan(c.cuts[0], c.cuts[1] - c.cuts[0]));
        capture.tcp(Qvx(sourcePort++), Hub(c.port), bytes.subspan(c.cuts[1]));
    }
    Packet two = BuildGetData(sequence, "QVX300");
    const Packet second = BuildGetDataV2(sequence, "QVX301", 3);
    two.insert(two.end(), second.begin(), second.end());
    capture.tcp(Qvx(sourcePort++), Hub(9000), two);
    capture.tcp(Qvx(sourcePort++), Hub(47100), two);
    const std::string path = folder_->filePath("stream.pcap").toStdString();
    ASSERT_TRUE(capture.save(path));
    const TsharkRun run = DecodeWithDissector(path);
    ASSERT_EQ(run.exitCode, 0) << run.errors;
    ASSERT_EQ(run.frames.size(), 8u);

    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].what);
        EXPECT_FALSE(run.frames[3 * i].has("korvel"));
        EXPECT_FALSE(run.frames[3 * i + 1].has("korvel"));
        const DecodedFrame& last = run.frames[3 * i + 2];
        EXPECT_EQ(last.shows("korvel").size(), 1u);
        EXPECT_EQ(last.show("korvel.system_id"), "QVX300");
        EXPECT_THAT(last.shows("korvel.destination_station"), ElementsAre("41100", "41101", "41102", "41103"));
        EXPECT_FALSE(last.has("korvel.length_mismatch"));
    }
    for (std::size_t i = 6; i < 8; ++i) {
        SCOPED_TRACE("two requests in the segment of frame " + std::to_string(i));
        EXPECT_THAT(run.frames[i].shows("korvel.code"), ElementsAre("6", "13"));
        EXPECT_THAT(run.frames[i].shows("korvel.system_id"), ElementsAre("QVX300", "QVX301"));
        EXPECT_EQ(run.frames[i].show("korvel.page_index"), "3");
        EXPECT_FALSE(run.frames[i].has("korvel.length_mismatch"));
    }
}

} // namespace
} // namespace korvel::testing
