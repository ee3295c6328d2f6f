#include "headless.h"

#include "app/stall_watch.h"
#include "app/unix_signals.h"
#include "relay/hub.h"
#include "store/console_log.h"

#include <QCoreApplication>

#include <cstdio>

namespace korvel {

void PrintReadyLine(const Hub& hub)
{
    std::fprintf(stderr, "korvel: ready, TCP %d, UDP %d, UDP_RACK %d, UDP_VELKA %d, own address %s\n", hub.tcpPort(),
        hub.udpPort(), hub.rackPort(), hub.velkaPort(),
        hub.settings().OwnAddress.empty() ? "(none)" : hub.settings().OwnAddress.c_str());
    std::fflush(stderr);
}

int RunHeadless(const HeadlessOptions& options)
{
    StreamConsoleSink stdoutSink(stdout);
    if (options.trace) {
        SetConsoleSink(&stdoutSink);
        EnableConsoleLog();
    }

    Hub hub;
    QString error;
    if (!hub.start(&error)) {
        std::fprintf(
            stderr, "korvel: cannot listen on TCP port %d: %s\n", hub.settings().LocalTcpPort, qPrintable(error));
        SetConsoleSink(nullptr);
        return 1;
    }
    PrintReadyLine(hub);

    UnixSignalWatcher signalWatcher;
    QObject::connect(&signalWatcher, &UnixSignalWatcher::terminationRequested, [](int) { QCoreApplication::quit(); });
    StallWatch stallWatch;
    if (options.reportStalls)
        stallWatch.start();
    QCoreApplication::exec();
    stallWatch.finish();

    hub.shutdown();
    DisableConsoleLog();
    SetConsoleSink(nullptr);
    return 0;
}

} // namespace korvel
