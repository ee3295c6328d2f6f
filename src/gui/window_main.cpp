#include "window_main.h"

#include "cluster/cluster.h"
#include "gui/korvel_application.h"
#include "gui/main_window.h"
#include "relay/stall_watch.h"
#include "service/headless.h"
#include "service/unix_signals.h"
#include "web/web_console.h"

#include <cstdio>
#include <exception>
#include <memory>

namespace korvel {

int RunWindow(int& argc, char** argv, const WindowOptions& options)
{
    KorvelApplication app(argc, argv);
    try {
        MainWindow form(options.hub);
        // A termination request closes the window like the Exit command, so
        // the table is saved on that way out as well.
        UnixSignalWatcher signalWatcher;
        QObject::connect(&signalWatcher, &UnixSignalWatcher::terminationRequested, &form, [&form](int) {
            form.close();
            QCoreApplication::quit();
        });
        QObject::connect(&signalWatcher, &UnixSignalWatcher::reloadRequested, &form, [&form] { form.hub().reload(); });
        std::unique_ptr<Cluster> cluster;
        if (options.cluster) {
            cluster = std::make_unique<Cluster>(form.hub(), *options.cluster);
            QObject::connect(cluster.get(), &Cluster::refused, [](const QString& reason) {
                std::fprintf(stderr, "korvel: %s\n", qPrintable(reason));
                KorvelApplication::exit(1);
            });
            cluster->start();
        }
        form.show();
        if (options.trace && !form.testPanelShown())
            form.toggleTestCommands();
        // The window goes on without its web console if that cannot start:
        // the reason is on standard error.
        std::unique_ptr<WebConsole> web;
        if (options.web)
            web = StartWebConsole(form.hub(), *options.web, cluster.get());
        if (web) {
            QObject::connect(
                &signalWatcher, &UnixSignalWatcher::reloadRequested, web.get(), [&web] { ReloadWebTls(*web); });
        }
        // A failed start was shown to the operator in a message box instead.
        if (form.hub().endpointsOpen())
            PrintReadyLine(form.hub());
        StallWatch stallWatch;
        if (options.reportStalls)
            stallWatch.start();
        const int status = KorvelApplication::exec();
        stallWatch.finish();
        // Saves now if no way out has yet; a table that could not be saved
        // is a failed run.
        form.close();
        return status != 0 ? status : form.savedOnExit() ? 0 : 1;
    } catch (const std::exception& error) {
        ShowExceptionText(QString::fromLocal8Bit(error.what()));
    } catch (...) {
        ShowExceptionText(QStringLiteral("Unknown error"));
    }
    return 0;
}

} // namespace korvel
