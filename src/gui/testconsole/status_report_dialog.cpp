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
    systemIdField = new QLineEdit(QStringLiteral("QVX300"), this);
    systemIdField->setObjectName(QStringLiteral("SystemId"));
    form->addRow(QStringLiteral("System ID"), systemIdField);
    layout->addLayout(form);

    auto* statusBox = new QGroupBox(QStringLiteral("Station Status"), this);
    auto* statusRow = new QHBoxLayout(statusBox);
    idleButton = StatusButton(QStringLiteral("IDLE"), QStringLiteral("(NAK)"), "Idle", statusBox, statusRow);
    busyButton = StatusButton(QStringLiteral("BUSY"), QStringLiteral("(ACK)"), "Busy", statusBox, statusRow);
    doNotDisturbButton = StatusButton(QStringLiteral("DND"), QString(), "DoNotDisturb", statusBox, statusRow);
    messageButton = StatusButton(QStringLiteral("MSG"), QString(), "Message", statusBox, statusRow);
    busyButton->setChecked(true);
    layout->addWidget(statusBox);

    layout->addWidget(new QLabel(QStringLiteral("Input Station List"), this));
    stationsField = new QPlainTextEdit(this);
    stationsField->setObjectName(QStringLiteral("StationEntries"));
    stationsField->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    stationsField->setPlainText(QStringLiteral("41100\n41101\n41102\n41103\n41104"));
    layout->addWidget(stationsField);
    layout->addWidget(new QLabel(QStringLiteral("ex) 41100"), this));
    layout->addWidget(AddOkCancelButtons(this));
    setFixedSize(sizeHint().expandedTo(QSize(300, 360)));
}

std::string StatusReportDialog::systemId() const
{
    return Latin1(systemIdField->text()).substr(0, wire::kSystemIdSize);
}

std::vector<std::string> StatusReportDialog::stations() const
{
    QString text = stationsField->toPlainText();
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
    if (idleButton->isChecked())
        return STATUS_IDLE;
    if (doNotDisturbButton->isChecked())
        return STATUS_DND;
    if (messageButton->isChecked())
        return STATUS_MSG;
    return STATUS_BUSY;
}

void StatusReportDialog::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    FocusFirstField(this, systemIdField);
}

std::uint8_t StatusReportDialog::resultByte() const
{
    return idleButton->isChecked() ? RESULT_NAK : RESULT_ACK;
}

RegisterDialog::RegisterDialog(QWidget* parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("RegisterDialog"));
    setWindowTitle(QStringLiteral("Register/Unregister Dialog"));
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    sourceField = new QLineEdit(QStringLiteral("41100"), this);
    sourceField->setObjectName(QStringLiteral("SourceStation"));
    destinationField = new QLineEdit(QStringLiteral("42200"), this);
    destinationField->setObjectName(QStringLiteral("DestinationStation"));
    form->addRow(QStringLiteral("Source Station Number"), sourceField);
    form->addRow(QStringLiteral("Destination Station Number"), destinationField);
    layout->addLayout(form);
    layout->addWidget(AddOkCancelButtons(this));
    setFixedSize(sizeHint());
}

void RegisterDialog::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    FocusFirstField(this, sourceField);
}

std::string RegisterDialog::sourceStation() const
{
    return Latin1(sourceField->text());
}
std::string RegisterDialog::destinationStation() const
{
    return Latin1(destinationField->text());
}

} // namespace korvel
