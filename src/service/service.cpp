#include "service.h"

#include "cluster/cluster.h"
#include "log/notice.h"
#include "net/ipv4_address.h"
#include "relay/stall_watch.h"
#include "service/icmp_ping.h"
#include "service/service_notify.h"
#include "service/unix_signals.h"
#include "sip/sip_import.h"
#include "sip/sip_presence.h"
#include "sip/sip_watch.h"
#include "web/web_console.h"

#include <QCoreApplication>
#include <QNetworkProxy>

#include <cctype>
#include <cstdio>
#include <string>

namespace korvel {

namespace {

Hub::Options WithConsole(Hub::Options options, ConsoleLog& console)
{
    if (!options.console)
        options.console = &console;
    return options;
}

} // namespace

Service::Service(ServiceOptions options, QObject* parent)
    : QObject(parent)
    , options_(std::move(options))
    // Before the ready line: whoever reads it may send SIGTERM at once.
    , signals_(std::make_unique<UnixSignalWatcher>())
    , hub_(std::make_unique<Hub>(WithConsole(options_.hub, console_)))
{
    connect(
        signals_.get(), &UnixSignalWatcher::terminationRequested, this, [this](int) { emit terminationRequested(); });
    connect(signals_.get(), &UnixSignalWatcher::reloadRequested, this, [this] {
        Notify(hub_->console(), Severity::Info, "SIGHUP: saving the table and reading allow.txt again");
        static_cast<void>(reloadFiles());
    });
}

Service::~Service()
{
    // The web console, SIP and the cluster watch the hub: they go first.
    web_.reset();
    sipWatch_.reset();
    sip_.reset();
    sipImport_.reset();
    cluster_.reset();
    ConsoleLog& console = hub_->console();
    hub_.reset();
    if (traceSink_) {
        console.disable();
        console.setSink(nullptr);
    }
}

void Service::traceToStandardOutput()
{
    ConsoleLog& console = hub_->console();
    traceSink_ = std::make_unique<BufferedStreamSink>(console, stdout);
    console.setSink(traceSink_.get());
    console.enable();
}

Result<void> Service::start()
{
    // Exchanges and the console's browsers are reached directly. Qt would
    // otherwise ask the desktop's proxy settings (http_proxy and the like)
    // for every socket: a SOCKS proxy there would carry the hub's datagrams,
    // or stop its ports from opening when the proxy is away.
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
    // Before any port opens: a second hub on the folder would answer beside
    // the first and, on its way out, save its stale table over the live one.
    auto lock = DataFolderLock::take(options_.hub.dataDirectory);
    if (!lock) {
        Notify(hub_->console(), Severity::Error, lock.error() + "; not starting");
        return lock.failure();
    }
    lock_.emplace(std::move(*lock));
    // A certificate that cannot be used stops the start before any port
    // opens, so that it is what the operator is told, and not a port that
    // another program holds.
    if (options_.web && options_.web->tls.enabled()) {
        if (const Result<TlsCredentials> loaded = LoadTlsCredentials(options_.web->tls); !loaded) {
            Notify(hub_->console(), Severity::Error, "web console: " + loaded.error());
            return loaded.failure();
        }
    }
    if (auto started = startHub(); !started)
        return started;
    if (options_.cluster) {
        // Not fatal: Redis away only stops the sharing, and the cluster says
        // so and keeps reconnecting while the hub relays locally.
        options_.cluster->dataDirectory = options_.hub.dataDirectory;
        cluster_ = std::make_unique<Cluster>(*hub_, *options_.cluster);
        // A node name another live hub has: this hub must not run beside it.
        connect(cluster_.get(), &Cluster::refused, this, [this](const QString& reason) {
            Notify(hub_->console(), Severity::Error, reason.toStdString());
            QCoreApplication::exit(1);
        });
        cluster_->start();
    }
    if (auto started = startWebConsole(); !started)
        return started;
    if (auto started = startSip(); !started)
        return started;
    started_ = true;
    printReadyLine();
    notifier_ = std::make_unique<ServiceNotifier>();
    notifier_->ready("TCP " + std::to_string(hub_->tcpPort()) + ", UDP " + std::to_string(hub_->udpPort()) + ", "
        + std::to_string(hub_->rackPort()) + ", " + std::to_string(hub_->velkaPort()));
    stallWatch_ = std::make_unique<StallWatch>();
    if (options_.reportStalls)
        stallWatch_->start();
    return {};
}

Result<void> Service::startHub()
{
    const Result<void> started = hub_->start();
    if (hub_->tableDamaged()) {
        // The hub has said what; a save would write the loss to disk.
        const std::string reason
            = "not starting; the files in " + options_.hub.dataDirectory.string() + " are left as they are";
        startProblems_ = hub_->loadProblems();
        Notify(hub_->console(), Severity::Error, reason);
        return Fail(reason);
    }
    if (started)
        return {};
    std::string reason;
    if (!hub_->listening()) {
        reason = "cannot listen on TCP port " + std::to_string(hub_->settings().LocalTcpPort) + ": " + started.error();
    } else {
        reason = started.error();
        if (!reason.empty())
            reason[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(reason[0])));
    }
    Notify(hub_->console(), Severity::Error, reason);
    return Fail(reason);
}

