#include "korvel_application.h"

#include <QMessageBox>

#include <exception>

namespace korvel {

KorvelApplication::KorvelApplication(int& argc, char** argv)
    : QApplication(argc, argv)
{
    setApplicationName(QStringLiteral("Korvel"));
    // The main window ends the program itself, after saving; a dialog or the
    // ping window closing last must not.
    setQuitOnLastWindowClosed(false);
}

bool KorvelApplication::notify(QObject* receiver, QEvent* event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& error) {
        ShowExceptionText(QString::fromLocal8Bit(error.what()));
    } catch (...) {
        ShowExceptionText(QStringLiteral("Unknown error"));
    }
    // As the headless hub would, the program ends with a failure status; the
    // table is still saved on the way out.
    exit(1);
    return false;
}

void ShowExceptionText(const QString& text)
{
    QMessageBox::critical(nullptr, QStringLiteral("Korvel"), text);
}

} // namespace korvel
