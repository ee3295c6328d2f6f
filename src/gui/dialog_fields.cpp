#include "dialog_fields.h"

#include "net/ipv4_address.h"

#include <QLabel>

namespace korvel {

bool IsDottedIpv4(const QString& text)
{
    return ParseIPv4(text.toStdString()).ok();
}

void MarkField(QWidget* field, bool bad)
{
    if (field->property("badValue").toBool() == bad)
        return;
    field->setProperty("badValue", bad);
    if (bad) {
        QPalette palette = field->palette();
        palette.setColor(QPalette::Base, QColor(0xff, 0xe4, 0xe4));
        palette.setColor(QPalette::Text, QColor(0x8b, 0x00, 0x00));
        field->setPalette(palette);
    } else {
        field->setPalette(QPalette());
    }
}

QLabel* ErrorLine(QWidget* parent)
{
    auto* line = new QLabel(parent);
    line->setObjectName(QStringLiteral("FieldError"));
    line->setWordWrap(true);
    QPalette palette = line->palette();
    palette.setColor(QPalette::WindowText, QColor(0xb3, 0x1d, 0x1d));
    line->setPalette(palette);
    line->hide();
    return line;
}

void ShowError(QLabel* line, const QString& text)
{
    line->setText(text);
    line->setVisible(!text.isEmpty());
}

} // namespace korvel
