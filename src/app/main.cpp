#include "app/headless.h"
#include "app/window_main.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void PrintHelp()
{
    std::printf("Usage: korvel [--headless] [--trace] [--report-stalls]\n"
                "\n"
                "Relay hub for the busy-lamp-field feature of PBX systems.\n"
                "\n"
                "  --headless   run without a window (the default when no display is available)\n"
                "  --trace      write every console log line to standard output\n"
                "  --report-stalls\n"
                "               write a line to standard error whenever the event loop is\n"
                "               held up for more than 100 ms, and the longest hold-up at exit\n"
                "  --help       show this text\n"
                "  --version    show the version\n"
                "\n"
                "The hub keeps its table in data/ under the current folder; the line\n"
                "\"Base Port : N\" of data/system.dat sets its ports (default 9000):\n"
                "TCP N, UDP N+1 (QVX systems), N+3 (receive only), N+4 (Velka systems).\n");
}

} // namespace

int main(int argc, char* argv[])
{
    korvel::HeadlessOptions options;
    bool headless = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--headless") == 0) {
            headless = true;
        } else if (std::strcmp(argv[i], "--trace") == 0) {
            options.trace = true;
        } else if (std::strcmp(argv[i], "--report-stalls") == 0) {
            options.reportStalls = true;
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            PrintHelp();
            return 0;
        } else if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("korvel %s\n", KORVEL_VERSION);
            return 0;
        } else {
            std::fprintf(stderr, "korvel: unknown option '%s' (try --help)\n", argv[i]);
            return 2;
        }
    }
    if (!headless) {
        const char* display = std::getenv("DISPLAY");
        const char* wayland = std::getenv("WAYLAND_DISPLAY");
        // A platform chosen by name (offscreen, vnc, ...) needs no display server.
        const char* platform = std::getenv("QT_QPA_PLATFORM");
        if ((!display || !*display) && (!wayland || !*wayland) && (!platform || !*platform)) {
            std::fprintf(stderr, "korvel: no display available, running headless\n");
            headless = true;
        }
    }
    if (!headless)
        return korvel::RunWindow(argc, argv, { .reportStalls = options.reportStalls });

    QCoreApplication app(argc, argv);
    return korvel::RunHeadless(options);
}
