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

    addressField_ = new QLineEdit(this);
    addressField_->setObjectName(QStringLiteral("NewClientAddress"));
    addressField_->setMinimumWidth(220);

    auto* buttons = AddOkCancelButtons(this);
    errorLine_ = ErrorLine(this);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("Enter System IP Address:"), this));
    layout->addWidget(addressField_);
    layout->addWidget(errorLine_);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    connect(addressField_, &QLineEdit::textEdited, this, [this] { MarkField(addressField_, false); });
}

void NewClientDialog::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    MarkField(addressField_, false);
    ShowError(errorLine_, QString());
    FocusFirstField(this, addressField_);
}

void NewClientDialog::accept()
{
    const QString address = addressField_->text().trimmed();
    if (!IsDottedIpv4(address)) {
        MarkField(addressField_, true);
        ShowError(errorLine_, QStringLiteral("'%1' is not an IPv4 address").arg(addressField_->text()));
        FocusFirstField(this, addressField_);
        return;
    }
    addressField_->setText(address);
    QDialog::accept();
}

void NewClientDialog::clearAddress()
{
    addressField_->clear();
}

QString NewClientDialog::address() const
{
    return addressField_->text();
}

QString NewClientDialog::errorText() const
{
    return errorLine_->text();
}

} // namespace korvel
