#pragma once

#include <QDialog>

#include <cstdint>
#include <optional>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;

namespace korvel {

// A port field's text as a decimal integer: optional leading blanks, an
// optional sign, digits, within 32 bits; anything else is not a number.
std::optional<std::int32_t> ParseIntegerField(const QString& text);
// The message shown for a field that ParseIntegerField rejects.
QString NotAnIntegerMessage(const QString& text);

// The Options dialog: where the test console sends to and the hub's own ports.
// The main window fills it and reads it back; OK only closes it when every
// field holds a usable value (an empty address or a dotted IPv4 address,
// ports 1 to 65535), and otherwise marks the first bad field and says why.
class OptionDialog : public QDialog {
    Q_OBJECT

public:
    explicit OptionDialog(QWidget* parent = nullptr);

    void accept() override;
    // Checks the fields in order; marks and names the first bad one.
    bool validate();

    QComboBox* serverAddress;
    QCheckBox* forwardStatus;
    QLineEdit* localTcpPort;
    QLineEdit* localUdpPort;
    QLineEdit* remoteTcpPort;
    QLineEdit* remoteUdpPort;
    QLabel* errorLine;

protected:
    void showEvent(QShowEvent* event) override;
};

} // namespace korvel
