#include "headless.h"

#include "cluster/cluster.h"
#include "log/console_log.h"
#include "relay/hub.h"
#include "relay/stall_watch.h"
#include "service/service_notify.h"
#include "service/unix_signals.h"
#include "web/hub_commands.h"
#include "web/web_console.h"

#include <QCoreApplication>

#include <cstdio>
#include <memory>
#include <string>

namespace korvel {

std::unique_ptr<WebConsole> StartWebConsole(Hub& hub, const WebOptions& options, const Cluster* cluster)
{
    auto console = std::make_unique<WebConsole>(hub, options);
    console->setOperatorCommands(new HubCommands(hub, console.get()));
    if (cluster) {
        console->setClusterStatus([cluster] {
            return ClusterStatus { cluster->node(), cluster->stateText(), cluster->problem(),
                cluster->liveNodes().size(), cluster->systemsOwned(), cluster->published(), cluster->received(),
                cluster->leasesLost(), cluster->queueDropped(), cluster->queued(), cluster->writeFailures() };
        });
    }
    QString error;
    QStringList notices;
    if (!console->start(&error, &notices)) {
        std::fprintf(stderr, "korvel: web console: %s\n", qPrintable(error));
        return nullptr;
    }
    for (const QString& notice : notices)
        std::fprintf(stderr, "korvel: web console: %s\n", qPrintable(notice));
    std::fprintf(stderr, "korvel: web console at %s\n", qPrintable(console->url()));
    return console;
}

void ReloadWebTls(WebConsole& console)
{
    if (!console.tls())
        return;
    const Result<QStringList> reloaded = console.reloadTls();
    if (!reloaded) {
        std::fprintf(stderr, "korvel: web console: %s; the certificate in use stays\n", reloaded.error().c_str());
        return;
    }
    for (const QString& notice : *reloaded)
        std::fprintf(stderr, "korvel: web console: %s\n", qPrintable(notice));
}

void PrintReadyLine(const Hub& hub)
{
    std::fprintf(stderr, "korvel: ready, TCP %d, UDP %d, UDP_RACK %d, UDP_VELKA %d, own address %s\n", hub.tcpPort(),
        hub.udpPort(), hub.rackPort(), hub.velkaPort(),
        hub.settings().OwnAddress.empty() ? "(none)" : hub.settings().OwnAddress.c_str());
    std::fflush(stderr);
}

int RunHeadless(const HeadlessOptions& options)
{
    // A slow reader of standard output costs trace lines, never traffic.
    BufferedStreamSink stdoutSink(stdout);
    if (options.trace) {
        SetConsoleSink(&stdoutSink);
        EnableConsoleLog();
    }

    // Before the ready line: whoever reads it may send SIGTERM at once.
    UnixSignalWatcher signalWatcher;
    QObject::connect(&signalWatcher, &UnixSignalWatcher::terminationRequested, [](int) { QCoreApplication::quit(); });

    Hub hub(options.hub);
    QObject::connect(&signalWatcher, &UnixSignalWatcher::reloadRequested, &hub, [&hub] {
        std::fprintf(stderr, "korvel: SIGHUP: saving the table and reading allow.txt again\n");
        hub.reload();
    });
    QString error;
    const bool started = hub.start(&error);
    if (hub.tableDamaged()) {
        // The hub has said what; a save would write the loss to disk.
        std::fprintf(
            stderr, "korvel: not starting; the files in %s are left as they are\n", options.hub.dataDirectory.c_str());
        SetConsoleSink(nullptr);
        return 1;
    }
    if (!started) {
        if (!hub.listening()) {
            std::fprintf(
                stderr, "korvel: cannot listen on TCP port %d: %s\n", hub.settings().LocalTcpPort, qPrintable(error));
        } else {
            error[0] = error[0].toLower();
            std::fprintf(stderr, "korvel: %s\n", qPrintable(error));
        }
        SetConsoleSink(nullptr);
        return 1;
    }
    std::unique_ptr<Cluster> cluster;
    if (options.cluster) {
        cluster = std::make_unique<Cluster>(hub, *options.cluster);
        // A node name another live hub has: this hub must not run beside it.
        QObject::connect(cluster.get(), &Cluster::refused, [](const QString& reason) {
            std::fprintf(stderr, "korvel: %s\n", qPrintable(reason));
            std::fflush(stderr);
            QCoreApplication::exit(1);
        });
        cluster->start();
    }
    std::unique_ptr<WebConsole> web;
    if (options.web && !(web = StartWebConsole(hub, *options.web, cluster.get()))) {
        SetConsoleSink(nullptr);
        return 1;
    }
    if (web) {
        QObject::connect(
            &signalWatcher, &UnixSignalWatcher::reloadRequested, web.get(), [&web] { ReloadWebTls(*web); });
    }
    PrintReadyLine(hub);
    ServiceNotifier service;
    service.ready("TCP " + std::to_string(hub.tcpPort()) + ", UDP " + std::to_string(hub.udpPort()) + ", "
        + std::to_string(hub.rackPort()) + ", " + std::to_string(hub.velkaPort()));

    StallWatch stallWatch;
    if (options.reportStalls)
        stallWatch.start();
    const int status = QCoreApplication::exec();
    stallWatch.finish();
    service.stopping();

    web.reset();
    cluster.reset();
    const bool saved = hub.shutdown();
    DisableConsoleLog();
    SetConsoleSink(nullptr);
    return status != 0 || !saved ? 1 : 0;
}

} // namespace korvel
