#include "hub.h"

#include "log/console_log.h"
#include "net/descriptors.h"
#include "protocol/fixed_texts.h"

#include <QSocketNotifier>
#include <QTcpServer>
#include <QUdpSocket>

#include <sys/socket.h>

namespace korvel {

namespace {

// Hundreds of systems asking for their page at once must not find the queue
// of connections full: a dropped SYN costs the client a second or more. The
// kernel caps it at net.core.somaxconn.
constexpr int kListenBacklog = SOMAXCONN;

// Hanging connects (half of what the network may hold) and open
// connections (a quarter) together stay well below the descriptors the
// process may open, and a save always finds some free.
SenderEngine::Options WithinDescriptorLimit(SenderEngine::Options options)
{
    options.maxPendingConnects
        = std::min(options.maxPendingConnects, std::max<std::size_t>(1, NetworkDescriptors(DescriptorLimit()) / 2));
    return options;
}

std::size_t WithinDescriptorLimit(std::size_t maxConnections)
{
    return std::min(maxConnections, std::max<std::size_t>(1, NetworkDescriptors(DescriptorLimit()) / 4));
}

} // namespace

Hub::Hub(QObject* parent)
    : Hub(Options {}, parent)
{
}

Hub::Hub(Options options, QObject* parent)
    : QObject(parent)
    , options_(std::move(options))
    , ownConsole_(options_.console ? nullptr : std::make_unique<ConsoleLog>())
    , console_(options_.console ? *options_.console : *ownConsole_)
    , table_(options_.dataDirectory)
    , engine_(options_.outbox
              ? nullptr
              : std::make_unique<SenderEngine>(counters_, console_, WithinDescriptorLimit(options_.engine),
                  [this](const std::string&, const std::string& system) { postSendFailure(system); }))
    , outbox_(options_.outbox ? options_.outbox : engine_.get())
    , replies_(table_, *outbox_, settings_, counters_, sequence_, console_)
    , forwardEngine_(options_.outbox || !options_.forwardingThread
              ? nullptr
              : std::make_unique<SenderEngine>(counters_, console_, WithinDescriptorLimit(options_.engine),
                  [this](const std::string&, const std::string& system) { postSendFailure(system); }))
    , forwarder_(forwardEngine_ ? std::make_unique<ForwardingThread>(*forwardEngine_, console_) : nullptr)
    , server_(new QTcpServer(this))
    , udp_(new QUdpSocket(this))
    , udpVelka_(new QUdpSocket(this))
    , udpRack_(new QUdpSocket(this))
    , connections_(new RequestConnections(
          { [this](const std::string& peer) { return clientConnected(peer); },
              [this](int id, const std::string& peer, Bytes request) { readTcpRequest(id, peer, request); },
              [this](const std::string& peer) { clientDisconnected(peer); },
              [this](const std::string& peer, int code) { clientFailed(peer, code); },
              [this](const std::string&) { ++counters_.ConnectionsShed; } },
          { .idleMs = options_.idleConnectionMs, .maxConnections = WithinDescriptorLimit(options_.maxConnections) },
          this))
    , answerBudget_(options_.answers)
    , readers_ { DatagramReader(*outbox_,
                     [this](Bytes packet, const std::string& ip, int port) {
                         handleDatagram(Endpoint::Qvx, packet, ip, port);
                     }),
        DatagramReader(*outbox_,
            [this](
                Bytes packet, const std::string& ip, int port) { handleDatagram(Endpoint::Velka, packet, ip, port); }),
        DatagramReader(*outbox_,
            [this](
                Bytes packet, const std::string& ip, int port) { handleDatagram(Endpoint::Rack, packet, ip, port); }) }
    , saver_(table_, [this] {
        QMetaObject::invokeMethod(
            this, [this] { finishSave(saver_.collect()); }, Qt::QueuedConnection);
    })
{
    replies_.setAnswerBudget(&answerBudget_);
    if (forwarder_)
        readers_[static_cast<std::size_t>(Endpoint::Qvx)].skip(forwarder_->wakeSender());
    server_->setListenBacklogSize(kListenBacklog);
    for (QUdpSocket* socket : { udp_, udpVelka_ }) {
        connect(socket, &QUdpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
            // A datagram the socket could not take at once is not an error.
            if (error == QAbstractSocket::TemporaryError)
                return;
            if (error == QAbstractSocket::HostNotFoundError)
                console_.log(fixed::kUdpInvalidHost);
            else
                console_.log(fixed::kUdpInvalidStream);
        });
    }

    setUpForwarding();

    saveTimer_.setInterval(options_.saveIntervalMs);
    connect(&saveTimer_, &QTimer::timeout, this, &Hub::saveTick);
    boundsTimer_.setInterval(1000);
    connect(&boundsTimer_, &QTimer::timeout, this, &Hub::reportBounds);
}

Hub::~Hub()
{
    // Stops the sender threads first, so that no failure is reported to a hub
    // that is going away.
    forwarder_.reset();
    forwardEngine_.reset();
    engine_.reset();
    if (planWatch_)
        table_.removeChangeObserver(planWatch_.get());
    saver_.wait();
}

// Called on a sender thread: the table belongs to the main thread.
void Hub::postSendFailure(const std::string& system)
{
    QMetaObject::invokeMethod(
        this,
        [this, system] {
            table_.setSystemStatus(system, SystemStatus::Error);
            emit senderFailed(QString::fromStdString(system));
        },
        Qt::QueuedConnection);
}

Result<void> Hub::start()
{
    owner_("start");
    learnOwnAddress();
    saveTimer_.start();
    boundsTimer_.start();
    loadTable();
    if (options_.basePort)
        settings_.BasePort = *options_.basePort;
    loadAllowList();
    return setUpEndpoints();
}

bool Hub::reload()
{
    owner_("reload");
    const bool saved = saveSystems();
    loadAllowList();
    return saved;
}

bool Hub::shutdown()
{
    owner_("shutdown");
    stopForwarding();
    return saveSystems();
}

std::int64_t Hub::sendQueueDepth() const
{
    return (engine_ ? engine_->queuedJobs() : 0) + (forwardEngine_ ? forwardEngine_->queuedJobs() : 0);
}

std::uint64_t Hub::sendQueueDropped() const
{
    return (engine_ ? engine_->droppedJobs() : 0) + (forwardEngine_ ? forwardEngine_->droppedJobs() : 0);
}

} // namespace korvel
