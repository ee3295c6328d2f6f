#pragma once

#include <QObject>

#include <functional>

class QPushButton;
class QVBoxLayout;
class QWidget;

namespace korvel {

class Hub;
class RegisterDialog;
class StatusReportDialog;

// The operator's test console: buttons that play a PBX system against the
// host at ServerAddress, over TCP (as a QVX system) or UDP (as a Velka one).
class TestCommands : public QObject {
    Q_OBJECT

public:
    // `tcpMode` says which of the two mode buttons is selected; `parent`
    // owns the two dialogs.
    TestCommands(Hub& hub, std::function<bool()> tcpMode, QWidget* parent);

    // Adds the eight command buttons to the panel's layout.
    void addButtons(QVBoxLayout* area, QWidget* owner);

    void sendStatusReport();
    void sendRegister();
    void sendUnregister();
    void sendClear();
    void sendGetData();
    void sendGetDataV2();
    void sendMultiAckRegister();
    void sendMultiAckUnregister();

    StatusReportDialog* statusReportDialog() const { return statusReportDialog_; }
    RegisterDialog* registerDialog() const { return registerDialog_; }

    // How long a TCP command waits for its connection and answer before it
    // gives up with a TCPError line.
    static constexpr int kTcpTimeoutMs = 5000;
    void setTcpTimeoutMs(int ms) { tcpTimeoutMs_ = ms; }

private:
    void sendEntries(std::uint8_t code, bool multiAck);
    void exchangeOverTcp(const std::vector<std::uint8_t>& packet, bool readAnswer);

    Hub& hub_;
    std::function<bool()> tcpMode_;
    int tcpTimeoutMs_ = kTcpTimeoutMs;
    StatusReportDialog* statusReportDialog_;
    RegisterDialog* registerDialog_;
};

} // namespace korvel
