#pragma once

#include <QString>

class QDialog;
class QLabel;
class QWidget;

namespace korvel {

// An IPv4 address written in dotted decimal ("192.0.2.7"), the form in
// which addresses travel through the program.
bool IsDottedIpv4(const QString& text);

// Tints `field` as holding a bad value, or takes the tint off again.
void MarkField(QWidget* field, bool bad);

// A red line under the fields that says what is wrong; hidden when empty.
QLabel* ErrorLine(QWidget* parent);
void ShowError(QLabel* line, const QString& text);

} // namespace korvel
