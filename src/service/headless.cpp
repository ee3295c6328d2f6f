#include "headless.h"

#include "log/console_log.h"
#include "service/service.h"

#include <QCoreApplication>

#include <cstdio>

namespace korvel {

int RunHeadless(const ServiceOptions& options)
{
    // Outlives the service and the sink. A slow reader of standard output costs
    // trace lines, never traffic.
    ConsoleLog console;
    BufferedStreamSink stdoutSink(console, stdout);
    if (options.trace) {
        console.setSink(&stdoutSink);
        console.enable();
    }
    ServiceOptions withConsole = options;
    withConsole.hub.console = &console;
    int status = 1;
    {
        Service service(withConsole);
        QObject::connect(&service, &Service::terminationRequested, [] { QCoreApplication::quit(); });
        if (service.start()) {
            // Not 0 when the cluster refused this hub after the start.
            const int exitCode = QCoreApplication::exec();
            status = service.stop() && exitCode == 0 ? 0 : 1;
        }
    }
    console.disable();
    console.setSink(nullptr);
    return status;
}

} // namespace korvel
