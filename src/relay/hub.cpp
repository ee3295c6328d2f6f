#include "hub.h"

#include "log/console_log.h"
#include "log/notice.h"
#include "net/descriptors.h"
#include "net/ipv4_address.h"
#include "relay/decoder.h"
#include "relay/keep_alive.h"
#include "relay/socket_errors.h"
#include "store/system_files.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QUdpSocket>
#include <QVariant>

#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <functional>

namespace korvel {

namespace {

// Hundreds of systems asking for their page at once must not find the queue
// of connections full: a dropped SYN costs the client a second or more. The
// kernel caps it at net.core.somaxconn.
constexpr int kListenBacklog = SOMAXCONN;
constexpr int kReceiveBufferBytes = 4 << 20;
const char* const kAllowListFile = "allow.txt";

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

// What the forwarding thread read is handled on the event loop in shares of
// this much time, like the datagrams the loop reads itself.
constexpr auto kApplyBudget = std::chrono::milliseconds(10);
// A plan is a walk of the table: for a table this big, at most one per
// interval; until then the event loop forwards what the plan cannot.
constexpr std::size_t kPlanWalkFree = 1000;
constexpr auto kPlanInterval = std::chrono::milliseconds(100);

// Any change to an entry can change where a report goes or who may send one.
class PlanWatch : public SystemChangeObserver {
public:
    explicit PlanWatch(std::function<void()> changed)
        : changed_(std::move(changed))
    {
    }
    void systemChanged(const SystemEntry&) override { changed_(); }
    void stationChanged(const SystemEntry&, std::size_t) override { }
    void systemAdded(const SystemEntry&) override { changed_(); }
    void systemRemoved(const SystemEntry&) override { changed_(); }
    void systemReaddressed(const SystemEntry&, const std::string&) override { changed_(); }
    void tableCleared() override { changed_(); }

private:
    std::function<void()> changed_;
};

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
              [this](int id, const std::string& peer, Bytes request) { ReadTcpRequest(id, peer, request); },
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
                console_.log("UDP Error : Invalid Host");
            else
                console_.log("UDP Error : Invalid Stream");
        });
    }

    if (forwarder_) {
        forwardedReady_ = std::make_unique<QSocketNotifier>(forwarder_->readyFd(), QSocketNotifier::Read);
        connect(forwardedReady_.get(), &QSocketNotifier::activated, this, [this] { applyForwarded(false); });
        planWatch_ = std::make_unique<PlanWatch>([this] { invalidatePlan(); });
        table_.addChangeObserver(planWatch_.get());
        planTimer_.setSingleShot(true);
        connect(&planTimer_, &QTimer::timeout, this, [this] { refreshPlan(true); });
        applyTimer_.setSingleShot(true);
        connect(&applyTimer_, &QTimer::timeout, this, [this] { applyForwarded(false); });
    }

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
            table_.SetSystemStatus(system, SystemStatus::Error);
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
    return SetUpEndpoints();
}

void Hub::loadAllowList()
{
    owner_("loadAllowList");
    const auto path = options_.dataDirectory / kAllowListFile;
    std::error_code ignored;
    allowListTime_ = std::filesystem::last_write_time(path, ignored);
    AllowList candidate;
    const std::vector<AllowListProblem> problems = candidate.load(path);
    for (const AllowListProblem& problem : problems)
        Notify(
            console_, Severity::Warning, path.string() + ":" + std::to_string(problem.line) + ": " + problem.message);
    // A file that cannot be read, or has entries of which none can be taken,
    // says nothing about whom it meant to let in: the list read before stays
    // (at start-up there is none, and nobody comes in).
    const bool unreadable = std::any_of(
        problems.begin(), problems.end(), [](const AllowListProblem& problem) { return problem.line == 0; });
    const bool unusable = unreadable || (candidate.empty() && !problems.empty());
    if (unusable && allowListLoaded_) {
        Notify(console_, Severity::Warning, path.string() + " unusable: keeping the list read before");
        return;
    }
    if (unusable)
        Notify(console_, Severity::Warning, path.string() + " unusable: nobody is allowed in");
    allowList_ = std::move(candidate);
    allowListLoaded_ = !unusable;
    invalidatePlan();
}

bool Hub::refuse(const std::string& address)
{
    if (allowList_.allows(address))
        return false;
    ++refused_;
    console_.log("Refused from: %s", address.c_str());
    return true;
}

// A sender the table does not know, while the table is full: refused, and
// counted for the line a second that says so.
bool Hub::tableFull(const std::string& address)
{
    if (table_.size() < options_.maxSystems || table_.FindSystem(address))
        return false;
    ++counters_.RefusedTableFull;
    return true;
}

