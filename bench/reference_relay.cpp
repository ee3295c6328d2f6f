// The yardstick: the least program that does the hub's job, against which the
// hub is measured on the same machine in the same run.
//
//   korvel_reference udp <port> <destinations file>   one "address port" a line
//   korvel_reference tcp <port>
//
// udp: one thread, one socket in, one socket out; every datagram is sent on to
// every destination. tcp: one thread answers each request on a connection with
// a full 50-station page and closes when the peer does.

#include "protocol/wire_format.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

using namespace korvel;

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "korvel_reference: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

sockaddr_in AnyAddress(int port)
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    return address;
}

void Ready()
{
    std::fprintf(stderr, "korvel_reference: ready\n");
    std::fflush(stderr);
}

int RelayUdp(int port, const char* destinationFile)
{
    std::vector<sockaddr_in> destinations;
    std::ifstream in(destinationFile);
    std::string host;
    int destinationPort = 0;
    while (in >> host >> destinationPort) {
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(destinationPort));
        if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1)
            Fail("bad destination");
        destinations.push_back(address);
    }

    // The same receive buffer the hub asks for.
    const int bufferBytes = 4 << 20;
    const int inFd = socket(AF_INET, SOCK_DGRAM, 0);
    const int outFd = socket(AF_INET, SOCK_DGRAM, 0);
    setsockopt(inFd, SOL_SOCKET, SO_RCVBUF, &bufferBytes, sizeof bufferBytes);
    setsockopt(outFd, SOL_SOCKET, SO_SNDBUF, &bufferBytes, sizeof bufferBytes);
    const sockaddr_in local = AnyAddress(port);
    if (bind(inFd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
        Fail("bind");
    Ready();

    std::array<std::uint8_t, wire::kMaxDatagram> buffer;
    for (;;) {
        const ssize_t count = recv(inFd, buffer.data(), buffer.size(), 0);
        if (count < 0) {
            if (errno == EINTR)
                continue;
            Fail("recv");
        }
        for (const sockaddr_in& to : destinations)
            sendto(outFd, buffer.data(), static_cast<std::size_t>(count), 0, reinterpret_cast<const sockaddr*>(&to),
                sizeof to);
    }
}

int AnswerTcp(int port)
{
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    const int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in local = AnyAddress(port);
    // The hub's backlog.
    if (bind(listener, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 || listen(listener, 5) != 0)
        Fail("listen");
    const int poller = epoll_create1(0);
    epoll_event event {};
    event.events = EPOLLIN;
    event.data.fd = listener;
    epoll_ctl(poller, EPOLL_CTL_ADD, listener, &event);
    Ready();

    std::array<std::uint8_t, wire::kMaxGetResponseSize> page {};
    page[wire::kMarkerOffset] = wire::kMarker;
    page[wire::kCodeOffset] = MSG_GETRESPONSE;
    WriteU16(page, wire::kLengthOffset, static_cast<std::uint16_t>(page.size()));
    WriteU16(page, wire::kPageArraySizeOffset, static_cast<std::uint16_t>(wire::kStationsPerPage));
    for (std::size_t i = 0; i < wire::kStationsPerPage; ++i)
        WriteField(page, wire::kPageFirstStationOffset + i * wire::kStationSize, wire::kStationSize,
            std::to_string(42000 + i));

    std::array<epoll_event, 64> events {};
    std::array<std::uint8_t, wire::kMaxTcpRead> request {};
    for (;;) {
        const int ready = epoll_wait(poller, events.data(), static_cast<int>(events.size()), -1);
        for (int i = 0; i < ready; ++i) {
            const int fd = events[static_cast<std::size_t>(i)].data.fd;
            if (fd == listener) {
                int client;
                while ((client = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK)) >= 0) {
                    epoll_event clientEvent {};
                    clientEvent.events = EPOLLIN;
                    clientEvent.data.fd = client;
                    epoll_ctl(poller, EPOLL_CTL_ADD, client, &clientEvent);
                }
                continue;
            }
            const ssize_t count = recv(fd, request.data(), request.size(), 0);
            if (count > 0) {
                page[wire::kSequenceOffset] = request[wire::kSequenceOffset];
                page[wire::kSequenceOffset + 1] = request[wire::kSequenceOffset + 1];
                send(fd, page.data(), page.size(), MSG_NOSIGNAL);
            } else if (count == 0 || errno != EAGAIN) {
                close(fd);
            }
        }
    }
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc == 4 && std::strcmp(argv[1], "udp") == 0)
        return RelayUdp(std::atoi(argv[2]), argv[3]);
    if (argc == 3 && std::strcmp(argv[1], "tcp") == 0)
        return AnswerTcp(std::atoi(argv[2]));
    std::fprintf(stderr, "usage: korvel_reference udp <port> <destinations file> | tcp <port>\n");
    return 2;
}
