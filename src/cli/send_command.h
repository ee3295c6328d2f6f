#pragma once

#include "base/result.h"
#include "protocol/request_builders.h"

#include <optional>
#include <string>
#include <vector>

namespace korvel {

// What one korvel-send run does, parsed from its command line.
struct SendCommand {
    enum class Transport { Tcp, Udp };
    std::string from; // local address to send from; empty lets the system choose
    Transport transport = Transport::Tcp;
    std::string host;
    int port = 0;
    std::string message;
    Packet packet;
    bool listen = false; // UDP: wait for answers on ports 9003 and 9004 of `from`
    double timeoutSeconds = 3.0;
    // Sending from the hub's own address makes the hub put itself into its
    // table; it takes this flag to do it on purpose.
    bool allowOwnAddress = false;
    bool help = false;
    bool version = false;
};

// Parses arguments (without the program name) with GNU getopt_long, so
// "--opt value", "--opt=value" and options after the operands all work. A
// mistake comes back as its message for the user. Builds the packet, numbered
// by --seq.
Result<SendCommand> ParseSendCommand(const std::vector<std::string>& arguments);

const char* SendUsage();

} // namespace korvel
