#pragma once

#include <QApplication>

namespace korvel {

// The window's application object. An exception that escapes an event
// handler is shown to the operator and ends the program with status 1,
// instead of unwinding through the event loop.
class KorvelApplication : public QApplication {
    Q_OBJECT

public:
    KorvelApplication(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;
};

// Shows a message box with an error text; used for what escapes a handler.
void ShowExceptionText(const QString& text);

} // namespace korvel
