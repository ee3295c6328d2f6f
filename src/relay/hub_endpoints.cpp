#include "hub.h"

#include "log/console_log.h"
#include "protocol/fixed_texts.h"
#include "relay/socket_errors.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QTcpServer>
#include <QUdpSocket>
#include <QVariant>

#include <netinet/in.h>
#include <sys/socket.h>

namespace korvel {

namespace {

constexpr int kReceiveBufferBytes = 4 << 20;

void WriteDatagram(QUdpSocket* socket, const QByteArray& packet, const QHostAddress& address, int port)
{
    socket->writeDatagram(packet, address, static_cast<quint16>(port));
}

// The remote host is whatever the operator typed: an address goes out at
// once, a name after an asynchronous look-up. A name that does not resolve to
// an IPv4 address (the endpoints are IPv4) is the endpoint's invalid-host case.
void SendFromEndpoint(QUdpSocket* socket, const std::string& host, int port, Bytes packet, ConsoleLog& console)
{
    const QString text = QString::fromStdString(host);
    const QByteArray bytes(reinterpret_cast<const char*>(packet.data()), static_cast<qsizetype>(packet.size()));
    const QHostAddress address(text);
    if (!address.isNull()) {
        WriteDatagram(socket, bytes, address, port);
        return;
    }
    // The socket is the hub's: while the answer can come, the hub and its log live.
    QHostInfo::lookupHost(text, socket, [socket, port, bytes, &console](const QHostInfo& info) {
        for (const QHostAddress& found : info.addresses()) {
            if (found.protocol() == QAbstractSocket::IPv4Protocol) {
                WriteDatagram(socket, bytes, found, port);
                return;
            }
        }
        console.log(fixed::kUdpInvalidHost);
    });
}

} // namespace

std::array<ReceiveQueue, 3> Hub::receiveQueues() const
{
    std::array<ReceiveQueue, 3> queues;
    const QUdpSocket* const sockets[] = { udp_, udpVelka_, udpRack_ };
    for (std::size_t i = 0; i < queues.size(); ++i)
        queues[i] = ReadReceiveQueue(static_cast<int>(sockets[i]->socketDescriptor())).value_or(ReceiveQueue {});
    // What the forwarding thread read waits for the event loop all the same.
    if (forwarder_) {
        const std::size_t handled
            = applied_ < applying_.datagrams.size() ? applying_.datagrams[applied_].offset : applying_.bytes.size();
        queues[0].bytes += forwarder_->waitingBytes() + (applying_.bytes.size() - handled);
    }
    return queues;
}

void Hub::learnOwnAddress()
{
    invalidatePlan();
    if (!options_.ownAddress.empty()) {
        settings_.OwnAddress = options_.ownAddress;
        return;
    }
    const QHostInfo info = QHostInfo::fromName(QHostInfo::localHostName());
    for (const QHostAddress& address : info.addresses()) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol) {
            settings_.OwnAddress = address.toString().toStdString();
            return;
        }
    }
}

Result<void> Hub::activateServer()
{
    deactivateServer();
    if (server_->listen(QHostAddress::AnyIPv4, static_cast<quint16>(settings_.LocalTcpPort))) {
        // The connections are accepted with the rest of their traffic.
        server_->pauseAccepting();
        connections_->listenOn(static_cast<int>(server_->socketDescriptor()));
        return {};
    }
    return Fail(QStringLiteral("Socket error: %1 (%2), on API 'listen'")
                    .arg(server_->errorString())
                    .arg(SocketErrorNumber(server_->serverError()))
                    .toStdString(),
        Failure::Kind::Unavailable);
}

void Hub::deactivateServer()
{
    connections_->stopListening();
    server_->close();
    // Closing the listener drops its open connections as well.
    connections_->closeAll();
}

DatagramReader& Hub::readerOf(const QUdpSocket* socket)
{
    return readers_[static_cast<std::size_t>(socket == udp_ ? Endpoint::Qvx
            : socket == udpVelka_                           ? Endpoint::Velka
                                                            : Endpoint::Rack)];
}

Result<void> Hub::rebind(QUdpSocket* socket, int port, const char* name)
{
    DatagramReader& reader = readerOf(socket);
    if (socket == udp_)
        stopForwarding();
    reader.stop();
    socket->close();
    if (socket->bind(QHostAddress::AnyIPv4, static_cast<quint16>(port))) {
        socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, kReceiveBufferBytes);
        // The hub reads without control messages: the kernel need not
        // prepare the arrival address and TTL Qt asks for with every datagram.
        const int fd = static_cast<int>(socket->socketDescriptor());
        const int off = 0;
        setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &off, sizeof off);
        setsockopt(fd, IPPROTO_IP, IP_RECVTTL, &off, sizeof off);
        if (socket == udp_)
            watchUdp();
        else
            reader.watch(socket);
        return {};
    }
    return Fail(QStringLiteral("Cannot bind UDP port %1 (%2): %3")
                    .arg(port)
                    .arg(QLatin1String(name))
                    .arg(socket->errorString())
                    .toStdString(),
        Failure::Kind::Unavailable);
}

