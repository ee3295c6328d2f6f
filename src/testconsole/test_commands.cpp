#include "test_commands.h"

#include "protocol/request_builders.h"
#include "relay/hub.h"
#include "relay/sender_engine.h"
#include "status_report_dialog.h"
#include "store/console_log.h"

#include <QPushButton>
#include <QTcpSocket>
#include <QVBoxLayout>

namespace korvel {

namespace {

constexpr char kGetDataSystemId[] = "VEZIDUZ";
constexpr std::uint16_t kGetDataV2Page = 1;

} // namespace

TestCommands::TestCommands(Hub& hub, std::function<bool()> tcpMode, QWidget* parent)
    : QObject(parent)
    , hub_(hub)
    , tcpMode_(std::move(tcpMode))
    , StatusReportDlg(new TStatusReportDlg(parent))
    , RegisterDlg(new TRegisterDlg(parent))
{
}

void TestCommands::addButtons(QVBoxLayout* area, QWidget* owner)
{
    const struct {
        const char* name;
        const char* caption;
        void (TestCommands::*handler)();
    } buttons[] = {
        { "btnStatusReport", "Status Report", &TestCommands::btnStatusReportClick },
        { "btnRegister", "Register", &TestCommands::btnRegisterClick },
        { "btnUnregister", "Unregister", &TestCommands::btnUnregisterClick },
        { "btnClear", "Clear", &TestCommands::btnClearClick },
        { "btnGetData", "GetData", &TestCommands::btnGetDataClick },
        { "btnGetData2", "GetDataV2", &TestCommands::btnGetData2Click },
        { "btnMAck", "M_ACK(Reg)", &TestCommands::btnMAckClick },
        { "btnMackUnreg", "M_ACK(UnReg)", &TestCommands::btnMackUnregClick },
    };
    for (const auto& button : buttons) {
        auto* widget = new QPushButton(QLatin1String(button.caption), owner);
        widget->setObjectName(QLatin1String(button.name));
        connect(widget, &QPushButton::clicked, this, button.handler);
        area->addWidget(widget);
    }
}

// Status reports and multi-acks leave through the hub's own datagram
// endpoints: as a QVX system through UDP, as a Velka system through UDP_VELKA.
void TestCommands::sendEntries(std::uint8_t code, bool multiAck)
{
    if (StatusReportDlg->exec() != QDialog::Accepted)
        return;
    const std::uint8_t value = multiAck ? StatusReportDlg->resultByte() : StatusReportDlg->statusByte();
    const Packet packet = BuildEntryPacket(code, StatusReportDlg->systemId(), StatusReportDlg->stations(), value);
    if (tcpMode_())
        hub_.SendFromUdpEndpoint(packet);
    else
        hub_.SendFromVelkaEndpoint(packet);
}

void TestCommands::btnStatusReportClick()
{
    sendEntries(MSG_STATUSREPORT, false);
}
void TestCommands::btnMAckClick()
{
    sendEntries(MSG_MULTACK, true);
}
void TestCommands::btnMackUnregClick()
{
    sendEntries(MSG_UNREG_MULTACK, true);
}

void TestCommands::btnRegisterClick()
{
    if (RegisterDlg->exec() != QDialog::Accepted)
        return;
    const Packet packet = BuildRegister(RegisterDlg->sourceStation(), RegisterDlg->destinationStation());
    const Settings& settings = hub_.settings();
    if (tcpMode_())
        hub_.outbox().sendTcp(settings.ServerAddress, settings.RemoteTcpPort, packet);
    else
        hub_.outbox().sendUdp(settings.ServerAddress, kVelkaDataPort, packet);
}

void TestCommands::btnUnregisterClick()
{
    if (RegisterDlg->exec() != QDialog::Accepted)
        return;
    const Packet packet = BuildStationListRequest(
        MSG_UNREGISTER, {}, RegisterDlg->sourceStation(), { RegisterDlg->destinationStation() });
    if (tcpMode_())
        exchangeOverTcp(packet, false);
    else
        hub_.outbox().sendUdp(hub_.settings().ServerAddress, kVelkaDataPort, packet);
    Counters().SentByteCount.fetch_add(static_cast<std::int32_t>(packet.size()));
}

void TestCommands::btnClearClick()
{
    ConsoleLog("Error : Sorry! Only DovuVavidu can receive Clear Message.");
    ConsoleLog("%s", "");
}

void TestCommands::btnGetDataClick()
{
    const Packet packet = BuildGetData(kGetDataSystemId);
    if (tcpMode_())
        exchangeOverTcp(packet, true);
    else
        hub_.outbox().sendUdp(hub_.settings().ServerAddress, kVelkaDataPort, packet);
    Counters().SentByteCount.fetch_add(static_cast<std::int32_t>(packet.size()));
}

void TestCommands::btnGetData2Click()
{
    const Packet packet = BuildGetDataV2(kGetDataSystemId, kGetDataV2Page);
    if (tcpMode_())
        exchangeOverTcp(packet, true);
    else
        hub_.outbox().sendUdp(hub_.settings().ServerAddress, kVelkaDataPort, packet);
    Counters().SentByteCount.fetch_add(static_cast<std::int32_t>(packet.size()));
}

// The TCP client blocks the window while it talks, as the operator expects of
// a test command, but gives up after a few seconds instead of hanging.
void TestCommands::exchangeOverTcp(const Packet& packet, bool readAnswer)
{
    const Settings& settings = hub_.settings();
    QTcpSocket socket;
    socket.connectToHost(
        QString::fromLatin1(settings.TcpAddress.c_str()), static_cast<quint16>(settings.RemoteTcpPort));
    if (socket.waitForConnected(kTcpTimeoutMs)) {
        socket.write(reinterpret_cast<const char*>(packet.data()), static_cast<qint64>(packet.size()));
        socket.waitForBytesWritten(kTcpTimeoutMs);
        if (readAnswer)
            socket.waitForReadyRead(kTcpTimeoutMs);
    } else {
        ConsoleLog("TCPError : ErrorCode %d", static_cast<int>(socket.error()));
    }
    if (readAnswer)
        hub_.ReadTcpRequest(&socket, false);
    socket.abort();
}

} // namespace korvel
