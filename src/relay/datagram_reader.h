#pragma once

#include "protocol/wire_format.h"
#include "relay/outbox.h"
#include "relay/receive_buffers.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class QSocketNotifier;
class QUdpSocket;

namespace korvel {

// The bound socket's descriptor, for the hub to read itself: Qt's reading is
// turned off until the next bind. -1 when the socket is not open.
int TakeOverReading(QUdpSocket* socket);

// Reads a bound UDP endpoint through its descriptor: at each readiness event,
// recvmmsg in batches until the queue is empty or the turn's share is used,
// and the forwards of each batch leave together. Nothing is read through the
// QUdpSocket, which stays the endpoint's owner for binding and sending.
class DatagramReader {
public:
    using Handler = std::function<void(Bytes packet, const std::string& fromIp, int fromPort)>;

    DatagramReader(Outbox& outbox, Handler handler);
    ~DatagramReader();
    DatagramReader(const DatagramReader&) = delete;
    DatagramReader& operator=(const DatagramReader&) = delete;

    // Starts reading `socket` as it is bound now; call again after each bind.
    void watch(QUdpSocket* socket);
    // Before the socket is closed or bound again.
    void stop();
    // Datagrams from `sender` are read and dropped unseen: what another
    // reader of the socket sent to itself.
    void skip(const sockaddr_in& sender) { skipped_ = sender; }

private:
    void drain();

    using Clock = std::chrono::steady_clock;
    static constexpr unsigned kBatch = 32;
    Outbox& outbox_;
    Handler handler_;
    int fd_ = -1;
    std::optional<sockaddr_in> skipped_;
    // What handling a datagram took of late, forwards and all.
    Clock::duration perDatagram_ {};
    std::unique_ptr<QSocketNotifier> notifier_;
    ReceiveBuffers<kBatch> received_;
};

} // namespace korvel
