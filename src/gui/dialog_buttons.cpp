#include "dialog_buttons.h"

#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QPushButton>

namespace korvel {

QDialogButtonBox* AddOkCancelButtons(QDialog* dialog)
{
    auto* buttons = new QDialogButtonBox(dialog);
    auto* ok = buttons->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole);
    auto* cancel = buttons->addButton(QStringLiteral("Cancel"), QDialogButtonBox::RejectRole);
    ok->setObjectName(QStringLiteral("OkButton"));
    cancel->setObjectName(QStringLiteral("CancelButton"));
    ok->setDefault(true);
    QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    return buttons;
}

void FocusFirstField(QDialog* dialog, QWidget* first)
{
    if (auto* ok = dialog->findChild<QPushButton*>(QStringLiteral("OkButton")))
        ok->setDefault(true);
    first->setFocus(Qt::OtherFocusReason);
    if (auto* edit = qobject_cast<QLineEdit*>(first))
        edit->selectAll();
    else if (auto* combo = qobject_cast<QComboBox*>(first); combo && combo->lineEdit())
        combo->lineEdit()->selectAll();
}

} // namespace korvel
