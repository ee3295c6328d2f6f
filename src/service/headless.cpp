#include "headless.h"

#include "log/console_log.h"
#include "service/service.h"

#include <QCoreApplication>

#include <cstdio>

namespace korvel {

int RunHeadless(const ServiceOptions& options)
{
    // A slow reader of standard output costs trace lines, never traffic.
    BufferedStreamSink stdoutSink(stdout);
    if (options.trace) {
        SetConsoleSink(&stdoutSink);
        EnableConsoleLog();
    }
    int status = 1;
    {
        Service service(options);
        QObject::connect(&service, &Service::terminationRequested, [] { QCoreApplication::quit(); });
        if (service.start()) {
            // Not 0 when the cluster refused this hub after the start.
            const int exitCode = QCoreApplication::exec();
            status = service.stop() && exitCode == 0 ? 0 : 1;
        }
    }
    DisableConsoleLog();
    SetConsoleSink(nullptr);
    return status;
}

} // namespace korvel
