#include "about_dialog.h"

#include "app/icons.h"

#include <QEvent>
#include <QFont>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace korvel {

TAboutDlg::TAboutDlg(QWidget* parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("AboutDlg"));
    setWindowTitle(QStringLiteral("About Korvel"));

    auto* picture = new QLabel(this);
    picture->setObjectName(QStringLiteral("ProgramIcon"));
    picture->setPixmap(ApplicationImage().pixmap(32, 32));

    ProductName = new QLabel(QStringLiteral("Korvel"), this);
    ProductName->setObjectName(QStringLiteral("ProductName"));
    QFont titleFont(QStringLiteral("Times New Roman"));
    titleFont.setPixelSize(27);
    titleFont.setBold(true);
    ProductName->setFont(titleFont);

    lblFeature = new QLabel(QStringLiteral("Busy-lamp-field networking hub for QVX and Velka PBX systems"), this);
    lblFeature->setObjectName(QStringLiteral("lblFeature"));
    lblCompatibleVersion = new QLabel(this);
    lblCompatibleVersion->setObjectName(QStringLiteral("lblCompatibleVersion"));
    lblVendor = new QLabel(QStringLiteral("Korvel project"), this);
    lblVendor->setObjectName(QStringLiteral("lblVendor"));
    for (QLabel* target : { ProductName, lblFeature, lblCompatibleVersion, lblVendor })
        target->installEventFilter(this);

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("OKBtn"));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    auto* title = new QHBoxLayout;
    title->addWidget(picture);
    title->addWidget(ProductName);
    title->addStretch();
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok);
    buttons->addStretch();

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(title);
    layout->addWidget(lblFeature);
    layout->addWidget(lblCompatibleVersion);
    layout->addWidget(lblVendor);
    layout->addSpacing(8);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

void TAboutDlg::clearMarks()
{
    firstMark_ = false;
    secondMark_ = false;
}

bool TAboutDlg::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::MouseButtonPress) {
        if (watched == ProductName)
            firstMark_ = true;
        else
            secondMark_ = true;
    }
    return QDialog::eventFilter(watched, event);
}

} // namespace korvel
