// The yardstick: the least program that does the hub's job, against which the
// hub is measured on the same machine in the same run.
//
//   korvel_reference udp <port> <destinations file>   one "address port" a line
//   korvel_reference tcp <port>
//
// udp: the best one thread can do: one socket in, one socket out, a batch of
// datagrams taken per call, every one of them sent on to every destination a
// batch of copies per call, nothing allocated per datagram. tcp: one thread
// answers each request on a connection with a full 50-station page and closes
// when the peer does.

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
    std::ifstream file(destinationFile);
    std::string host;
    int destinationPort = 0;
    while (file >> host >> destinationPort) {
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(destinationPort));
        if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1)
            Fail("bad destination");
        destinations.push_back(address);
    }
    // Without destinations every datagram would be lost, and the run would
    // compare the hub with a relay that does nothing.
    if (!file.is_open() || destinations.empty()) {
        std::fprintf(stderr, "korvel_reference: %s: no destinations\n", destinationFile);
        return 1;
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

    // One receive batch; the copies go out in sends of up to kSendBatch,
    // destinations in the inner loop so each keeps the order of arrival.
    constexpr unsigned kReceiveBatch = 64;
    constexpr std::size_t kSendBatch = 1024; // the kernel's limit per call
    static std::uint8_t buffers[kReceiveBatch][wire::kMaxDatagram];
    std::array<iovec, kReceiveBatch> received {};
    std::array<mmsghdr, kReceiveBatch> in {};
    std::array<mmsghdr, kSendBatch> out {};
    std::array<iovec, kReceiveBatch> payloads {};
    for (;;) {
        for (unsigned i = 0; i < kReceiveBatch; ++i) {
            received[i] = iovec { buffers[i], sizeof buffers[i] };
            in[i].msg_hdr.msg_iov = &received[i];
            in[i].msg_hdr.msg_iovlen = 1;
        }
        const int count = recvmmsg(inFd, in.data(), kReceiveBatch, MSG_WAITFORONE, nullptr);
        if (count < 0) {
            if (errno == EINTR)
                continue;
            Fail("recvmmsg");
        }
        std::size_t queued = 0;
        const auto flush = [&] {
            std::size_t done = 0;
            while (done < queued) {
                const int sent = sendmmsg(outFd, &out[done], static_cast<unsigned>(queued - done), 0);
                if (sent < 0 && errno == EINTR)
                    continue;
                // A refused datagram is skipped, as a plain sendto would lose it.
                done += sent < 0 ? 1 : static_cast<std::size_t>(sent);
            }
            queued = 0;
        };
        for (int i = 0; i < count; ++i) {
            payloads[static_cast<std::size_t>(i)] = iovec { buffers[i], in[static_cast<std::size_t>(i)].msg_len };
            for (sockaddr_in& to : destinations) {
                msghdr& header = out[queued].msg_hdr;
                header.msg_name = &to;
                header.msg_namelen = sizeof to;
                header.msg_iov = &payloads[static_cast<std::size_t>(i)];
                header.msg_iovlen = 1;
                if (++queued == kSendBatch)
                    flush();
            }
        }
        flush();
    }
}

int AnswerTcp(int port)
{
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    const int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in local = AnyAddress(port);
    if (bind(listener, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0
        || listen(listener, SOMAXCONN) != 0)
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
