#include "gui/window_main.h"
#include "net/descriptors.h"
#include "service/command_line.h"
#include "service/config_check.h"
#include "service/headless.h"

#include <QCoreApplication>

// korvel-window: the hub with its operator's window. `korvel` starts it when
// a display is there, with the same options.
int main(int argc, char* argv[])
{
    korvel::RaiseDescriptorLimit();
    QCoreApplication::setApplicationVersion(QStringLiteral(KORVEL_VERSION));
    const auto parsed = korvel::ParseCommandLine(argc, argv);
    if (const std::optional<int> status = korvel::EndsAfterParsing(parsed))
        return *status;
    const korvel::CommandLine& line = *parsed;
    if (line.checkConfig)
        return korvel::CheckConfig(line.service.hub);
    if (line.headless) {
        QCoreApplication app(argc, argv);
        return korvel::RunHeadless(line.service);
    }
    return korvel::RunWindow(argc, argv, line.service);
}
