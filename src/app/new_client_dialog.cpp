#include "new_client_dialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace korvel {

TNewClientDlg::TNewClientDlg(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("NewClientDlg"));
    setWindowTitle(QStringLiteral("New System"));

    NewClientAddr = new QLineEdit(this);
    NewClientAddr->setObjectName(QStringLiteral("NewClientAddr"));
    NewClientAddr->setMinimumWidth(220);

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("OKBtn"));
    ok->setDefault(true);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
    cancel->setObjectName(QStringLiteral("CancelBtn"));
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok);
    buttons->addWidget(cancel);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("Enter System IP Address:"), this));
    layout->addWidget(NewClientAddr);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

} // namespace korvel