Result<void> Hub::setUpEndpoints()
{
    owner_("setUpEndpoints");
    const std::int32_t base = settings_.BasePort;
    settings_.ServerAddress = "127.0.0.1";
    settings_.UdpRemoteHost = settings_.VelkaRemoteHost = settings_.ServerAddress;
    settings_.ForwardStatus = true;
    settings_.RemoteTcpPort = base;
    settings_.RemoteUdpPort = base + 1;
    settings_.LocalTcpPort = base;
    settings_.LocalUdpPort = base + 1;
    // A taken TCP port is reported, but the datagram endpoints still open on
    // the ports that belong to this base port rather than on stale defaults.
    // A datagram endpoint without its port would be deaf: that is reported
    // too. Every endpoint is tried; the first failure is the one told.
    settings_.VelkaRemotePort = options_.velkaRemotePort;
    const Result<void> steps[] = { activateServer(), rebind(udp_, settings_.LocalUdpPort, "UDP"),
        rebind(udpVelka_, base + 4, "UDP_VELKA"), rebind(udpRack_, base + 3, "UDP_RACK") };
    invalidatePlan();
    for (const Result<void>& step : steps) {
        if (!step) {
            endpointsOpen_ = false;
            return step;
        }
    }
    endpointsOpen_ = true;
    return {};
}

Result<void> Hub::applyOptions(const EndpointOptions& options)
{
    owner_("applyOptions");
    settings_.ServerAddress = options.serverAddress;
    std::int32_t* const ports[]
        = { &settings_.LocalTcpPort, &settings_.LocalUdpPort, &settings_.RemoteTcpPort, &settings_.RemoteUdpPort };
    for (std::size_t i = 0; i < options.ports.size(); ++i) {
        if (!options.ports[i])
            return Fail("port field " + std::to_string(i + 1) + " is not a number", Failure::Kind::Invalid);
        *ports[i] = *options.ports[i];
    }
    if (auto reopened = reopenLocalEndpoints(); !reopened)
        return reopened;
    settings_.UdpRemoteHost = settings_.VelkaRemoteHost = settings_.ServerAddress;
    settings_.ForwardStatus = options.forwardStatus;
    invalidatePlan();
    return {};
}

Result<void> Hub::setAnotherPort()
{
    owner_("setAnotherPort");
    settings_.LocalTcpPort = kAnotherLocalTcpPort;
    settings_.LocalUdpPort = kAnotherLocalUdpPort;
    settings_.RemoteTcpPort = kAnotherRemoteTcpPort;
    settings_.RemoteUdpPort = kAnotherRemoteUdpPort;
    return reopenLocalEndpoints();
}

// In client-only mode the listener and the UDP endpoint's port stay as they
// are; the new local ports live in the settings only.
Result<void> Hub::reopenLocalEndpoints()
{
    if (settings_.ClientOnlyMode)
        return {};
    if (auto activated = activateServer(); !activated)
        return activated;
    // Without its port the endpoint would be deaf: said, not passed over.
    return rebind(udp_, settings_.LocalUdpPort, "UDP");
}

void Hub::enterClientOnlyMode()
{
    owner_("enterClientOnlyMode");
    settings_.ClientOnlyMode = true;
    deactivateServer();
    static_cast<void>(rebind(udp_, 0, "UDP"));
}

int Hub::tcpPort() const
{
    return server_->isListening() ? server_->serverPort() : 0;
}
int Hub::udpPort() const
{
    return udp_->localPort();
}
int Hub::velkaPort() const
{
    return udpVelka_->localPort();
}
int Hub::rackPort() const
{
    return udpRack_->localPort();
}
bool Hub::listening() const
{
    return server_->isListening();
}

void Hub::sendFromUdpEndpoint(Bytes packet)
{
    owner_("sendFromUdpEndpoint");
    SendFromEndpoint(udp_, settings_.UdpRemoteHost, settings_.RemoteUdpPort, packet, console_);
}

void Hub::sendFromVelkaEndpoint(Bytes packet)
{
    owner_("sendFromVelkaEndpoint");
    SendFromEndpoint(udpVelka_, settings_.VelkaRemoteHost, settings_.VelkaRemotePort, packet, console_);
}

} // namespace korvel
