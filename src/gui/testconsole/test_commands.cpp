#include "test_commands.h"

#include "log/console_log.h"
#include "protocol/request_builders.h"
#include "register_dialog.h"
#include "relay/hub.h"
#include "status_report_dialog.h"
#include "tcp_exchange.h"

#include <QPushButton>
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
    , statusReportDialog_(new StatusReportDialog(parent))
    , registerDialog_(new RegisterDialog(parent))
{
}

void TestCommands::addButtons(QVBoxLayout* area, QWidget* owner)
{
    const struct {
        const char* name;
        const char* caption;
        void (TestCommands::*handler)();
    } buttons[] = {
        { "StatusReport", "Status Report", &TestCommands::sendStatusReport },
        { "Register", "Register", &TestCommands::sendRegister },
        { "Unregister", "Unregister", &TestCommands::sendUnregister },
        { "Clear", "Clear", &TestCommands::sendClear },
        { "GetData", "GetData", &TestCommands::sendGetData },
        { "GetDataV2", "GetDataV2", &TestCommands::sendGetDataV2 },
        { "MultiAckRegister", "M_ACK(Reg)", &TestCommands::sendMultiAckRegister },
        { "MultiAckUnregister", "M_ACK(UnReg)", &TestCommands::sendMultiAckUnregister },
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
    if (statusReportDialog_->exec() != QDialog::Accepted)
        return;
    const std::uint8_t value = multiAck ? statusReportDialog_->resultByte() : statusReportDialog_->statusByte();
    const Packet packet
        = BuildEntryPacket(code, statusReportDialog_->systemId(), statusReportDialog_->stations(), value);
    if (tcpMode_())
        hub_.sendFromUdpEndpoint(packet);
    else
        hub_.sendFromVelkaEndpoint(packet);
}

void TestCommands::sendStatusReport()
{
    sendEntries(MSG_STATUSREPORT, false);
}
void TestCommands::sendMultiAckRegister()
{
    sendEntries(MSG_MULTACK, true);
}
void TestCommands::sendMultiAckUnregister()
{
    sendEntries(MSG_UNREG_MULTACK, true);
}

void TestCommands::sendRegister()
{
    if (registerDialog_->exec() != QDialog::Accepted)
        return;
    const Packet packet = BuildRegister(
        hub_.sequenceCounter(), registerDialog_->sourceStation(), registerDialog_->destinationStation());
    const Settings& settings = hub_.settings();
    if (tcpMode_())
        hub_.outbox().sendTcp(settings.ServerAddress, settings.RemoteTcpPort, packet);
    else
        hub_.outbox().sendUdp(settings.ServerAddress, kVelkaDataPort, packet);
}

void TestCommands::sendUnregister()
{
    if (registerDialog_->exec() != QDialog::Accepted)
        return;
    const Packet packet = BuildStationListRequest(hub_.sequenceCounter(), MSG_UNREGISTER, {},
        registerDialog_->sourceStation(), { registerDialog_->destinationStation() });
    if (tcpMode_())
        exchangeOverTcp(packet, false);
    else
        hub_.outbox().sendUdp(hub_.settings().ServerAddress, kVelkaDataPort, packet);
    hub_.counters().SentByteCount.fetch_add(static_cast<std::int32_t>(packet.size()));
}

void TestCommands::sendClear()
{
    hub_.console().log("Error : Sorry! Only DovuVavidu can receive Clear Message.");
    hub_.console().log("%s", "");
}

void TestCommands::sendGetData()
{
    const Packet packet = BuildGetData(hub_.sequenceCounter(), kGetDataSystemId);
    if (tcpMode_())
        exchangeOverTcp(packet, true);
    else
        hub_.outbox().sendUdp(hub_.settings().ServerAddress, kVelkaDataPort, packet);
    hub_.counters().SentByteCount.fetch_add(static_cast<std::int32_t>(packet.size()));
}

void TestCommands::sendGetDataV2()
{
    const Packet packet = BuildGetDataV2(hub_.sequenceCounter(), kGetDataSystemId, kGetDataV2Page);
    if (tcpMode_())
        exchangeOverTcp(packet, true);
    else
        hub_.outbox().sendUdp(hub_.settings().ServerAddress, kVelkaDataPort, packet);
    hub_.counters().SentByteCount.fetch_add(static_cast<std::int32_t>(packet.size()));
}

// Returns at once: the exchange runs on the event loop and traces the
// answer, applied like any packet read from that peer, when it comes.
void TestCommands::exchangeOverTcp(const Packet& packet, bool readAnswer)
{
    const Settings& settings = hub_.settings();
    auto* exchange = new TcpExchange(hub_.console(), packet, readAnswer, tcpTimeoutMs_, this);
    // The hub goes before the window's children; an answer still in flight
    // then has nowhere to go.
    connect(exchange, &TcpExchange::answered, &hub_, [this](const QString& peer, const QByteArray& answer) {
        hub_.applyTcpAnswer(peer.toStdString(),
            Bytes(reinterpret_cast<const std::uint8_t*>(answer.constData()), static_cast<std::size_t>(answer.size())));
    });
    exchange->start(QString::fromStdString(settings.ServerAddress), static_cast<quint16>(settings.RemoteTcpPort));
}

} // namespace korvel
