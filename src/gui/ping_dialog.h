#pragma once

#include <QDialog>

#include <string>

class QPlainTextEdit;

namespace korvel {

class OperatorCommands;

// Pings a system through the operator's commands and shows each echo as it
// comes back, while the window goes on working. Deletes itself when closed,
// ending the ping.
class PingDialog : public QDialog {
    Q_OBJECT

public:
    static constexpr int kEchoes = 4;
    static constexpr int kTimeoutMs = 1000;

    PingDialog(OperatorCommands& commands, const std::string& address, QWidget* parent = nullptr);

    void start();
    QString output() const;

private:
    void appendLine(const QString& line);

    OperatorCommands& commands_;
    std::string address_;
    QPlainTextEdit* output_;
};

} // namespace korvel
