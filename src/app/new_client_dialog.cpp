#include "new_client_dialog.h"

#include "app/dialog_fields.h"
#include "ui/dialog_buttons.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

namespace korvel {

TNewClientDlg::TNewClientDlg(QWidget* parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("NewClientDlg"));
    setWindowTitle(QStringLiteral("New System"));

    NewClientAddr = new QLineEdit(this);
    NewClientAddr->setObjectName(QStringLiteral("NewClientAddr"));
    NewClientAddr->setMinimumWidth(220);

    auto* buttons = AddOkCancelButtons(this);
    lblError = ErrorLine(this);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("Enter System IP Address:"), this));
    layout->addWidget(NewClientAddr);
    layout->addWidget(lblError);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    connect(NewClientAddr, &QLineEdit::textEdited, this, [this] { MarkField(NewClientAddr, false); });
}

void TNewClientDlg::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    MarkField(NewClientAddr, false);
    ShowError(lblError, QString());
    FocusFirstField(this, NewClientAddr);
}

void TNewClientDlg::accept()
{
    const QString address = NewClientAddr->text().trimmed();
    if (!IsDottedIpv4(address)) {
        MarkField(NewClientAddr, true);
        ShowError(lblError, QStringLiteral("'%1' is not an IPv4 address").arg(NewClientAddr->text()));
        FocusFirstField(this, NewClientAddr);
        return;
    }
    NewClientAddr->setText(address);
    QDialog::accept();
}

} // namespace korvel
