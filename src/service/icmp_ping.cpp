#include "icmp_ping.h"

#include <QFile>
#include <QSocketNotifier>

#include <arpa/inet.h>
#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace korvel {

namespace {

std::string DatagramUnavailable(int error)
{
    std::string reason = std::string("cannot open an ICMP socket: ") + std::strerror(error);
    if (error == EACCES) {
        QFile range(QStringLiteral("/proc/sys/net/ipv4/ping_group_range"));
        const QByteArray groups = range.open(QIODevice::ReadOnly) ? range.readAll().simplified() : QByteArray("?");
        reason += "; net.ipv4.ping_group_range (" + groups.toStdString() + ") does not include this process's group";
    }
    return reason;
}

// RFC 1071's checksum, which a raw socket leaves to the sender.
std::uint16_t Checksum(const void* data, std::size_t size)
{
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < size; i += 2)
        sum += static_cast<std::uint32_t>(bytes[i] << 8 | bytes[i + 1]);
    if (size % 2 != 0)
        sum += static_cast<std::uint32_t>(bytes[size - 1] << 8);
    while (sum >> 16 != 0)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return htons(static_cast<std::uint16_t>(~sum));
}

} // namespace

Result<IcmpPing*> IcmpPing::Start(const sockaddr_in& to, PingRequest request, QObject* parent)
{
    bool raw = false;
    UniqueFd socket(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_ICMP));
    if (!socket) {
        const std::string datagram = DatagramUnavailable(errno);
        socket = UniqueFd(::socket(AF_INET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_ICMP));
        if (!socket) {
            return Fail(datagram + "; cannot open a raw ICMP socket either: " + std::strerror(errno)
                    + " (it needs CAP_NET_RAW)",
                Failure::Kind::Unavailable);
        }
        raw = true;
    }
    // Connected: the kernel hands this socket only what comes from `to`.
    if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0)
        return Fail(std::string("cannot ping: ") + std::strerror(errno), Failure::Kind::Failed);
    auto* ping = new IcmpPing(std::move(socket), raw, std::move(request), parent);
    ping->sendNext();
    return ping;
}

IcmpPing::IcmpPing(UniqueFd socket, bool raw, PingRequest request, QObject* parent)
    : QObject(parent)
    , socket_(std::move(socket))
    , raw_(raw)
    , identifier_(static_cast<std::uint16_t>(::getpid() ^ reinterpret_cast<std::uintptr_t>(this)))
    , notifier_(new QSocketNotifier(socket_.get(), QSocketNotifier::Read, this))
    , request_(std::move(request))
{
    timeout_.setSingleShot(true);
    timeout_.setInterval(request_.timeoutMs);
    connect(&timeout_, &QTimer::timeout, this, &IcmpPing::timedOut);
    connect(notifier_, &QSocketNotifier::activated, this, &IcmpPing::readAnswers);
}

void IcmpPing::sendNext()
{
    if (outcome_.sent == request_.echoes)
        return finish();
    // The kernel fills in the identifier and the checksum of a ping socket.
    icmphdr echo {};
    echo.type = ICMP_ECHO;
    echo.un.echo.sequence = htons(++sequence_);
    if (raw_) {
        echo.un.echo.id = htons(identifier_);
        echo.checksum = Checksum(&echo, sizeof echo);
    }
    ++outcome_.sent;
    clock_.start();
    if (::send(socket_.get(), &echo, sizeof echo, 0) < 0)
        return timedOut();
    timeout_.start();
}

void IcmpPing::timedOut()
{
    if (request_.echo)
        request_.echo(sequence_, std::nullopt);
    sendNext();
}

void IcmpPing::readAnswers()
{
    // Room for an IP header with every option before the ICMP header.
    unsigned char packet[60 + sizeof(icmphdr)];
    for (;;) {
        const ssize_t got = ::recv(socket_.get(), packet, sizeof packet, 0);
        if (got < 0)
            return;
        const std::size_t offset = raw_ ? static_cast<std::size_t>(packet[0] & 0x0F) * 4 : 0;
        if (got < static_cast<ssize_t>(offset + sizeof(icmphdr)))
            continue;
        icmphdr answer {};
        std::memcpy(&answer, packet + offset, sizeof answer);
        // Answers to an echo that timed out arrive late and are not counted.
        if (answer.type == ICMP_ECHOREPLY && ntohs(answer.un.echo.sequence) == sequence_
            && (!raw_ || ntohs(answer.un.echo.id) == identifier_) && timeout_.isActive())
            answered();
    }
}

void IcmpPing::answered()
{
    const double rtt = static_cast<double>(clock_.nsecsElapsed()) / 1e6;
    ++outcome_.received;
    outcome_.rttMs.push_back(rtt);
    timeout_.stop();
    if (request_.echo)
        request_.echo(sequence_, rtt);
    sendNext();
}

void IcmpPing::finish()
{
    notifier_->setEnabled(false);
    auto done = std::move(request_.done);
    deleteLater();
    if (done)
        done(outcome_);
}

} // namespace korvel
