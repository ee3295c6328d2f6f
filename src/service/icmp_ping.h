#pragma once

#include "net/unique_fd.h"
#include "service/operator_commands.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <netinet/in.h>

class QSocketNotifier;

namespace korvel {

// The hub's one ping. Echoes to one address, one after the other, each
// waiting at most its time-out, through an unprivileged ICMP socket (no
// setuid program, no capability, only a group inside
// net.ipv4.ping_group_range), or else a raw one where the process may open
// it. Runs on the event loop without holding it; deletes itself after
// calling the request's `done`.
class IcmpPing : public QObject {
public:
    // Unavailable, with the reason for each kind of socket, when this process
    // may open neither.
    static Result<IcmpPing*> Start(const sockaddr_in& to, PingRequest request, QObject* parent);

private:
    IcmpPing(UniqueFd socket, bool raw, PingRequest request, QObject* parent);
    void sendNext();
    void timedOut();
    void readAnswers();
    void answered();
    void finish();

    UniqueFd socket_;
    // A raw socket gets the IP header too, and every ICMP message for this
    // host: the identifier and checksum are this side's to set and check.
    bool raw_;
    std::uint16_t identifier_ = 0;
    QSocketNotifier* notifier_;
    QTimer timeout_;
    QElapsedTimer clock_;
    std::uint16_t sequence_ = 0;
    PingOutcome outcome_;
    PingRequest request_;
};

} // namespace korvel
