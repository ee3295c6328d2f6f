#include "window_main.h"

#include "gui/korvel_application.h"
#include "gui/main_window.h"
#include "service/service.h"

#include <QMessageBox>

#include <exception>

namespace korvel {

namespace {

// Said on standard error by the service already; here for the operator at
// the screen. SIGTERM closes it as it would close the window.
void ShowStartFailure(Service& service, const std::string& reason)
{
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Korvel"),
        QStringLiteral("Korvel cannot start: %1").arg(QString::fromStdString(reason)), QMessageBox::Ok);
    box.setObjectName(QStringLiteral("StartFailure"));
    QObject::connect(&service, &Service::terminationRequested, &box, &QMessageBox::reject);
    box.exec();
}

} // namespace

int RunWindow(int& argc, char** argv, const ServiceOptions& options)
{
    KorvelApplication app(argc, argv);
    try {
        Service service(options);
        MainWindow window(service);
        // A termination request closes the window like the Exit command, so
        // the table is saved on that way out as well.
        QObject::connect(&service, &Service::terminationRequested, &window, [&window] {
            window.close();
            QCoreApplication::quit();
        });
        if (const Result<void> started = window.start(); !started) {
            ShowStartFailure(service, started.error());
            return 1;
        }
        window.show();
        if (options.trace && !window.testPanelShown())
            window.toggleTestCommands();
        const int status = KorvelApplication::exec();
        // Saves now if no way out has yet; a table that could not be saved
        // is a failed run.
        window.close();
        return status != 0 ? status : window.savedOnExit() ? 0 : 1;
    } catch (const std::exception& error) {
        ShowExceptionText(QString::fromLocal8Bit(error.what()));
    } catch (...) {
        ShowExceptionText(QStringLiteral("Unknown error"));
    }
    return 1;
}

} // namespace korvel