Result<void> Service::startWebConsole()
{
    if (!options_.web)
        return {};
    web_ = std::make_unique<WebConsole>(*hub_, *options_.web);
    // The web API's writes are the operator's commands, as the window gives them.
    web_->setOperatorCommands(this);
    if (const Cluster* cluster = cluster_.get()) {
        web_->setClusterStatus([cluster] {
            return ClusterStatus { cluster->node(), cluster->stateText(), cluster->problem(),
                cluster->liveNodes().size(), cluster->systemsOwned(), cluster->published(), cluster->received(),
                cluster->leasesLost(), cluster->queueDropped(), cluster->queued(), cluster->writeFailures(),
                cluster->heldDropped() };
        });
    }
    const Result<QStringList> notices = web_->start();
    if (!notices) {
        web_.reset();
        const std::string reason = "web console: " + notices.error();
        Notify(hub_->console(), Severity::Error, reason);
        return Fail(reason);
    }
    for (const QString& notice : *notices)
        Notify(hub_->console(), Severity::Warning, "web console: " + notice.toStdString());
    Notify(hub_->console(), Severity::Info, "web console at " + web_->url().toStdString());
    return {};
}

void Service::reloadWebTls()
{
    if (!web_ || !web_->tls())
        return;
    const Result<QStringList> reloaded = web_->reloadTls();
    if (!reloaded) {
        Notify(
            hub_->console(), Severity::Warning, "web console: " + reloaded.error() + "; the certificate in use stays");
        return;
    }
    for (const QString& notice : *reloaded)
        Notify(hub_->console(), Severity::Info, "web console: " + notice.toStdString());
}

void Service::printReadyLine() const
{
    std::fprintf(stderr, "korvel: ready, TCP %d, UDP %d, UDP_RACK %d, UDP_VELKA %d, own address %s\n", hub_->tcpPort(),
        hub_->udpPort(), hub_->rackPort(), hub_->velkaPort(),
        hub_->settings().OwnAddress.empty() ? "(none)" : hub_->settings().OwnAddress.c_str());
    std::fflush(stderr);
}

bool Service::stop()
{
    if (stopped_)
        return *stopped_;
    if (stallWatch_)
        stallWatch_->finish();
    if (notifier_)
        notifier_->stopping();
    web_.reset();
    sipWatch_.reset();
    sip_.reset();
    sipImport_.reset();
    cluster_.reset();
    // A hub that did not start has nothing of its own to save: its table is
    // the damaged one, or the folder is another hub's.
    stopped_ = started_ ? hub_->shutdown() : true;
    return *stopped_;
}

Result<void> Service::audit(
    const CommandSource& source, Result<void> result, const std::string& done, const std::string& doing)
{
    if (result)
        Notify(hub_->console(), Severity::Info, source.name + ' ' + done);
    else
        Notify(hub_->console(), Severity::Info, source.name + " could not " + doing + ": " + result.error());
    return result;
}

Result<void> Service::addSystem(const CommandSource& source, const NewSystem& system)
{
    const std::string what = "system " + system.address;
    if (!NumericIPv4(system.address, 0))
        return audit(source, Fail("'" + system.address + "' is not an IPv4 address", Failure::Kind::Invalid),
            "added " + what, "add " + what);
    if (system.port && (*system.port < 1 || *system.port > 65535))
        return audit(source,
            Fail("port " + std::to_string(*system.port) + " is not between 1 and 65535", Failure::Kind::Invalid),
            "added " + what, "add " + what);
    SystemTable& table = hub_->table();
    if (table.findSystem(system.address))
        return audit(source, Fail(system.address + " is in the table already", Failure::Kind::Conflict),
            "added " + what, "add " + what);
    table.addSystem(system.address, system.name, system.velka ? kTypeVelka : kTypeQvx);
    if (system.port)
        table.setSystemPort(system.address, *system.port);
    return audit(source, {}, "added " + what, "add " + what);
}

