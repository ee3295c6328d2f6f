#include "cli/send_command.h"
#include "net/ipv4_address.h"
#include "net/unique_fd.h"
#include "protocol/defaults.h"
#include "protocol/packet_trace.h"
#include "protocol/wire_format.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

using namespace korvel;

namespace {

// The fixed ports a hub answers Velka systems on.
constexpr int kAnswerPorts[] = { kVelkaDataPort, kVelkaAckPort };

bool BindTo(int fd, const std::string& from, int port)
{
    if (from.empty() && port == 0)
        return true;
    const auto local = ResolveIPv4(from.empty() ? "0.0.0.0" : from, port);
    if (!local)
        return false;
    const int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    return bind(fd, reinterpret_cast<const sockaddr*>(&*local), sizeof *local) == 0;
}

int Milliseconds(double seconds)
{
    return static_cast<int>(seconds * 1000);
}

void PrintTrace(const std::uint8_t* data, std::size_t size)
{
    for (const std::string& line : TracePacket(Bytes(data, size)))
        std::printf("%s\n", line.c_str());
    std::printf("\n");
}

int SendTcp(const SendCommand& command, const sockaddr_in& to)
{
    UniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket || !BindTo(socket.get(), command.from, 0)) {
        std::fprintf(
            stderr, "korvel-send: cannot use local address '%s': %s\n", command.from.c_str(), std::strerror(errno));
        return 1;
    }
    fcntl(socket.get(), F_SETFL, O_NONBLOCK);
    if (connect(socket.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0 && errno != EINPROGRESS) {
        std::fprintf(stderr, "korvel-send: connect to %s:%d failed: %s\n", command.host.c_str(), command.port,
            std::strerror(errno));
        return 1;
    }
    pollfd waiting { socket.get(), POLLOUT, 0 };
    int error = 0;
    socklen_t length = sizeof error;
    if (poll(&waiting, 1, Milliseconds(command.timeoutSeconds)) != 1
        || getsockopt(socket.get(), SOL_SOCKET, SO_ERROR, &error, &length) < 0 || error != 0) {
        std::fprintf(stderr, "korvel-send: connect to %s:%d failed: %s\n", command.host.c_str(), command.port,
            error ? std::strerror(error) : "timed out");
        return 1;
    }
    if (send(socket.get(), command.packet.data(), command.packet.size(), MSG_NOSIGNAL)
        != static_cast<ssize_t>(command.packet.size())) {
        std::fprintf(stderr, "korvel-send: send failed: %s\n", std::strerror(errno));
        return 1;
    }

    // The answer is one packet; once bytes have come, a short pause collects
    // the rest of a page that arrives in more than one segment.
    std::uint8_t answer[wire::kMaxTcpRead];
    std::size_t received = 0;
    int waitMs = Milliseconds(command.timeoutSeconds);
    while (received < sizeof answer) {
        pollfd readable { socket.get(), POLLIN, 0 };
        if (poll(&readable, 1, waitMs) != 1)
            break;
        const ssize_t count = recv(socket.get(), answer + received, sizeof answer - received, 0);
        if (count <= 0)
            break;
        received += static_cast<std::size_t>(count);
        waitMs = 100;
    }
    if (received == 0) {
        std::fprintf(stderr, "korvel-send: no answer from %s:%d\n", command.host.c_str(), command.port);
        return 1;
    }
    PrintTrace(answer, received);
    return 0;
}

int SendUdp(const SendCommand& command, const sockaddr_in& to)
{
    // Listeners first, so that no answer can arrive before anyone waits for it.
    std::vector<UniqueFd> listeners;
    if (command.listen) {
        for (int port : kAnswerPorts) {
            UniqueFd listener(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
            if (!listener || !BindTo(listener.get(), command.from, port)) {
                std::fprintf(stderr, "korvel-send: cannot listen on %s:%d: %s\n", command.from.c_str(), port,
                    std::strerror(errno));
                return 1;
            }
            listeners.push_back(std::move(listener));
        }
    }
    UniqueFd socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!socket || !BindTo(socket.get(), command.from, 0)) {
        std::fprintf(
            stderr, "korvel-send: cannot use local address '%s': %s\n", command.from.c_str(), std::strerror(errno));
        return 1;
    }
    if (sendto(socket.get(), command.packet.data(), command.packet.size(), 0, reinterpret_cast<const sockaddr*>(&to),
            sizeof to)
        < 0) {
        std::fprintf(stderr, "korvel-send: sendto failed: %s\n", std::strerror(errno));
        return 1;
    }
    if (!command.listen)
        return 0;

    // Every answer that comes within the time-out is printed.
    const auto deadline
        = std::chrono::steady_clock::now() + std::chrono::milliseconds(Milliseconds(command.timeoutSeconds));
    int answers = 0;
    for (;;) {
        const auto left
            = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd fds[2] = { { listeners[0].get(), POLLIN, 0 }, { listeners[1].get(), POLLIN, 0 } };
        if (poll(fds, 2, static_cast<int>(left.count())) <= 0)
            break;
        for (int i = 0; i < 2; ++i) {
            if (!(fds[i].revents & POLLIN))
                continue;
            std::uint8_t datagram[2048];
            sockaddr_in sender {};
            socklen_t length = sizeof sender;
            const ssize_t count
                = recvfrom(fds[i].fd, datagram, sizeof datagram, 0, reinterpret_cast<sockaddr*>(&sender), &length);
            if (count < 0)
                continue;
            char text[INET_ADDRSTRLEN] = "";
            inet_ntop(AF_INET, &sender.sin_addr, text, sizeof text);
            std::printf("From %s:%d to port %d\n", text, ntohs(sender.sin_port), kAnswerPorts[i]);
            PrintTrace(datagram, static_cast<std::size_t>(count));
            ++answers;
        }
    }
    std::fflush(stdout);
    if (answers == 0) {
        std::fprintf(stderr, "korvel-send: no answer within %.1f s\n", command.timeoutSeconds);
        return 1;
    }
    return 0;
}

// The address a packet to `to` leaves from: --from, or the one the routing
// table picks (a connected datagram socket learns it without sending).
bool SourceAddressFor(const SendCommand& command, const sockaddr_in& to, in_addr& source)
{
    if (!command.from.empty()) {
        const auto local = ResolveIPv4(command.from, 0);
        if (!local)
            return false;
        source = local->sin_addr;
        return true;
    }
    UniqueFd probe(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in local {};
    socklen_t length = sizeof local;
    if (!probe || connect(probe.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0
        || getsockname(probe.get(), reinterpret_cast<sockaddr*>(&local), &length) != 0)
        return false;
    source = local.sin_addr;
    return true;
}

// The address a hub on this machine takes as its own when not told one: the
// first IPv4 address of the host name.
bool HostNameAddress(in_addr& address)
{
    char name[256] = "";
    if (gethostname(name, sizeof name - 1) != 0)
        return false;
    const auto resolved = ResolveIPv4(name, 0);
    if (!resolved)
        return false;
    address = resolved->sin_addr;
    return true;
}

// A packet from the hub's own address either is ignored (datagrams) or puts
// the hub into its own table (connections): both are mistakes unless meant.
bool SendsFromHubsOwnAddress(const SendCommand& command, const sockaddr_in& to, std::string& sourceText)
{
    in_addr source {};
    if (!SourceAddressFor(command, to, source))
        return false;
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &source, text, sizeof text);
    sourceText = text;
    if (source.s_addr == to.sin_addr.s_addr)
        return true;
    in_addr own {};
    const bool hubOnThisMachine = (ntohl(to.sin_addr.s_addr) >> 24) == 127;
    return hubOnThisMachine && HostNameAddress(own) && own.s_addr == source.s_addr;
}

} // namespace

int main(int argc, char* argv[])
{
    const auto command = ParseSendCommand(std::vector<std::string>(argv + 1, argv + argc));
    if (!command) {
        std::fprintf(stderr, "korvel-send: %s (see korvel-send --help)\n", command.error().c_str());
        return 2;
    }
    if (command->help) {
        std::printf("%s", SendUsage());
        return 0;
    }
    if (command->version) {
        std::printf("korvel-send %s\n", KORVEL_VERSION);
        return 0;
    }
    const auto resolved = ResolveIPv4(command->host, command->port);
    if (!resolved) {
        std::fprintf(stderr, "korvel-send: cannot resolve '%s'\n", command->host.c_str());
        return 2;
    }
    const sockaddr_in& to = *resolved;
    std::string source;
    if (!command->allowOwnAddress && SendsFromHubsOwnAddress(*command, to, source)) {
        std::fprintf(stderr,
            "korvel-send: the packet would come from %s, the hub's own address: the hub ignores its own\n"
            "datagrams and would list itself as a system. Send from another address (e.g. --from 127.0.0.2),\n"
            "or give --allow-own-address to do it all the same.\n",
            source.c_str());
        return 2;
    }
    return command->transport == SendCommand::Transport::Tcp ? SendTcp(*command, to) : SendUdp(*command, to);
}
