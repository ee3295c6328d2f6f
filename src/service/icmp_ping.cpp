#include "icmp_ping.h"

#include <QFile>
#include <QSocketNotifier>

#include <arpa/inet.h>
#include <netinet/ip_icmp.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace korvel {

namespace {

std::string Unavailable(int error)
{
    std::string reason = std::string("cannot open an ICMP socket: ") + std::strerror(error);
    if (error == EACCES) {
        QFile range(QStringLiteral("/proc/sys/net/ipv4/ping_group_range"));
        const QByteArray groups = range.open(QIODevice::ReadOnly) ? range.readAll().simplified() : QByteArray("?");
        reason += "; net.ipv4.ping_group_range (" + groups.toStdString() + ") does not include this process's group";
    }
    return reason;
}

} // namespace

Result<IcmpPing*> IcmpPing::Start(const sockaddr_in& to, int count, int timeoutMs, Done done, QObject* parent)
{
    UniqueFd socket(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_ICMP));
    if (!socket)
        return Fail(Unavailable(errno), Failure::Kind::Unavailable);
    // Connected: the kernel hands this socket only the answers from `to`.
    if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0)
        return Fail(std::string("cannot ping: ") + std::strerror(errno), Failure::Kind::Failed);
    auto* ping = new IcmpPing(std::move(socket), count, timeoutMs, std::move(done), parent);
    ping->sendNext();
    return ping;
}

IcmpPing::IcmpPing(UniqueFd socket, int count, int timeoutMs, Done done, QObject* parent)
    : QObject(parent)
    , socket_(std::move(socket))
    , notifier_(new QSocketNotifier(socket_.get(), QSocketNotifier::Read, this))
    , count_(count)
    , done_(std::move(done))
{
    timeout_.setSingleShot(true);
    timeout_.setInterval(timeoutMs);
    connect(&timeout_, &QTimer::timeout, this, &IcmpPing::sendNext);
    connect(notifier_, &QSocketNotifier::activated, this, &IcmpPing::readAnswers);
}

void IcmpPing::sendNext()
{
    if (outcome_.sent == count_)
        return finish();
    // The kernel fills in the identifier and the checksum of a ping socket.
    icmphdr echo {};
    echo.type = ICMP_ECHO;
    echo.un.echo.sequence = htons(++sequence_);
    ++outcome_.sent;
    clock_.start();
    if (::send(socket_.get(), &echo, sizeof echo, 0) < 0)
        return sendNext();
    timeout_.start();
}

void IcmpPing::readAnswers()
{
    icmphdr answer {};
    for (;;) {
        const ssize_t got = ::recv(socket_.get(), &answer, sizeof answer, 0);
        if (got < 0)
            return;
        // Answers to an echo that timed out arrive late and are not counted.
        if (got >= static_cast<ssize_t>(sizeof answer) && answer.type == ICMP_ECHOREPLY
            && ntohs(answer.un.echo.sequence) == sequence_ && timeout_.isActive()) {
            ++outcome_.received;
            outcome_.rttMs.push_back(static_cast<double>(clock_.nsecsElapsed()) / 1e6);
            timeout_.stop();
            sendNext();
        }
    }
}

void IcmpPing::finish()
{
    notifier_->setEnabled(false);
    Done done = std::move(done_);
    deleteLater();
    if (done)
        done(outcome_);
}

} // namespace korvel