bool Hub::reload()
{
    owner_("reload");
    const bool saved = SaveSystems();
    loadAllowList();
    return saved;
}

void Hub::reportBounds()
{
    answerBudget_.expire();
    if (counters_.RefusedTableFull != reportedTableFull_) {
        // An operator may have to act on what the bounds turned away.
        Notify(console_, Severity::Warning,
            "Table full (" + std::to_string(options_.maxSystems) + " systems): refused "
                + std::to_string(counters_.RefusedTableFull - reportedTableFull_) + " new senders");
        reportedTableFull_ = counters_.RefusedTableFull;
    }
    if (counters_.AnswersHeldBack != reportedHeldBack_) {
        Notify(console_, Severity::Warning,
            "Answers held back: " + std::to_string(counters_.AnswersHeldBack - reportedHeldBack_) + " ("
                + std::to_string(counters_.AnswerBytesHeldBack - reportedHeldBackBytes_) + " bytes), the last to "
                + answerBudget_.lastHeldBack());
        reportedHeldBack_ = counters_.AnswersHeldBack;
        reportedHeldBackBytes_ = counters_.AnswerBytesHeldBack;
    }
}

bool Hub::shutdown()
{
    owner_("shutdown");
    stopForwarding();
    return SaveSystems();
}

void Hub::loadTable()
{
    LoadedSystems loaded = LoadSystems(table_);
    if (loaded.basePort)
        settings_.BasePort = *loaded.basePort;
    for (const std::string& note : loaded.notes)
        Notify(console_, Severity::Warning, note);
    for (const std::string& damage : loaded.damage)
        Notify(console_, Severity::Error, damage);
    tableDamaged_ = !loaded.damage.empty();
    saver_.keepBackupOf(std::move(loaded.systemFileText));
}

bool Hub::SaveSystems()
{
    owner_("SaveSystems");
    catchUp();
    finishSave(saver_.wait());
    saveStarted_ = std::chrono::steady_clock::now();
    saver_.start(settings_.BasePort);
    return finishSave(saver_.wait());
}

bool Hub::startSave()
{
    owner_("startSave");
    finishSave(saver_.collect());
    if (saver_.busy())
        return false;
    catchUp();
    saveStarted_ = std::chrono::steady_clock::now();
    return saver_.start(settings_.BasePort);
}

bool Hub::finishSave(const std::optional<SaveReport>& report)
{
    if (!report)
        return true;
    lastSave_ = SaveRecord { true, report->ok(), std::chrono::steady_clock::now() - saveStarted_ };
    // A full disk fails every file alike: a few lines say it.
    constexpr std::size_t kLinesPerSave = 10;
    for (std::size_t i = 0; i < report->failures.size() && i < kLinesPerSave; ++i)
        Notify(console_, Severity::Error, report->failures[i].message());
    if (report->failures.size() > kLinesPerSave)
        Notify(console_, Severity::Error,
            "Cannot save " + std::to_string(report->failures.size() - kLinesPerSave) + " more files");
    emit saveFinished(report->ok());
    return report->ok();
}

std::int64_t Hub::sendQueueDepth() const
{
    return (engine_ ? engine_->queuedJobs() : 0) + (forwardEngine_ ? forwardEngine_->queuedJobs() : 0);
}

std::uint64_t Hub::sendQueueDropped() const
{
    return (engine_ ? engine_->droppedJobs() : 0) + (forwardEngine_ ? forwardEngine_->droppedJobs() : 0);
}

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

