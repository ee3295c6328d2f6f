#include "net/descriptors.h"
#include "service/command_line.h"
#include "service/config_check.h"
#include "service/headless.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// korvel: the hub. It links no widget library, so a server runs it without a
// desktop; with a display it hands over to the window program when that is
// installed.

namespace {

bool DisplayAvailable()
{
    // A platform chosen by name (offscreen, vnc, ...) needs no display server.
    for (const char* name : { "DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM" }) {
        const char* value = std::getenv(name);
        if (value && *value)
            return true;
    }
    return false;
}

// Beside this program in a build folder, else where the desktop package puts it.
QString WindowProgram()
{
    const QString beside = QCoreApplication::applicationDirPath() + QStringLiteral("/korvel-window");
    for (const QString& candidate : { beside, QStringLiteral(KORVEL_WINDOW_PROGRAM) }) {
        if (QFileInfo(candidate).isExecutable())
            return candidate;
    }
    return {};
}

} // namespace

int main(int argc, char* argv[])
{
    // Before anything opens; the window program inherits it.
    korvel::RaiseDescriptorLimit();
    QCoreApplication::setApplicationVersion(QStringLiteral(KORVEL_VERSION));
    QCoreApplication app(argc, argv);
    const auto parsed = korvel::ParseCommandLine(QCoreApplication::arguments());
    if (const std::optional<int> status = korvel::EndsAfterParsing(parsed))
        return *status;
    const korvel::CommandLine& line = *parsed;
    if (line.checkConfig)
        return korvel::CheckConfig(line.service.hub);

    if (!line.headless) {
        if (!DisplayAvailable()) {
            std::fprintf(stderr, "korvel: no display available, running headless\n");
        } else if (const QString window = WindowProgram(); !window.isEmpty()) {
            // The window program parses the same options again.
            const QByteArray path = window.toLocal8Bit();
            argv[0] = const_cast<char*>(path.constData());
            execv(path.constData(), argv);
            std::fprintf(stderr, "korvel: cannot start the window %s: %s; running headless\n", path.constData(),
                std::strerror(errno));
        } else {
            std::fprintf(stderr, "korvel: the window is not installed (package korvel-desktop), running headless\n");
        }
    }
    return korvel::RunHeadless(line.service);
}
