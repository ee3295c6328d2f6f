#include "send_command.h"

#include "protocol/packet_builders.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <map>

namespace korvel {

namespace {

const std::vector<std::string> kDefaultStations = { "41100", "41101", "41102", "41103", "41104" };

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
           "Options:\n"
           "  --from ADDR          send from this local address (e.g. 127.0.0.2; the hub ignores its own)\n"
           "  --tcp, --udp         transport (default: UDP for statusreport, multack, unreg-multack,\n"
           "                       keepalive; TCP for the rest)\n"
           "  --system-id TEXT     System ID (default QVX300; VEZIDUZ for getdata/getdatav2)\n"
           "  --stations A,B,...   station numbers (default 41100,41101,41102,41103,41104; at most 50\n"
           "                       in a report or multi-ack)\n"
           "  --status S           idle, busy, dnd, msg, oos or 0-255 (default busy)\n"
           "  --result R           ack, nak or 0-255 (default ack)\n"
           "  --source STATION     requesting station (default 41100)\n"
           "  --dest STATION       station of interest for register/unregister (default 42200)\n"
           "  --page N             page of a getdatav2 (default 1)\n"
           "  --endpoint-type N    system-register endpoint type (default 2)\n"
           "  --address A.B.C.D    system-register announced address (default: --from, else 127.0.0.1)\n"
           "  --port N             system-register base port (default 9000)\n"
           "  --seq N              sequence number of the packet (default 1)\n"
           "  --listen             UDP: wait for the hub's answers on ports 9003 and 9004 of --from\n"
           "  --timeout SECONDS    how long to wait for an answer (default 3)\n"
           "  --help               this text\n"
           "\n"
           "Examples:\n"
           "  korvel-send --from 127.0.0.2 127.0.0.1:9000 getdata\n"
           "  korvel-send --from 127.0.0.2 127.0.0.1:9001 statusreport --stations 41100,41101 --status dnd\n"
           "  korvel-send --from 127.0.0.5 --udp --listen 127.0.0.1:9004 registerv2 --stations 41100\n";
}

std::optional<SendCommand> ParseSendCommand(const std::vector<std::string>& arguments, std::string& error)
{
    SendCommand command;
    std::optional<SendCommand::Transport> transport;
    std::vector<std::string> positional;
    std::map<std::string, std::string> values;
    static const std::vector<std::string> kValued = { "--from", "--system-id", "--stations", "--status", "--result",
        "--source", "--dest", "--page", "--seq", "--endpoint-type", "--address", "--port", "--timeout" };

    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--help" || argument == "-h") {
            command.help = true;
            return command;
        }
        if (argument == "--tcp" || argument == "--udp") {
            transport = argument == "--tcp" ? SendCommand::Transport::Tcp : SendCommand::Transport::Udp;
        } else if (argument == "--listen") {
            command.listen = true;
        } else if (std::find(kValued.begin(), kValued.end(), argument) != kValued.end()) {
            if (i + 1 >= arguments.size()) {
                error = argument + " needs a value";
                return std::nullopt;
            }
            values[argument] = arguments[++i];
        } else if (argument.rfind("--", 0) == 0) {
            error = "unknown option " + argument;
            return std::nullopt;
        } else {
            positional.push_back(argument);
        }
    }
    if (positional.size() < 2) {
        error = "give HOST:PORT and a MESSAGE";
        return std::nullopt;
    }

    const std::string& target = positional[0];
    const std::size_t colon = target.rfind(':');
    long port = 0;
    if (colon == std::string::npos || colon == 0 || !ParseInt(target.substr(colon + 1), 1, 65535, port)) {
        error = "'" + target + "' is not HOST:PORT";
        return std::nullopt;
    }
    command.host = target.substr(0, colon);
    command.port = static_cast<int>(port);
    command.message = positional[1];
    if (positional.size() > 2 && command.message != "raw") {
        error = "unexpected argument '" + positional[2] + "'";
        return std::nullopt;
    }
    command.from = values.count("--from") ? values["--from"] : std::string();
    command.transport = transport.value_or(
        DefaultsToUdp(command.message) ? SendCommand::Transport::Udp : SendCommand::Transport::Tcp);
    if (values.count("--timeout")) {
        try {
            command.timeoutSeconds = std::stod(values["--timeout"]);
        } catch (...) {
            command.timeoutSeconds = -1;
        }
        if (!(command.timeoutSeconds > 0 && command.timeoutSeconds <= 3600)) {
            error = "--timeout wants a number of seconds";
            return std::nullopt;
        }
    }
    if (command.listen && command.transport != SendCommand::Transport::Udp) {
        error = "--listen is for UDP";
        return std::nullopt;
    }
    if (command.listen && command.from.empty()) {
        error = "--listen needs --from: the hub answers to ports 9003 and 9004 of the sender's address";
        return std::nullopt;
    }

    auto number = [&](const char* name, long fallback, long maximum, long& out) {
        if (!values.count(name)) {
            out = fallback;
            return true;
        }
        if (ParseInt(values[name], 0, maximum, out))
            return true;
        error = std::string(name) + " wants a number from 0 to " + std::to_string(maximum);
        return false;
    };
    long sequence = 1, page = 1, endpointType = 2, systemPort = 9000;
    if (!number("--seq", 1, 65535, sequence) || !number("--page", 1, 65535, page)
        || !number("--endpoint-type", 2, 65535, endpointType) || !number("--port", 9000, 65535, systemPort))
        return std::nullopt;
    SequenceCounter::instance().set(static_cast<std::uint16_t>(sequence));

    const bool getData = command.message == "getdata" || command.message == "getdatav2";
    const std::string systemId = values.count("--system-id") ? values["--system-id"] : getData ? "VEZIDUZ" : "QVX300";
    const std::vector<std::string> stations
        = values.count("--stations") ? SplitList(values["--stations"]) : kDefaultStations;
    const std::string source = values.count("--source") ? values["--source"] : "41100";
    const std::string dest = values.count("--dest") ? values["--dest"] : "42200";

    std::uint8_t status = STATUS_BUSY;
    std::uint8_t result = RESULT_ACK;
    if (values.count("--status")
        && !ParseByteName(
            values["--status"], { { "idle", 0 }, { "busy", 1 }, { "dnd", 2 }, { "msg", 3 }, { "oos", 4 } }, status)) {
        error = "--status wants idle, busy, dnd, msg, oos or 0-255";
        return std::nullopt;
    }
    if (values.count("--result") && !ParseByteName(values["--result"], { { "ack", 1 }, { "nak", 2 } }, result)) {
        error = "--result wants ack, nak or 0-255";
        return std::nullopt;
    }

    const std::string& m = command.message;
    if (m == "register") {
        command.packet = BuildRegister(source, dest, values.count("--system-id") ? systemId : std::string());
    } else if (m == "unregister") {
        command.packet = BuildStationListRequest(MSG_UNREGISTER, values.count("--system-id") ? systemId : "", source,
            values.count("--stations") ? stations : std::vector { dest });
    } else if (m == "registerv2") {
        command.packet = BuildStationListRequest(MSG_REGISTERv2, systemId, source, stations);
    } else if (m == "clear") {
        command.packet = BuildClear();
    } else if (m == "getdata") {
        command.packet = BuildGetData(systemId);
    } else if (m == "getdatav2") {
        command.packet = BuildGetDataV2(systemId, static_cast<std::uint16_t>(page));
    } else if (m == "statusreport") {
        command.packet = BuildEntryPacket(MSG_STATUSREPORT, systemId, stations, status);
    } else if (m == "multack" || m == "unreg-multack") {
        command.packet = BuildEntryPacket(m == "multack" ? MSG_MULTACK : MSG_UNREG_MULTACK, systemId, stations, result);
    } else if (m == "system-register") {
        const std::string address = values.count("--address") ? values["--address"]
            : command.from.empty()                            ? std::string("127.0.0.1")
                                                              : command.from;
        in_addr raw {};
        if (inet_pton(AF_INET, address.c_str(), &raw) != 1) {
            error = "--address wants an IPv4 address such as 192.168.1.10";
            return std::nullopt;
        }
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(&raw.s_addr);
        command.packet = BuildSystemRegister(systemId, static_cast<std::uint16_t>(endpointType),
            { bytes[0], bytes[1], bytes[2], bytes[3] }, static_cast<std::uint16_t>(systemPort));
    } else if (m == "keepalive") {
        const auto keepAlive = BuildKeepAlive();
        command.packet.assign(keepAlive.begin(), keepAlive.end());
    } else if (m == "raw") {
        if (!ParseHex(std::vector<std::string>(positional.begin() + 2, positional.end()), command.packet)) {
            error = "raw wants hex bytes, e.g. raw 0B0100060001";
            return std::nullopt;
        }
    } else {
        error = "unknown message '" + m + "' (see --help)";
        return std::nullopt;
    }
    return command;
}

} // namespace korvel
