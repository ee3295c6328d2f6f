#include "new_client_dialog.h"

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

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("Enter System IP Address:"), this));
    layout->addWidget(NewClientAddr);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

} // namespace korvel
