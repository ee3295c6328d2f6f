#include "status_report_dialog.h"

#include "protocol/wire_format.h"
#include "ui/dialog_buttons.h"

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

TStatusReportDlg::TStatusReportDlg(QWidget* parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("StatusReportDlg"));
    setWindowTitle(QStringLiteral("Status Report (or MACK)"));
    auto* layout = new QVBoxLayout(this);

    auto* form = new QFormLayout;
    edtSystemId = new QLineEdit(QStringLiteral("QVX300"), this);
    edtSystemId->setObjectName(QStringLiteral("edtSystemId"));
    form->addRow(QStringLiteral("System ID"), edtSystemId);
    layout->addLayout(form);

    auto* statusBox = new QGroupBox(QStringLiteral("Station Status"), this);
    auto* statusRow = new QHBoxLayout(statusBox);
    rdoIdle = StatusButton(QStringLiteral("IDLE"), QStringLiteral("(NAK)"), "rdoIdle", statusBox, statusRow);
    rdoBusy = StatusButton(QStringLiteral("BUSY"), QStringLiteral("(ACK)"), "rdoBusy", statusBox, statusRow);
    rdoDND = StatusButton(QStringLiteral("DND"), QString(), "rdoDND", statusBox, statusRow);
    rdoMSG = StatusButton(QStringLiteral("MSG"), QString(), "rdoMSG", statusBox, statusRow);
    rdoBusy->setChecked(true);
    layout->addWidget(statusBox);

    layout->addWidget(new QLabel(QStringLiteral("Input Station List"), this));
    mmStnStatus = new QPlainTextEdit(this);
    mmStnStatus->setObjectName(QStringLiteral("mmStnStatus"));
    mmStnStatus->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    mmStnStatus->setPlainText(QStringLiteral("41100\n41101\n41102\n41103\n41104"));
    layout->addWidget(mmStnStatus);
    layout->addWidget(new QLabel(QStringLiteral("ex) 41100"), this));
    layout->addWidget(AddOkCancelButtons(this));
    setFixedSize(sizeHint().expandedTo(QSize(300, 360)));
}

std::string TStatusReportDlg::systemId() const
{
    return Latin1(edtSystemId->text()).substr(0, wire::kSystemIdSize);
}

std::vector<std::string> TStatusReportDlg::stations() const
{
    QString text = mmStnStatus->toPlainText();
    if (text.isEmpty())
        return {};
    if (text.endsWith(QLatin1Char('\n')))
        text.chop(1);
    std::vector<std::string> lines;
    for (const QString& line : text.split(QLatin1Char('\n')))
        lines.push_back(Latin1(line));
    return lines;
}

std::uint8_t TStatusReportDlg::statusByte() const
{
    if (rdoIdle->isChecked())
        return STATUS_IDLE;
    if (rdoDND->isChecked())
        return STATUS_DND;
    if (rdoMSG->isChecked())
        return STATUS_MSG;
    return STATUS_BUSY;
}

std::uint8_t TStatusReportDlg::resultByte() const
{
    return rdoIdle->isChecked() ? RESULT_NAK : RESULT_ACK;
}

TRegisterDlg::TRegisterDlg(QWidget* parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("RegisterDlg"));
    setWindowTitle(QStringLiteral("Register/Unregister Dialog"));
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    edtSrcStn = new QLineEdit(QStringLiteral("41100"), this);
    edtSrcStn->setObjectName(QStringLiteral("edtSrcStn"));
    edtDestStn = new QLineEdit(QStringLiteral("42200"), this);
    edtDestStn->setObjectName(QStringLiteral("edtDestStn"));
    form->addRow(QStringLiteral("Source Station Number"), edtSrcStn);
    form->addRow(QStringLiteral("Destination Station Number"), edtDestStn);
    layout->addLayout(form);
    layout->addWidget(AddOkCancelButtons(this));
    setFixedSize(sizeHint());
}

std::string TRegisterDlg::sourceStation() const
{
    return Latin1(edtSrcStn->text());
}
std::string TRegisterDlg::destinationStation() const
{
    return Latin1(edtDestStn->text());
}

} // namespace korvel
