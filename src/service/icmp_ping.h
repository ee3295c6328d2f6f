#pragma once

#include "net/result.h"
#include "net/unique_fd.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <netinet/in.h>

#include <functional>
#include <vector>

class QSocketNotifier;

namespace korvel {

struct PingOutcome {
    int sent = 0;
    int received = 0;
    // One round-trip time per echo answered, in order.
    std::vector<double> rttMs;
};

// Echoes to one address, one after the other, each waiting at most its
// time-out, through an unprivileged ICMP socket: no setuid program and no
// capability, only a group inside net.ipv4.ping_group_range. Runs on the
// event loop without holding it; deletes itself after calling `done`.
class IcmpPing : public QObject {
public:
    using Done = std::function<void(const PingOutcome&)>;

    // Unavailable, with the reason, when this process may not open an ICMP socket.
    static Result<IcmpPing*> Start(const sockaddr_in& to, int count, int timeoutMs, Done done, QObject* parent);

private:
    IcmpPing(UniqueFd socket, int count, int timeoutMs, Done done, QObject* parent);
    void sendNext();
    void readAnswers();
    void finish();

    UniqueFd socket_;
    QSocketNotifier* notifier_;
    QTimer timeout_;
    QElapsedTimer clock_;
    int count_;
    std::uint16_t sequence_ = 0;
    PingOutcome outcome_;
    Done done_;
};

} // namespace korvel
