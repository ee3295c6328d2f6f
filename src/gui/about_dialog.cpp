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

    productName_ = new QLabel(QStringLiteral("Korvel"), this);
    productName_->setObjectName(QStringLiteral("ProductName"));
    QFont titleFont(QStringLiteral("Times New Roman"));
    titleFont.setPixelSize(27);
    titleFont.setBold(true);
    productName_->setFont(titleFont);

    feature_ = new QLabel(QStringLiteral("Busy-lamp-field networking hub for QVX and Velka PBX systems"), this);
    feature_->setObjectName(QStringLiteral("Feature"));
    compatibleVersion_ = new QLabel(this);
    compatibleVersion_->setObjectName(QStringLiteral("CompatibleVersion"));
    vendor_ = new QLabel(QStringLiteral("Korvel project"), this);
    vendor_->setObjectName(QStringLiteral("Vendor"));
    for (QLabel* target : { productName_, feature_, compatibleVersion_, vendor_ })
        target->installEventFilter(this);

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("OkButton"));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    auto* title = new QHBoxLayout;
    title->addWidget(picture);
    title->addWidget(productName_);
    title->addStretch();
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok);
    buttons->addStretch();

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(title);
    layout->addWidget(feature_);
    layout->addWidget(compatibleVersion_);
    layout->addWidget(vendor_);
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
        if (watched == productName_)
            firstMark_ = true;
        else
            secondMark_ = true;
    }
    return QDialog::eventFilter(watched, event);
}

void AboutDialog::setCompatibleVersion(const QString& text)
{
    compatibleVersion_->setText(text);
}

QString AboutDialog::compatibleVersion() const
{
    return compatibleVersion_->text();
}

} // namespace korvel