Result<void> Service::deleteSystem(const CommandSource& source, const std::string& address)
{
    SystemTable& table = hub_->table();
    Result<void> result;
    if (!table.findSystem(address))
        result = Fail(address + " is not in the table", Failure::Kind::NotFound);
    else if (sipImport_ && sipImport_->owns(address))
        result = Fail(address + " is the SIP extensions' system, kept while SIP import is on (--sip-system-address)",
            Failure::Kind::Conflict);
    else
        table.removeSystem(address);
    return audit(source, result, "deleted system " + address, "delete system " + address);
}

Result<void> Service::initialize(const CommandSource& source)
{
    const std::size_t systems = hub_->table().size();
    hub_->table().clearAllSystems();
    if (sipImport_)
        static_cast<void>(sipImport_->start(hub_->settings().OwnAddress));
    return audit(source, save(), "initialized the table (" + std::to_string(systems) + " systems deleted)",
        "initialize the table");
}

Result<void> Service::setForwardStatus(const CommandSource& source, bool forward)
{
    hub_->setForwardStatus(forward);
    const std::string state = forward ? "on" : "off";
    return audit(source, {}, "turned status forwarding " + state, "turn status forwarding " + state);
}

Result<void> Service::applyOptions(const CommandSource& source, const EndpointOptions& options)
{
    const Result<void> applied = hub_->applyOptions(options);
    const Settings& settings = hub_->settings();
    return audit(source, applied,
        "applied the options: QVX system address "
            + (settings.ServerAddress.empty() ? "(none)" : settings.ServerAddress) + ", status forwarding "
            + (settings.ForwardStatus ? "on" : "off") + ", local TCP port " + std::to_string(settings.LocalTcpPort)
            + ", local UDP port " + std::to_string(settings.LocalUdpPort) + ", remote TCP port "
            + std::to_string(settings.RemoteTcpPort) + ", remote UDP port " + std::to_string(settings.RemoteUdpPort),
        "apply the options");
}

Result<void> Service::saveNow(const CommandSource& source)
{
    return audit(source, save(), "saved the table", "save the table");
}

Result<void> Service::reload(const CommandSource& source)
{
    return audit(source, reloadFiles(), "reloaded: saved the table and read allow.txt again", "reload");
}

// Where the lookup fails nothing was tried, and no audit line is written.
Result<void> Service::pingSystem(const CommandSource& source, const std::string& address, PingRequest request)
{
    const SystemEntry* entry = hub_->table().findSystem(address);
    if (!entry)
        return Fail("No system has that address", Failure::Kind::NotFound);
    // Where the system's packets go.
    const std::string target = entry->ToIp.empty() ? entry->IpAddress : entry->ToIp;
    const auto to = NumericIPv4(target, 0);
    if (!to)
        return Fail("Cannot ping " + target);
    const std::string what = "system " + address;
    request.done = [this, source, what, done = std::move(request.done)](const PingOutcome& outcome) {
        static_cast<void>(audit(source, {},
            "pinged " + what + ": " + std::to_string(outcome.sent) + " sent, " + std::to_string(outcome.received)
                + " received",
            {}));
        if (done)
            done(outcome);
    };
    QObject* owner = request.owner ? request.owner : this;
    const Result<IcmpPing*> started = IcmpPing::Start(*to, std::move(request), owner);
    if (!started)
        return audit(source, started.failure(), {}, "ping " + what);
    return {};
}

Result<void> Service::save()
{
    if (hub_->saveSystems())
        return {};
    return Fail("the table could not be saved; the reason is on standard error and the console");
}

Result<void> Service::reloadFiles()
{
    // A renewed certificate is served without a restart.
    reloadWebTls();
    reloadSipTls();
    if (sipWatch_)
        static_cast<void>(sipWatch_->reload());
    if (hub_->reload())
        return {};
    return Fail("the table could not be saved; allow.txt was read again");
}

} // namespace korvel
