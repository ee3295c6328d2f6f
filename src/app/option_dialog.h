#pragma once

#include <QDialog>

#include <cstdint>
#include <optional>

class QCheckBox;
class QComboBox;
class QLineEdit;

namespace korvel {

// A port field's text as a decimal integer: optional leading blanks, an
// optional sign, digits, within 32 bits; anything else is not a number.
std::optional<std::int32_t> ParseIntegerField(const QString& text);
// The message shown for a field that ParseIntegerField rejects.
QString NotAnIntegerMessage(const QString& text);

// The Options dialog: where the test console sends to and the hub's own ports.
// It only holds the fields; the main window fills it and reads it back.
class TOptionDlg : public QDialog {
    Q_OBJECT

public:
    explicit TOptionDlg(QWidget* parent = nullptr);

    QComboBox* edtServerIP;
    QCheckBox* chkForwardStatus;
    QLineEdit* edtLTCPPort;
    QLineEdit* edtLUDPPort;
    QLineEdit* edtRTCPPort;
    QLineEdit* edtRUDPPort;
};

} // namespace korvel
