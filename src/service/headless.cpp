#include "headless.h"

#include "service/service.h"

#include <QCoreApplication>

namespace korvel {

int RunHeadless(const ServiceOptions& options)
{
    Service service(options);
    if (options.trace)
        service.traceToStandardOutput();
    QObject::connect(&service, &Service::terminationRequested, [] { QCoreApplication::quit(); });
    if (!service.start())
        return 1;
    // Not 0 when the cluster refused this hub after the start.
    const int exitCode = QCoreApplication::exec();
    return service.stop() && exitCode == 0 ? 0 : 1;
}

} // namespace korvel
