#include "new_client_dialog.h"

#include "gui/dialog_buttons.h"
#include "gui/dialog_fields.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

namespace korvel {

NewClientDialog::NewClientDialog(QWidget* parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("NewClientDialog"));
    setWindowTitle(QStringLiteral("New System"));

    addressField = new QLineEdit(this);
    addressField->setObjectName(QStringLiteral("NewClientAddress"));
    addressField->setMinimumWidth(220);

    auto* buttons = AddOkCancelButtons(this);
    errorLine = ErrorLine(this);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("Enter System IP Address:"), this));
    layout->addWidget(addressField);
    layout->addWidget(errorLine);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    connect(addressField, &QLineEdit::textEdited, this, [this] { MarkField(addressField, false); });
}

void NewClientDialog::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    MarkField(addressField, false);
    ShowError(errorLine, QString());
    FocusFirstField(this, addressField);
}

void NewClientDialog::accept()
{
    const QString address = addressField->text().trimmed();
    if (!IsDottedIpv4(address)) {
        MarkField(addressField, true);
        ShowError(errorLine, QStringLiteral("'%1' is not an IPv4 address").arg(addressField->text()));
        FocusFirstField(this, addressField);
        return;
    }
    addressField->setText(address);
    QDialog::accept();
}

} // namespace korvel
