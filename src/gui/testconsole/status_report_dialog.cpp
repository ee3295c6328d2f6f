#include "status_report_dialog.h"

#include "gui/dialog_buttons.h"
#include "protocol/wire_format.h"

#include <QButtonGroup>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

namespace korvel {

namespace {

// Texts go on the wire as single bytes.
std::string Latin1(const QString& text)
{
    return text.toLatin1().toStdString();
}

QRadioButton* StatusButton(
    const QString& caption, const QString& note, const char* name, QWidget* parent, QHBoxLayout* row)
{
    auto* column = new QVBoxLayout;
    auto* button = new QRadioButton(caption, parent);
    button->setObjectName(QLatin1String(name));
    column->addWidget(button);
    auto* label = new QLabel(note, parent);
    label->setIndent(20);
    column->addWidget(label);
    column->addStretch();
    row->addLayout(column);
    return button;
}

} // namespace

StatusReportDialog::StatusReportDialog(QWidget* parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("StatusReportDialog"));
    setWindowTitle(QStringLiteral("Status Report (or MACK)"));
    auto* layout = new QVBoxLayout(this);

    auto* form = new QFormLayout;
    systemIdField_ = new QLineEdit(QStringLiteral("QVX300"), this);
    systemIdField_->setObjectName(QStringLiteral("SystemId"));
    form->addRow(QStringLiteral("System ID"), systemIdField_);
    layout->addLayout(form);

    auto* statusBox = new QGroupBox(QStringLiteral("Station Status"), this);
    auto* statusRow = new QHBoxLayout(statusBox);
    idleButton_ = StatusButton(QStringLiteral("IDLE"), QStringLiteral("(NAK)"), "Idle", statusBox, statusRow);
    busyButton_ = StatusButton(QStringLiteral("BUSY"), QStringLiteral("(ACK)"), "Busy", statusBox, statusRow);
    doNotDisturbButton_ = StatusButton(QStringLiteral("DND"), QString(), "DoNotDisturb", statusBox, statusRow);
    messageButton_ = StatusButton(QStringLiteral("MSG"), QString(), "Message", statusBox, statusRow);
    busyButton_->setChecked(true);
    layout->addWidget(statusBox);

    layout->addWidget(new QLabel(QStringLiteral("Input Station List"), this));
    stationsField_ = new QPlainTextEdit(this);
    stationsField_->setObjectName(QStringLiteral("StationEntries"));
    stationsField_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    stationsField_->setPlainText(QStringLiteral("41100\n41101\n41102\n41103\n41104"));
    layout->addWidget(stationsField_);
    layout->addWidget(new QLabel(QStringLiteral("ex) 41100"), this));
    layout->addWidget(AddOkCancelButtons(this));
    setFixedSize(sizeHint().expandedTo(QSize(300, 360)));
}

std::string StatusReportDialog::systemId() const
{
    return Latin1(systemIdField_->text()).substr(0, wire::kSystemIdSize);
}

std::vector<std::string> StatusReportDialog::stations() const
{
    QString text = stationsField_->toPlainText();
    if (text.isEmpty())
        return {};
    if (text.endsWith(QLatin1Char('\n')))
        text.chop(1);
    std::vector<std::string> lines;
    for (const QString& line : text.split(QLatin1Char('\n')))
        lines.push_back(Latin1(line));
    return lines;
}

std::uint8_t StatusReportDialog::statusByte() const
{
    if (idleButton_->isChecked())
        return STATUS_IDLE;
    if (doNotDisturbButton_->isChecked())
        return STATUS_DND;
    if (messageButton_->isChecked())
        return STATUS_MSG;
    return STATUS_BUSY;
}

void StatusReportDialog::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    FocusFirstField(this, systemIdField_);
}

std::uint8_t StatusReportDialog::resultByte() const
{
    return idleButton_->isChecked() ? RESULT_NAK : RESULT_ACK;
}

} // namespace korvel
