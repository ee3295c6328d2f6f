#include "ping_dialog.h"

#include "service/operator_commands.h"

#include <QFontDatabase>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>
#include <numeric>

namespace korvel {

PingDialog::PingDialog(OperatorCommands& commands, const std::string& address, QWidget* parent)
    : QDialog(parent)
    , commands_(commands)
    , address_(address)
    , output_(new QPlainTextEdit(this))
{
    setObjectName(QStringLiteral("PingDialog"));
    setAttribute(Qt::WA_DeleteOnClose);
    setModal(false);
    setWindowTitle(QStringLiteral("Ping to System %1").arg(QString::fromStdString(address)));

    output_->setObjectName(QStringLiteral("PingOutput"));
    output_->setReadOnly(true);
    output_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    output_->setMinimumSize(520, 220);

    auto* close = new QPushButton(QStringLiteral("Close"), this);
    connect(close, &QPushButton::clicked, this, &QDialog::close);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(output_);
    layout->addWidget(close, 0, Qt::AlignRight);
}

void PingDialog::start()
{
    const QString address = QString::fromStdString(address_);
    appendLine(
        QStringLiteral("PING %1: %2 echoes, each waiting up to %3 ms").arg(address).arg(kEchoes).arg(kTimeoutMs));
    PingRequest request;
    request.echoes = kEchoes;
    request.timeoutMs = kTimeoutMs;
    // Closing the dialog ends the ping.
    request.owner = this;
    request.echo = [this, address](int sequence, std::optional<double> rttMs) {
        if (rttMs)
            appendLine(
                QStringLiteral("reply from %1: seq=%2 time=%3 ms").arg(address).arg(sequence).arg(*rttMs, 0, 'f', 3));
        else
            appendLine(QStringLiteral("no reply to seq=%1 within %2 ms").arg(sequence).arg(kTimeoutMs));
    };
    request.done = [this, address](const PingOutcome& outcome) {
        const int lost = outcome.sent == 0 ? 0 : 100 * (outcome.sent - outcome.received) / outcome.sent;
        appendLine(QStringLiteral("--- %1 ping statistics ---").arg(address));
        appendLine(QStringLiteral("%1 packets transmitted, %2 received, %3% packet loss")
                       .arg(outcome.sent)
                       .arg(outcome.received)
                       .arg(lost));
        if (outcome.rttMs.empty())
            return;
        const auto [least, most] = std::minmax_element(outcome.rttMs.begin(), outcome.rttMs.end());
        const double average = std::accumulate(outcome.rttMs.begin(), outcome.rttMs.end(), 0.0)
            / static_cast<double>(outcome.rttMs.size());
        appendLine(QStringLiteral("rtt min/avg/max = %1/%2/%3 ms")
                       .arg(*least, 0, 'f', 3)
                       .arg(average, 0, 'f', 3)
                       .arg(*most, 0, 'f', 3));
    };
    const Result<void> started = commands_.pingSystem(CommandSource::Window(), address_, std::move(request));
    if (!started)
        appendLine(QStringLiteral("Cannot ping: %1").arg(QString::fromStdString(started.error())));
}

QString PingDialog::output() const
{
    return output_->toPlainText();
}

void PingDialog::appendLine(const QString& line)
{
    output_->appendPlainText(line);
}

} // namespace korvel
