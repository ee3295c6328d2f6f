#include "send_command.h"

#include "protocol/defaults.h"
#include "protocol/packet_builders.h"

#include <arpa/inet.h>
#include <getopt.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <functional>
#include <map>

namespace korvel {

namespace {

const std::vector<std::string> kDefaultStations = { "41100", "41101", "41102", "41103", "41104" };

enum OptionId : int {
    kHelp = 'h',
    kVersion = 'V',
    kFrom = 256,
    kTcp,
    kUdp,
    kListen,
    kAllowOwnAddress,
    kSystemId,
    kStations,
    kStatus,
    kResult,
    kSource,
    kDest,
    kPage,
    kSeq,
    kEndpointType,
    kAddress,
    kPort,
    kTimeout,
};

const option kOptions[] = {
    { "help", no_argument, nullptr, kHelp },
    { "version", no_argument, nullptr, kVersion },
    { "from", required_argument, nullptr, kFrom },
    { "tcp", no_argument, nullptr, kTcp },
    { "udp", no_argument, nullptr, kUdp },
    { "listen", no_argument, nullptr, kListen },
    { "allow-own-address", no_argument, nullptr, kAllowOwnAddress },
    { "system-id", required_argument, nullptr, kSystemId },
    { "stations", required_argument, nullptr, kStations },
    { "status", required_argument, nullptr, kStatus },
    { "result", required_argument, nullptr, kResult },
    { "source", required_argument, nullptr, kSource },
    { "dest", required_argument, nullptr, kDest },
    { "page", required_argument, nullptr, kPage },
    { "seq", required_argument, nullptr, kSeq },
    { "endpoint-type", required_argument, nullptr, kEndpointType },
    { "address", required_argument, nullptr, kAddress },
    { "port", required_argument, nullptr, kPort },
    { "timeout", required_argument, nullptr, kTimeout },
    { nullptr, 0, nullptr, 0 },
};

// A mistake on the command line, in the words the user reads.
Failure Mistake(std::string text)
{
    return Fail(std::move(text), Failure::Kind::Invalid);
}

std::string OptionName(int id)
{
    for (const option& entry : kOptions) {
        if (entry.name && entry.val == id)
            return std::string("--") + entry.name;
    }
    return std::string("-") + static_cast<char>(id);
}

// The command line as given: valued options by id, switches, operands.
struct RawArguments {
    std::map<int, std::string> values;
    std::optional<SendCommand::Transport> transport;
    bool listen = false;
    bool allowOwnAddress = false;
    bool help = false;
    bool version = false;
    std::vector<std::string> operands;

