#pragma once

#include <QDialog>
#include <QStringList>

class QPlainTextEdit;
class QProcess;

namespace korvel {

// The arguments of the ping command for an address typed by an operator. The
// address is one argument after "--", so no text can become an option or a
// command.
QStringList PingArguments(const QString& address);

// Runs the system's ping against one address and shows what it prints while
// the window goes on working. Deletes itself when closed, ending the ping.
class PingDialog : public QDialog {
    Q_OBJECT

public:
    PingDialog(const QString& address, QWidget* parent = nullptr);
    ~PingDialog() override;

    // Starts the ping; `program` is looked up on PATH.
    void start(const QString& program = QStringLiteral("ping"));
    QString output() const;

private:
    void appendText(const QString& text);

    QString address_;
    QProcess* process_;
    QPlainTextEdit* output_;
};

} // namespace korvel
