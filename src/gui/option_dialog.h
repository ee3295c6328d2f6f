#pragma once

#include "relay/hub.h"

#include <QDialog>

#include <array>
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
// The main window fills it from the settings and hands what it reads back to
// the service; OK only closes it when every field holds a usable value (an
// empty address or a dotted IPv4 address, ports 1 to 65535), and otherwise
// marks the first bad field and says why.
class OptionDialog : public QDialog {
    Q_OBJECT

public:
    explicit OptionDialog(QWidget* parent = nullptr);

    void accept() override;
    // Checks the fields in order; marks and names the first bad one.
    bool validate();

    void fill(const Settings& settings);
    // The fields as the hub takes them: a port field that is not a number is empty.
    EndpointOptions options() const;
    // The text of the first port field that is not a number.
    std::optional<QString> firstNonNumber() const;
    // What the line under the fields says is wrong; empty when nothing is.
    QString errorText() const;

protected:
    void showEvent(QShowEvent* event) override;

private:
    std::array<const QLineEdit*, 4> portFields() const;

    QComboBox* serverAddress_;
    QCheckBox* forwardStatus_;
    QLineEdit* localTcpPort_;
    QLineEdit* localUdpPort_;
    QLineEdit* remoteTcpPort_;
    QLineEdit* remoteUdpPort_;
    QLabel* errorLine_;
};

} // namespace korvel
