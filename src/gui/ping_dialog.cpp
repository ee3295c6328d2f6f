#include "ping_dialog.h"

#include <QFontDatabase>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QVBoxLayout>

namespace korvel {

QStringList PingArguments(const QString& address)
{
    return { QStringLiteral("-c"), QStringLiteral("4"), QStringLiteral("--"), address };
}

PingDialog::PingDialog(const QString& address, QWidget* parent)
    : QDialog(parent)
    , address_(address)
    , process_(new QProcess(this))
    , output_(new QPlainTextEdit(this))
{
    setObjectName(QStringLiteral("PingDialog"));
    setAttribute(Qt::WA_DeleteOnClose);
    setModal(false);
    setWindowTitle(QStringLiteral("Ping to System %1").arg(address));

    output_->setObjectName(QStringLiteral("PingOutput"));
    output_->setReadOnly(true);
    output_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    output_->setMinimumSize(520, 220);

    auto* close = new QPushButton(QStringLiteral("Close"), this);
    connect(close, &QPushButton::clicked, this, &QDialog::close);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(output_);
    layout->addWidget(close, 0, Qt::AlignRight);

    process_->setProcessChannelMode(QProcess::MergedChannels);
    connect(process_, &QProcess::readyRead, this, [this] { appendText(QString::fromLocal8Bit(process_->readAll())); });
    connect(process_, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            appendText(QStringLiteral("The ping command could not be started: %1\n").arg(process_->errorString()));
    });
}

PingDialog::~PingDialog()
{
    if (process_->state() != QProcess::NotRunning) {
        process_->kill();
        process_->waitForFinished(1000);
    }
}

void PingDialog::start(const QString& program)
{
    appendText(QStringLiteral("%1 %2\n").arg(program, PingArguments(address_).join(QLatin1Char(' '))));
    process_->start(program, PingArguments(address_), QIODevice::ReadOnly);
}

QString PingDialog::output() const
{
    return output_->toPlainText();
}

// Output arrives in pieces that need not end at a line break.
void PingDialog::appendText(const QString& text)
{
    output_->moveCursor(QTextCursor::End);
    output_->insertPlainText(text);
}

} // namespace korvel