    bool has(int id) const { return values.count(id) != 0; }
    std::string value(int id, std::string fallback) const
    {
        const auto found = values.find(id);
        return found == values.end() ? std::move(fallback) : found->second;
    }
};

Result<void> ReadArguments(const std::vector<std::string>& arguments, RawArguments& raw)
{
    // getopt_long permutes its argv, so it gets a private, writable copy.
    std::vector<std::string> storage { "korvel-send" };
    storage.insert(storage.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : storage)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(storage.size());

    optind = 0; // GNU: start a fresh scan, as every call parses a new line
    opterr = 0; // the messages are ours
    for (;;) {
        const int id = getopt_long(argc, argv.data(), ":hV", kOptions, nullptr);
        if (id == -1)
            break;
        switch (id) {
        case kHelp:
            raw.help = true;
            return {};
        case kVersion:
            raw.version = true;
            return {};
        case kTcp:
        case kUdp:
            raw.transport = id == kTcp ? SendCommand::Transport::Tcp : SendCommand::Transport::Udp;
            break;
        case kListen:
            raw.listen = true;
            break;
        case kAllowOwnAddress:
            raw.allowOwnAddress = true;
            break;
        case ':':
            return Mistake(OptionName(optopt) + " needs a value");
        case '?':
            return Mistake("unknown option "
                + (optopt ? std::string("-") + static_cast<char>(optopt) : std::string(argv[optind - 1])));
        default:
            raw.values[id] = optarg;
            break;
        }
    }
    raw.operands.assign(argv.begin() + optind, argv.begin() + argc);
    return {};
}

bool ParseInt(const std::string& text, long minimum, long maximum, long& value)
{
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc() && ptr == end && value >= minimum && value <= maximum;
}

std::vector<std::string> SplitList(const std::string& text)
{
    std::vector<std::string> items;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t comma = text.find(',', start);
        items.push_back(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    return items;
}

bool ParseHex(const std::vector<std::string>& tokens, Packet& out)
{
    std::string digits;
    for (const auto& token : tokens)
        for (char c : token)
            if (!std::isspace(static_cast<unsigned char>(c)) && c != ':')
                digits += c;
    if (digits.rfind("0x", 0) == 0 || digits.rfind("0X", 0) == 0)
        digits.erase(0, 2);
    if (digits.empty() || digits.size() % 2 != 0)
        return false;
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        unsigned value = 0;
        auto [ptr, ec] = std::from_chars(digits.data() + i, digits.data() + i + 2, value, 16);
        if (ec != std::errc() || ptr != digits.data() + i + 2)
            return false;
        out.push_back(static_cast<std::uint8_t>(value));
    }
    return true;
}

bool ParseByteName(const std::string& text, const std::map<std::string, std::uint8_t>& names, std::uint8_t& value)
{
    std::string lower = text;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    if (auto found = names.find(lower); found != names.end()) {
        value = found->second;
        return true;
    }
    long number = 0;
    if (!ParseInt(text, 0, 255, number))
        return false;
    value = static_cast<std::uint8_t>(number);
    return true;
}

// Messages that travel by UDP unless told otherwise: the hub takes reports on
// its datagram endpoints and answers nothing to them over TCP anyway.
bool DefaultsToUdp(const std::string& message)
{
    return message == "statusreport" || message == "multack" || message == "unreg-multack" || message == "keepalive";
}

// HOST:PORT and the message name.
Result<void> ParseTarget(const RawArguments& raw, SendCommand& command)
{
    if (raw.operands.size() < 2) {
        return Mistake("give HOST:PORT and a MESSAGE");
    }
    const std::string& target = raw.operands[0];
    const std::size_t colon = target.rfind(':');
    long port = 0;
    if (colon == std::string::npos || colon == 0 || !ParseInt(target.substr(colon + 1), 1, 65535, port)) {
        return Mistake("'" + target + "' is not HOST:PORT");
    }
    command.host = target.substr(0, colon);
    command.port = static_cast<int>(port);
    command.message = raw.operands[1];
    if (raw.operands.size() > 2 && command.message != "raw") {
        return Mistake("unexpected argument '" + raw.operands[2] + "'");
    }
    return {};
}

// Where the packet leaves from, by which transport, and how long to wait.
Result<void> ParseDelivery(const RawArguments& raw, SendCommand& command)
{
    command.from = raw.value(kFrom, {});
    command.allowOwnAddress = raw.allowOwnAddress;
    command.listen = raw.listen;
    command.transport = raw.transport.value_or(
        DefaultsToUdp(command.message) ? SendCommand::Transport::Udp : SendCommand::Transport::Tcp);
    if (raw.has(kTimeout)) {
        const std::string text = raw.value(kTimeout, {});
        char* end = nullptr;
        command.timeoutSeconds = std::strtod(text.c_str(), &end);
        if (text.empty() || *end != '\0' || !(command.timeoutSeconds > 0 && command.timeoutSeconds <= 3600)) {
            return Mistake("--timeout wants a number of seconds");
        }
    }
    if (command.listen && command.transport != SendCommand::Transport::Udp) {
        return Mistake("--listen is for UDP");
    }
    if (command.listen && command.from.empty()) {
        return Mistake("--listen needs --from: the hub answers to ports 9003 and 9004 of the sender's address");
    }
    return {};
}

// The packet's fields, each from its option or its default.
struct PacketFields {
    std::string systemId;
    bool systemIdGiven = false;
    std::vector<std::string> stations;
    bool stationsGiven = false;
    std::string source;
    std::string dest;
    std::uint8_t status = STATUS_BUSY;
    std::uint8_t result = RESULT_ACK;
    long page = 0;
    long endpointType = kDefaultEndpointType;
    long systemPort = kDefaultSystemPort;
    std::string address;
    // Numbers the one packet sent, from --seq.
    SequenceCounter sequence;
};

// The option's number, or `fallback` when it is not given.
Result<long> ParseNumber(const RawArguments& raw, int id, long maximum, long fallback)
{
    if (!raw.has(id))
        return fallback;
    long value = 0;
    if (ParseInt(raw.value(id, {}), 0, maximum, value))
        return value;
    return Mistake(OptionName(id) + " wants a number from 0 to " + std::to_string(maximum));
}

Result<void> ParsePacketFields(const RawArguments& raw, const SendCommand& command, PacketFields& fields)
{
    const bool getData = command.message == "getdata" || command.message == "getdatav2";
    fields.systemIdGiven = raw.has(kSystemId);
    fields.systemId = raw.value(kSystemId, getData ? "VEZIDUZ" : "QVX300");
    fields.stationsGiven = raw.has(kStations);
    fields.stations = fields.stationsGiven ? SplitList(raw.value(kStations, {})) : kDefaultStations;
    // A packet holds at most this many; cutting the list would send something
    // other than what was asked for.
    if (fields.stations.size() > wire::kMaxMultiAckEntries)
        return Mistake("--stations lists " + std::to_string(fields.stations.size())
            + " stations; a packet holds at most " + std::to_string(wire::kMaxMultiAckEntries));
    fields.source = raw.value(kSource, "41100");
    fields.dest = raw.value(kDest, "42200");
    fields.address = raw.value(kAddress, command.from.empty() ? "127.0.0.1" : command.from);

    const Result<long> numbers[] = { ParseNumber(raw, kSeq, 65535, 1), ParseNumber(raw, kPage, 65535, 0),
        ParseNumber(raw, kEndpointType, 65535, kDefaultEndpointType),
        ParseNumber(raw, kPort, 65535, kDefaultSystemPort) };
    for (const Result<long>& number : numbers)
        if (!number)
            return number.failure();
    fields.sequence.set(static_cast<std::uint16_t>(*numbers[0]));
    fields.page = *numbers[1];
    fields.endpointType = *numbers[2];
    fields.systemPort = *numbers[3];

    if (raw.has(kStatus)
        && !ParseByteName(raw.value(kStatus, {}),
            { { "idle", STATUS_IDLE }, { "busy", STATUS_BUSY }, { "dnd", STATUS_DND }, { "msg", STATUS_MSG },
                { "oos", STATUS_OOS } },
            fields.status)) {
        return Mistake("--status wants idle, busy, dnd, msg, oos or 0-255");
    }
    if (raw.has(kResult)
        && !ParseByteName(raw.value(kResult, {}), { { "ack", RESULT_ACK }, { "nak", RESULT_NAK } }, fields.result)) {
        return Mistake("--result wants ack, nak or 0-255");
    }
    return {};
}

using PacketBuilder = std::function<Result<Packet>(PacketFields&, const std::vector<std::string>& operands)>;

const std::map<std::string, PacketBuilder>& PacketBuilders()
{
    static const std::map<std::string, PacketBuilder> builders = {
        { "register",
            [](PacketFields& f, auto&) -> Result<Packet> {
                return BuildRegister(f.sequence, f.source, f.dest, f.systemIdGiven ? f.systemId : std::string());
            } },
        { "unregister",
            [](PacketFields& f, auto&) -> Result<Packet> {
                return BuildStationListRequest(f.sequence, MSG_UNREGISTER, f.systemIdGiven ? f.systemId : std::string(),
                    f.source, f.stationsGiven ? f.stations : std::vector { f.dest });
            } },
        { "registerv2",
            [](PacketFields& f, auto&) -> Result<Packet> {
                return BuildStationListRequest(f.sequence, MSG_REGISTERv2, f.systemId, f.source, f.stations);
            } },
        { "clear", [](PacketFields& f, auto&) -> Result<Packet> { return BuildClear(f.sequence); } },
        { "getdata", [](PacketFields& f, auto&) -> Result<Packet> { return BuildGetData(f.sequence, f.systemId); } },
        { "getdatav2",
            [](PacketFields& f, auto&) -> Result<Packet> {
                return BuildGetDataV2(f.sequence, f.systemId, static_cast<std::uint16_t>(f.page));
            } },
        { "statusreport",
            [](PacketFields& f, auto&) -> Result<Packet> {
                return BuildEntryPacket(MSG_STATUSREPORT, f.systemId, f.stations, f.status);
            } },
        { "multack",
            [](PacketFields& f, auto&) -> Result<Packet> {
                return BuildEntryPacket(MSG_MULTACK, f.systemId, f.stations, f.result);
            } },
        { "unreg-multack",
            [](PacketFields& f, auto&) -> Result<Packet> {
                return BuildEntryPacket(MSG_UNREG_MULTACK, f.systemId, f.stations, f.result);
            } },
        { "system-register",
            [](PacketFields& f, auto&) -> Result<Packet> {
                in_addr raw {};
                if (inet_pton(AF_INET, f.address.c_str(), &raw) != 1)
                    return Mistake("--address wants an IPv4 address such as 192.168.1.10");
                const auto* bytes = reinterpret_cast<const std::uint8_t*>(&raw.s_addr);
                return BuildSystemRegister(f.sequence, f.systemId, static_cast<std::uint16_t>(f.endpointType),
                    { bytes[0], bytes[1], bytes[2], bytes[3] }, static_cast<std::uint16_t>(f.systemPort));
            } },
        { "keepalive",
            [](PacketFields&, auto&) -> Result<Packet> {
                const auto keepAlive = BuildKeepAlive();
                return Packet(keepAlive.begin(), keepAlive.end());
            } },
        { "raw",
            [](PacketFields&, const std::vector<std::string>& operands) -> Result<Packet> {
                Packet packet;
                if (ParseHex(std::vector<std::string>(operands.begin() + 2, operands.end()), packet))
                    return packet;
                return Mistake("raw wants hex bytes, e.g. raw 0B0100060001");
            } },
    };
    return builders;
}

} // namespace

const char* SendUsage()
{
    return "Usage: korvel-send [--from ADDR] [--tcp | --udp] HOST:PORT MESSAGE [options]\n"
           "\n"
           "Sends one packet to a Korvel hub (or anything that speaks its protocol) and prints\n"
           "the answer the way the hub traces packets.\n"
           "\n"
           "Messages:\n"
           "  register        MSG_REGISTER (--source, --dest, --system-id)\n"
           "  unregister      MSG_UNREGISTER (--source, --stations or --dest, --system-id)\n"
           "  registerv2      MSG_REGISTERv2 (--source, --stations, --system-id)\n"
           "  clear           MSG_CLEAR\n"
           "  getdata         MSG_GETDATA (--system-id)\n"
           "  getdatav2       MSG_GETDATAv2 (--system-id, --page)\n"
           "  statusreport    MSG_STATUSREPORT (--system-id, --stations, --status)\n"
           "  multack         MSG_MULTACK (--system-id, --stations, --result)\n"
           "  unreg-multack   MSG_UNREG_MULTACK (--system-id, --stations, --result)\n"
           "  system-register MSG_SYSTEM_REGISTER (--system-id, --endpoint-type, --address, --port)\n"
           "  keepalive       the 4-byte MSG_REQ_GETDATA keep-alive\n"
           "  raw HEX...      any bytes, e.g. raw 0B0100060001\n"
           "\n"
           "Options (--opt VALUE and --opt=VALUE alike):\n"
           "  --from ADDR          send from this local address (e.g. 127.0.0.2)\n"
           "  --allow-own-address  send even when the packet would come from the hub's own address\n"
           "                       (the hub ignores its own datagrams and would put itself in its table)\n"
           "  --tcp, --udp         transport (default: UDP for statusreport, multack, unreg-multack,\n"
           "                       keepalive; TCP for the rest)\n"
           "  --system-id TEXT     System ID (default QVX300; VEZIDUZ for getdata/getdatav2)\n"
           "  --stations A,B,...   station numbers, at most 50 (default 41100,41101,41102,41103,41104)\n"
           "  --status S           idle, busy, dnd, msg, oos or 0-255 (default busy)\n"
           "  --result R           ack, nak or 0-255 (default ack)\n"
           "  --source STATION     requesting station (default 41100)\n"
           "  --dest STATION       station of interest for register/unregister (default 42200)\n"
           "  --page N             page of a getdatav2, 0 first (default 0)\n"
           "  --endpoint-type N    system-register endpoint type (default 2)\n"
           "  --address A.B.C.D    system-register announced address (default: --from, else 127.0.0.1)\n"
           "  --port N             system-register base port (default 9000)\n"
           "  --seq N              sequence number of the packet (default 1)\n"
           "  --listen             UDP: wait for the hub's answers on ports 9003 and 9004 of --from\n"
           "  --timeout SECONDS    how long to wait for an answer (default 3)\n"
           "  -h, --help           this text\n"
           "  -V, --version        the version\n"
           "\n"
           "Exit status: 0 answered (or sent, for a datagram without --listen), 1 no answer or a\n"
           "network error, 2 bad arguments or a refused own address.\n"
           "\n"
           "Examples:\n"
           "  korvel-send --from 127.0.0.2 127.0.0.1:9000 getdata\n"
           "  korvel-send --from=127.0.0.2 127.0.0.1:9001 statusreport --stations=41100,41101 --status=dnd\n"
           "  korvel-send --from 127.0.0.5 --udp --listen 127.0.0.1:9004 registerv2 --stations 41100\n";
}

Result<SendCommand> ParseSendCommand(const std::vector<std::string>& arguments)
{
    RawArguments raw;
    if (auto read = ReadArguments(arguments, raw); !read)
        return read.failure();
    SendCommand command;
    command.help = raw.help;
    command.version = raw.version;
    if (raw.help || raw.version)
        return command;

    PacketFields fields;
    if (auto target = ParseTarget(raw, command); !target)
        return target.failure();
    if (auto delivery = ParseDelivery(raw, command); !delivery)
        return delivery.failure();
    if (auto parsed = ParsePacketFields(raw, command, fields); !parsed)
        return parsed.failure();
    const auto& builders = PacketBuilders();
    const auto builder = builders.find(command.message);
    if (builder == builders.end())
        return Mistake("unknown message '" + command.message + "' (see --help)");
    Result<Packet> packet = builder->second(fields, raw.operands);
    if (!packet)
        return packet.failure();
    command.packet = std::move(*packet);
    return command;
}

} // namespace korvel
