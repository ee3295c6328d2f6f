#include "register_dialog.h"

#include "gui/dialog_buttons.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QVBoxLayout>

namespace korvel {

namespace {

// Station numbers go on the wire as single bytes.
std::string Latin1(const QString& text)
{
    return text.toLatin1().toStdString();
}

} // namespace

RegisterDialog::RegisterDialog(QWidget* parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("RegisterDialog"));
    setWindowTitle(QStringLiteral("Register/Unregister Dialog"));
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    sourceField_ = new QLineEdit(QStringLiteral("41100"), this);
    sourceField_->setObjectName(QStringLiteral("SourceStation"));
    destinationField_ = new QLineEdit(QStringLiteral("42200"), this);
    destinationField_->setObjectName(QStringLiteral("DestinationStation"));
    form->addRow(QStringLiteral("Source Station Number"), sourceField_);
    form->addRow(QStringLiteral("Destination Station Number"), destinationField_);
    layout->addLayout(form);
    layout->addWidget(AddOkCancelButtons(this));
    setFixedSize(sizeHint());
}

void RegisterDialog::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    FocusFirstField(this, sourceField_);
}

std::string RegisterDialog::sourceStation() const
{
    return Latin1(sourceField_->text());
}
std::string RegisterDialog::destinationStation() const
{
    return Latin1(destinationField_->text());
}

} // namespace korvel