Result<void> Hub::SetUpEndpoints()
{
    owner_("SetUpEndpoints");
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

void Hub::setRelayPeer(RelayPeer* peer)
{
    owner_("setRelayPeer");
    // What was read before is handled as the hub was then.
    stopForwarding();
    peer_ = peer;
    replies_.setPeer(peer);
    if (udp_->state() == QAbstractSocket::BoundState)
        watchUdp();
}

void Hub::watchUdp()
{
    DatagramReader& reader = readers_[static_cast<std::size_t>(Endpoint::Qvx)];
    stopForwarding();
    reader.stop();
    // A cluster member forwards to the systems it holds leases on, which
    // only the event loop knows.
    if (!forwarder_ || peer_) {
        reader.watch(udp_);
        return;
    }
    const int fd = TakeOverReading(udp_);
    if (fd < 0)
        return;
    refreshPlan(true);
    forwarder_->start(fd);
}

void Hub::stopForwarding()
{
    if (!forwarder_ || !forwarder_->running())
        return;
    forwarder_->stop();
    applyForwarded(true);
}

void Hub::catchUp()
{
    if (forwarder_ && forwarder_->running())
        applyForwarded(true);
}

void Hub::applyForwarded(bool all)
{
    applyQueued_ = false;
    const auto started = std::chrono::steady_clock::now();
    std::size_t handedOver = 0;
    bool took = false;
    {
        OutboxBatch forwards(*outbox_);
        for (;;) {
            if (applied_ >= applying_.datagrams.size()) {
                // Once a turn: an empty take tells the thread to wake this
                // one for the next datagram.
                if (took && !all)
                    break;
                forwarder_->take(applying_);
                applied_ = 0;
                took = true;
                if (applying_.empty())
                    break;
                if (!applyTimer_.isActive())
                    applyTimer_.start(ForwardingThread::kApplyDelay);
            }
            const ReadBatch::Datagram datagram = applying_.datagrams[applied_++];
            if (!datagram.forwards)
                ++handedOver;
            handleDatagram(Endpoint::Qvx, applying_.packet(datagram), DottedText(datagram.fromAddress),
                datagram.fromPort, datagram.forwards);
            if (!all && std::chrono::steady_clock::now() - started >= kApplyBudget)
                break;
        }
    }
    // The plan first: the thread forwards again once what it handed over is
    // handled and the plan says what that changed.
    refreshPlan(false);
    forwarder_->handled(handedOver);
    if (applied_ < applying_.datagrams.size() && !applyQueued_) {
        applyQueued_ = true;
        QMetaObject::invokeMethod(
            this, [this] { applyForwarded(false); }, Qt::QueuedConnection);
    }
}

void Hub::invalidatePlan()
{
    if (!forwarder_)
        return;
    forwarder_->invalidate();
    if (planQueued_)
        return;
    planQueued_ = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            planQueued_ = false;
            refreshPlan(false);
        },
        Qt::QueuedConnection);
}

void Hub::refreshPlan(bool now)
{
    if (!forwarder_)
        return;
    const std::uint64_t version = forwarder_->version();
    if (version == planVersion_)
        return;
    const auto time = std::chrono::steady_clock::now();
    if (!now && table_.size() > kPlanWalkFree && time - lastPlan_ < kPlanInterval) {
        if (!planTimer_.isActive())
            planTimer_.start(std::chrono::ceil<std::chrono::milliseconds>(kPlanInterval - (time - lastPlan_)));
        return;
    }
    forwarder_->publish(buildPlan(version));
    planVersion_ = version;
    lastPlan_ = time;
}

std::shared_ptr<const ForwardPlan> Hub::buildPlan(std::uint64_t version) const
{
    auto plan = std::make_shared<ForwardPlan>();
    plan->version = version;
    plan->forwardStatus = settings_.ForwardStatus;
    plan->targets.reserve(table_.size());
    for (const SystemEntry& entry : table_.Systems()) {
        ForwardPlan::Target target;
        // A sender's text is always the plain form; an entry written otherwise is never one.
        if (const Result<in_addr> address = ParseIPv4(entry.IpAddress);
            address && DottedText(ntohl(address->s_addr)) == entry.IpAddress)
            target.sender = address->s_addr;
        target.sends = entry.Type == kTypeQvx || entry.Type == kTypeVelka;
        if (target.sends)
            target.target = UdpForwardTarget(entry);
        if (target.sender && entry.IpAddress != settings_.OwnAddress && allowList_.allows(entry.IpAddress))
            plan->senders.insert(*target.sender);
        plan->targets.push_back(std::move(target));
    }
    return plan;
}

void Hub::qvxDatagramReceived(Bytes packet, const std::string& fromIp, int fromPort)
{
    handleDatagram(Endpoint::Qvx, packet, fromIp, fromPort);
}

void Hub::velkaDatagramReceived(Bytes packet, const std::string& fromIp, int fromPort)
{
    handleDatagram(Endpoint::Velka, packet, fromIp, fromPort);
}

void Hub::rackDatagramReceived(Bytes packet, const std::string& fromIp, int fromPort)
{
    handleDatagram(Endpoint::Rack, packet, fromIp, fromPort);
}

