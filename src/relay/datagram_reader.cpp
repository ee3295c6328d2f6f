#include "datagram_reader.h"

#include "net/ipv4_address.h"

#include <QSocketNotifier>
#include <QUdpSocket>

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>

namespace korvel {

namespace {

constexpr unsigned kBatchesPerEvent = 16;
// Also a bound in time: on a busy machine a full share of forwarded reports
// can take a hundred milliseconds of wall time, and the window, the timers
// and the connections would wait that long for their turn.
constexpr std::chrono::nanoseconds kDrainBudget = std::chrono::milliseconds(10);

} // namespace

int TakeOverReading(QUdpSocket* socket)
{
    // Qt's own notifier would wake the loop for what the hub reads and look
    // at the queue itself; nothing reads through the QUdpSocket, so nothing
    // turns it on again before the next bind.
    for (QSocketNotifier* own : socket->findChildren<QSocketNotifier*>()) {
        if (own->type() == QSocketNotifier::Read)
            own->setEnabled(false);
    }
    return static_cast<int>(socket->socketDescriptor());
}

DatagramReader::DatagramReader(Outbox& outbox, Handler handler)
    : outbox_(outbox)
    , handler_(std::move(handler))
{
}

DatagramReader::~DatagramReader() = default;

void DatagramReader::watch(QUdpSocket* socket)
{
    stop();
    fd_ = TakeOverReading(socket);
    if (fd_ < 0)
        return;
    notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { drain(); });
}

void DatagramReader::stop()
{
    notifier_.reset();
    fd_ = -1;
}

void DatagramReader::drain()
{
    const auto started = Clock::now();
    for (unsigned batch = 1;; ++batch) {
        // Each datagram can fan out to thousands of systems, and what has been
        // read must be handled in this turn: take no more than the rest of
        // the turn's time is likely to handle, at least one.
        const auto left = kDrainBudget - (Clock::now() - started);
        const unsigned wanted = perDatagram_.count() > 0
            ? static_cast<unsigned>(std::clamp<std::int64_t>(left / perDatagram_, 1, kBatch))
            : kBatch;
        const int count = received_.receive(fd_, wanted, MSG_DONTWAIT);
        const auto handling = Clock::now();
        {
            OutboxBatch forwards(outbox_);
            for (int i = 0; i < count; ++i) {
                const auto at = static_cast<std::size_t>(i);
                if (skipped_ && received_.sentBy(at, *skipped_))
                    continue;
                handler_(received_.packet(at), DottedText(ntohl(received_.senders[at].sin_addr.s_addr)),
                    ntohs(received_.senders[at].sin_port));
            }
        }
        const auto now = Clock::now();
        // Time that a busy machine takes from the hub can fall into any
        // batch: the estimate follows a cheaper batch at once and a dearer
        // one by at most twice per batch.
        if (count > 0) {
            const auto latest = (now - handling) / count;
            perDatagram_ = perDatagram_.count() > 0 ? std::min(perDatagram_ * 2, latest) : latest;
        }
        // Fewer than asked for: the queue is empty, and the next datagram
        // wakes the notifier again. A flood never lets it run empty: after a
        // bounded share the listener, the connections and the timers get
        // their turn, and the notifier comes straight back for the rest.
        if (count < static_cast<int>(wanted) || batch >= kBatchesPerEvent || now - started >= kDrainBudget)
            return;
    }
}

} // namespace korvel
