#include "about_dialog.h"

#include "gui/icons.h"

#include <QEvent>
#include <QFont>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace korvel {

AboutDialog::AboutDialog(QWidget* parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("AboutDialog"));
    setWindowTitle(QStringLiteral("About Korvel"));

    auto* picture = new QLabel(this);
    picture->setObjectName(QStringLiteral("ProgramIcon"));
    picture->setPixmap(ApplicationImage().pixmap(32, 32));

    productName = new QLabel(QStringLiteral("Korvel"), this);
    productName->setObjectName(QStringLiteral("ProductName"));
    QFont titleFont(QStringLiteral("Times New Roman"));
    titleFont.setPixelSize(27);
    titleFont.setBold(true);
    productName->setFont(titleFont);

    feature = new QLabel(QStringLiteral("Busy-lamp-field networking hub for QVX and Velka PBX systems"), this);
    feature->setObjectName(QStringLiteral("Feature"));
    compatibleVersion = new QLabel(this);
    compatibleVersion->setObjectName(QStringLiteral("CompatibleVersion"));
    vendor = new QLabel(QStringLiteral("Korvel project"), this);
    vendor->setObjectName(QStringLiteral("Vendor"));
    for (QLabel* target : { productName, feature, compatibleVersion, vendor })
        target->installEventFilter(this);

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("OkButton"));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    auto* title = new QHBoxLayout;
    title->addWidget(picture);
    title->addWidget(productName);
    title->addStretch();
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok);
    buttons->addStretch();

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(title);
    layout->addWidget(feature);
    layout->addWidget(compatibleVersion);
    layout->addWidget(vendor);
    layout->addSpacing(8);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

void AboutDialog::clearMarks()
{
    firstMark_ = false;
    secondMark_ = false;
}

bool AboutDialog::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::MouseButtonPress) {
        if (watched == productName)
            firstMark_ = true;
        else
            secondMark_ = true;
    }
    return QDialog::eventFilter(watched, event);
}

} // namespace korvel