void Hub::handleDatagram(
    Endpoint endpoint, Bytes packet, const std::string& fromIp, int fromPort, std::optional<std::uint64_t> forwarded)
{
    ++counters_.Datagrams[static_cast<std::size_t>(endpoint)][MessageSlot(GetMessageCode(packet))];
    if (refuse(fromIp))
        return;
    if (fromIp != settings_.OwnAddress && tableFull(fromIp))
        return;
    switch (endpoint) {
    case Endpoint::Qvx:
        console_.log("UDP From IP : %s", fromIp.c_str());
        break;
    case Endpoint::Velka:
        console_.log("UDP2 From IP : %s, %d", fromIp.c_str(), fromPort);
        break;
    case Endpoint::Rack:
        console_.log("UDP_RACK From IP : %s, %d", fromIp.c_str(), fromPort);
        break;
    }
    if (fromIp == settings_.OwnAddress)
        return;

    if (table_.AddSystem(fromIp, fromIp, endpoint == Endpoint::Qvx ? kTypeQvx : kTypeVelka))
        table_.MarkHeard(fromIp);
    table_.SetSystemStatus(fromIp, SystemStatus::Working);
    if (peer_)
        peer_->heardFrom(fromIp);
    DecodePacket(table_, replies_, fromIp, packet);

    switch (endpoint) {
    case Endpoint::Qvx:
        if (forwarded)
            replies_.udpStepForwarded(packet, *forwarded);
        else
            replies_.udpStep(packet, fromIp);
        console_.log("%s", "");
        break;
    case Endpoint::Velka:
        console_.log("%s", "");
        replies_.velkaStep(packet, fromIp);
        break;
    case Endpoint::Rack:
        console_.log("%s", "");
        break;
    }
    if (peer_ && endpoint != Endpoint::Rack) {
        const RelayStep step = endpoint == Endpoint::Qvx ? RelayStep::Udp : RelayStep::Velka;
        if (Replies::stepForwards(step, GetMessageCode(packet)))
            peer_->forwardReceived(packet, fromIp, step);
    }
    counters_.ReceivedByteCount.fetch_add(static_cast<std::int32_t>(packet.size()), std::memory_order_relaxed);
}

void Hub::ApplyTcpAnswer(const std::string& peer, Bytes answer)
{
    DecodePacket(table_, replies_, peer, answer);
    console_.log("%s", "");
    counters_.ReceivedByteCount.fetch_add(static_cast<std::int32_t>(answer.size()), std::memory_order_relaxed);
}

bool Hub::clientConnected(const std::string& peer)
{
    ++counters_.Connections;
    if (refuse(peer) || (peer != settings_.OwnAddress && tableFull(peer)))
        return false;
    // A request from the hub's own address (its test console, a tool on this
    // machine) is answered, but the hub is no system of its own table: it
    // would forward and send keep-alives to itself.
    if (peer != settings_.OwnAddress) {
        if (table_.AddSystem(peer, std::string(), kTypeQvx))
            table_.MarkHeard(peer);
        table_.SetSystemStatus(peer, SystemStatus::Working);
        if (peer_)
            peer_->heardFrom(peer);
    }
    console_.log("Connect from: %s", peer.c_str());
    return true;
}

void Hub::clientDisconnected(const std::string& peer)
{
    console_.log("Disconnected: %s", peer.c_str());
    console_.log("%s", "");
}

void Hub::clientFailed(const std::string& /*peer*/, int errorCode)
{
    // The connection is closed already.
    console_.log("TCP Client Error : ErrorCode %d", errorCode);
}

void Hub::ReadTcpRequest(int connection, const std::string& peer, Bytes packet)
{
    DecodePacket(table_, replies_, peer, packet);
    console_.log("%s", "");
    ++counters_.TcpRequests[MessageSlot(GetMessageCode(packet))];
    replies_.tcpStep(packet, peer, [this, connection](Bytes bytes) { return connections_->write(connection, bytes); });
    if (peer_ && Replies::stepForwards(RelayStep::Tcp, GetMessageCode(packet)))
        peer_->forwardReceived(packet, peer, RelayStep::Tcp);
    counters_.ReceivedByteCount.fetch_add(static_cast<std::int32_t>(packet.size()), std::memory_order_relaxed);
}

namespace {

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
        console.log("UDP Error : Invalid Host");
    });
}

} // namespace

void Hub::SendFromUdpEndpoint(Bytes packet)
{
    owner_("SendFromUdpEndpoint");
    SendFromEndpoint(udp_, settings_.UdpRemoteHost, settings_.RemoteUdpPort, packet, console_);
}

void Hub::SendFromVelkaEndpoint(Bytes packet)
{
    owner_("SendFromVelkaEndpoint");
    SendFromEndpoint(udpVelka_, settings_.VelkaRemoteHost, settings_.VelkaRemotePort, packet, console_);
}

void Hub::saveTick()
{
    // A save still writing when the next is due is left to finish; this
    // tick's changes go with the next one.
    startSave();
    SendKeepAlives(table_, *outbox_, console_, table_.now());
    std::error_code ignored;
    if (std::filesystem::last_write_time(options_.dataDirectory / kAllowListFile, ignored) != allowListTime_)
        loadAllowList();
}

} // namespace korvel
