#include "gui_test_support.h"

#include "gui/testconsole/status_report_dialog.h"
#include "gui/testconsole/test_commands.h"
#include "protocol/packet_builders.h"
#include "relay/settings.h"
#include "support/packets.h"

#include <QDialog>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTcpSocket>
#include <QThread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

using namespace korvel;
using namespace korvel::testing;

namespace {

// Answers one TCP request on its own thread, since the test client blocks
// the window's thread while it waits.
class OneShotServer {
public:
    OneShotServer(ByteVector answer)
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(fd_, 1);
        socklen_t length = sizeof address;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this, answer = std::move(answer)] {
            const int client = ::accept(fd_, nullptr, nullptr);
            if (client < 0)
                return;
            std::uint8_t buffer[2048];
            const ssize_t count = ::recv(client, buffer, sizeof buffer, 0);
            if (count > 0)
                request_.assign(buffer, buffer + count);
            ::send(client, answer.data(), answer.size(), 0);
            ::close(client);
        });
    }
    ~OneShotServer()
    {
        if (thread_.joinable()) {
            ::shutdown(fd_, SHUT_RDWR); // wakes an accept that nobody will satisfy
            thread_.join();
        }
        ::close(fd_);
    }
    int port() const { return port_; }
    // What the client sent, once the exchange is over.
    const ByteVector& request()
    {
        thread_.join();
        return request_;
    }

private:
    int fd_ = -1;
    int port_ = 0;
    std::thread thread_;
    ByteVector request_;
};

class TestCommandsTest : public MainWindowFixture {
protected:
    void SetUp() override
    {
        MainWindowFixture::SetUp();
        ASSERT_TRUE(sink.bind(QHostAddress::LocalHost, 0));
        open([this](Hub::Options& options) { options.velkaRemotePort = sink.localPort(); });
        child<QTimer>("GraphTimer")->stop(); // it zeroes the byte counters every second
        commands = form->testCommands();
        ASSERT_NE(commands, nullptr);
        aim(form->hub().settings().RemoteTcpPort);
        form->hub().console().enable();
    }

    // Points the test client's TCP requests at `tcpPort` and its UDP
    // datagrams at the sink, as the Options dialog would.
    void aim(int tcpPort, const std::string& host = "127.0.0.1")
    {
        const Settings& settings = form->hub().settings();
        EndpointOptions options;
        options.serverAddress = host;
        options.forwardStatus = settings.ForwardStatus;
        options.ports = { settings.LocalTcpPort, settings.LocalUdpPort, tcpPort, sink.localPort() };
        ASSERT_TRUE(form->hub().applyOptions(options).ok());
    }

    void press(const char* button, bool accept = true)
    {
        WhenModal([accept](QWidget* dialog) {
            if (accept)
                static_cast<QDialog*>(dialog)->accept();
            else
                static_cast<QDialog*>(dialog)->reject();
        });
        child<QPushButton>(button)->click();
        settle();
    }

    std::optional<std::pair<ByteVector, quint16>> received(int timeoutMs = 3000)
    {
        if (!SpinUntil([&] { return sink.hasPendingDatagrams(); }, timeoutMs))
            return std::nullopt;
        ByteVector data(static_cast<std::size_t>(sink.pendingDatagramSize()));
        quint16 port = 0;
        sink.readDatagram(reinterpret_cast<char*>(data.data()), static_cast<qint64>(data.size()), nullptr, &port);
        return std::make_pair(data, port);
    }

    QString memo() const { return form->console()->toPlainText(); }

    TestCommands* commands = nullptr;
    QUdpSocket sink;
};

} // namespace

TEST_F(TestCommandsTest, StatusReportWithTheDefaultsLeavesThroughTheQvxEndpoint)
{
    for (const char* name : { "StatusReport", "Register", "Unregister", "Clear", "GetData", "GetDataV2",
             "MultiAckRegister", "MultiAckUnregister" })
        ASSERT_NE(child<QPushButton>(name), nullptr) << name;

    press("StatusReport");
    const auto datagram = received();
    ASSERT_TRUE(datagram);
    const ByteVector& packet = datagram->first;
    EXPECT_EQ(datagram->second, form->hub().udpPort()) << "sent from the endpoint itself";
    ASSERT_EQ(packet.size(), 123u);
    EXPECT_EQ(ByteVector(packet.begin(), packet.begin() + 4), (ByteVector { 0x0B, 0x08, 0x00, 0x7B }));
    EXPECT_EQ(ReadField(packet, 4, 32), "QVX300");
    EXPECT_EQ(ReadU16(packet, 36), 5);
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(ReadField(packet, 38 + 17 * i, 16), std::to_string(41100 + i));
        EXPECT_EQ(packet[54 + 17 * i], STATUS_BUSY);
    }

    press("StatusReport", false);
    EXPECT_FALSE(received(300)) << "a cancelled dialog sends nothing";
}

TEST_F(TestCommandsTest, MultiAckInUdpModeTakesTheDialogsListAndResult)
{
    form->udpModeButton()->setChecked(true);
    StatusReportDialog* dialog = commands->statusReportDialog();
    dialog->findChild<QRadioButton*>(QStringLiteral("Idle"))->setChecked(true);
    QString lines = QStringLiteral("41100\n\n");
    for (int i = 2; i < 60; ++i)
        lines += QString::number(41100 + i) + QLatin1Char('\n');
    dialog->findChild<QPlainTextEdit*>(QStringLiteral("StationEntries"))->setPlainText(lines);

    press("MultiAckRegister");
    auto datagram = received();
    ASSERT_TRUE(datagram);
    EXPECT_EQ(datagram->second, form->hub().velkaPort());
    const ByteVector& packet = datagram->first;
    ASSERT_EQ(packet.size(), 888u);
    EXPECT_EQ(packet[1], MSG_MULTACK);
    EXPECT_EQ(ReadU16(packet, 36), 50);
    EXPECT_EQ(ReadField(packet, 38 + 17, 16), "") << "an empty line is an entry with no number";
    EXPECT_EQ(packet[54], RESULT_NAK);

    dialog->findChild<QRadioButton*>(QStringLiteral("DoNotDisturb"))->setChecked(true);
    dialog->findChild<QPlainTextEdit*>(QStringLiteral("StationEntries"))->setPlainText(QStringLiteral("7"));
    press("MultiAckUnregister");
    datagram = received();
    ASSERT_TRUE(datagram);
    EXPECT_EQ(datagram->first[1], MSG_UNREG_MULTACK);
    EXPECT_EQ(datagram->first[54], RESULT_ACK);
}

// As the window's dialogs do: each opening starts on the first field, its
// text selected, and Enter means OK wherever the focus was left last time.
TEST_F(TestCommandsTest, TheDialogsOpenOnTheirFirstField)
{
    const std::pair<const char*, const char*> dialogs[]
        = { { "StatusReport", "SystemId" }, { "Register", "SourceStation" } };
    for (const auto& [button, first] : dialogs) {
        for (int opening = 0; opening < 2; ++opening) {
            WhenModal([first = first, opening](QWidget* modal) {
                auto* dialog = static_cast<QDialog*>(modal);
                auto* field = dialog->findChild<QLineEdit*>(QLatin1String(first));
                EXPECT_EQ(dialog->focusWidget(), field) << first << ", opening " << opening;
                EXPECT_EQ(field->selectedText(), field->text());
                EXPECT_TRUE(dialog->findChild<QPushButton*>(QStringLiteral("OkButton"))->isDefault());
                dialog->findChild<QPushButton*>(QStringLiteral("CancelButton"))->setFocus();
                dialog->reject();
            });
            child<QPushButton>(button)->click();
            settle();
        }
    }
}

TEST_F(TestCommandsTest, RegisterAndUnregisterCarryBothStationsAndANumber)
{
    const Settings& settings = form->hub().settings();
    form->hub().sequenceCounter().set(0x0102);
    press("Register");
    ASSERT_EQ(outbox.sent.size(), 1u);
    const SentPacket& reg = outbox.sent[0];
    EXPECT_TRUE(reg.tcp);
    EXPECT_EQ(reg.host, settings.ServerAddress);
    EXPECT_EQ(reg.port, settings.RemoteTcpPort);
    ASSERT_EQ(reg.bytes.size(), 70u);
    EXPECT_EQ(
        ByteVector(reg.bytes.begin(), reg.bytes.begin() + 6), (ByteVector { 0x0B, 0x03, 0x00, 0x46, 0x01, 0x02 }));
    EXPECT_EQ(ReadField(reg.bytes, 6, 32), "");
    EXPECT_EQ(ReadField(reg.bytes, 38, 16), "41100");
    EXPECT_EQ(ReadField(reg.bytes, 54, 16), "42200");

    press("Register", false);
    EXPECT_EQ(form->hub().sequenceCounter().peek(), 0x0103) << "a cancelled dialog takes no number";

    form->udpModeButton()->setChecked(true);
    const std::int32_t before = form->hub().counters().SentByteCount.load();
    press("Unregister");
    ASSERT_EQ(outbox.sent.size(), 2u);
    const SentPacket& unreg = outbox.sent[1];
    EXPECT_FALSE(unreg.tcp);
    EXPECT_EQ(unreg.port, 9003);
    ASSERT_EQ(unreg.bytes.size(), 72u);
    EXPECT_EQ(ReadU16(unreg.bytes, 4), 0x0103);
    EXPECT_EQ(ReadU16(unreg.bytes, 38), 1);
    EXPECT_EQ(ReadField(unreg.bytes, 40, 16), "41100");
    EXPECT_EQ(ReadField(unreg.bytes, 56, 16), "42200");
    EXPECT_EQ(form->hub().counters().SentByteCount.load() - before, 72);
}

TEST_F(TestCommandsTest, GetDataOverTcpTracesTheAnswer)
{
    OneShotServer server({ 0x0B, 0x07, 0x00, 0x08, 0x00, 0x09, 0x00, 0x00 });
    aim(server.port());
    const std::int32_t sentBefore = form->hub().counters().SentByteCount.load();

    child<QPushButton>("GetDataV2")->click();
    EXPECT_EQ(form->hub().counters().SentByteCount.load() - sentBefore, 40);
    EXPECT_TRUE(SpinUntil([&] { return memo().contains(QStringLiteral("SEQ_NO      : 9")); })) << memo().toStdString();
    const QString text = memo();
    EXPECT_TRUE(text.contains(QStringLiteral("HEADER      : 0B 07 00 08 00 09 (MSG_GETRESPONSE)")))
        << text.toStdString();
    const ByteVector& request = server.request();
    ASSERT_EQ(request.size(), 40u);
    EXPECT_EQ(request[1], MSG_GETDATAv2);
    EXPECT_EQ(ReadField(request, 6, 32), "VEZIDUZ");
    EXPECT_EQ(request[38], 0x00);
    EXPECT_EQ(request[39], 0x01);
}

TEST_F(TestCommandsTest, GetDataWithNobodyListeningTracesAnEmptyAnswer)
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    aim(probe.serverPort());
    probe.close();

    child<QPushButton>("GetData")->click();
    EXPECT_TRUE(SpinUntil([&] { return memo().contains(QStringLiteral("Bytes       : 0")); }));
    const QString text = memo();
    EXPECT_TRUE(text.contains(QStringLiteral("TCPError : ErrorCode 111 (Connection refused)"))) << text.toStdString();
}

// The default target is the hub itself: before, the request waited on the
// thread that would have answered it, and the relay stood still meanwhile.
TEST_F(TestCommandsTest, GetDataAsksTheHubItselfWhileItGoesOnRelaying)
{
    Hub& hub = form->hub();
    hub.table().addSystem("127.0.0.3", "127.0.0.3", kTypeQvx);

    // A registration forwarded over TCP must leave the console's target alone.
    QTcpSocket system;
    ASSERT_TRUE(system.bind(QHostAddress(QStringLiteral("127.0.0.2"))));
    system.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(hub.tcpPort()));
    ASSERT_TRUE(SpinUntil([&] { return system.state() == QAbstractSocket::ConnectedState; }));
    const ByteVector registration = Request(MSG_REGISTER, 0x0203, "", wire::kRegisterSize);
    system.write(reinterpret_cast<const char*>(registration.data()), static_cast<qint64>(registration.size()));
    ASSERT_TRUE(SpinUntil([&] { return system.bytesAvailable() >= 6; }));
    system.close();
    ASSERT_EQ(outbox.sent.size(), 1u);
    EXPECT_EQ(outbox.sent[0].host, "127.0.0.3");

    // A status report waits in the QVX endpoint while GetData is under way.
    QUdpSocket reporter;
    ASSERT_TRUE(reporter.bind(QHostAddress(QStringLiteral("127.0.0.2")), 0));
    const ByteVector report = StatusReport("QVX300", { { "41100", STATUS_BUSY } });
    reporter.writeDatagram(reinterpret_cast<const char*>(report.data()), static_cast<qint64>(report.size()),
        QHostAddress::LocalHost, static_cast<quint16>(hub.udpPort()));

    const QString answer = QStringLiteral("(MSG_GETRESPONSE)");
    child<QPushButton>("GetData")->click();
    EXPECT_FALSE(memo().contains(answer)) << "the button returns before the answer comes";
    ASSERT_TRUE(SpinUntil([&] { return memo().contains(answer); })) << memo().toStdString();
    const QString text = memo();
    EXPECT_TRUE(text.contains(QStringLiteral("Send TCP GetRespone Packet : "))) << "the hub answered itself";
    EXPECT_FALSE(text.contains(QStringLiteral("TCPError")));
    const qsizetype forwarded = text.indexOf(QStringLiteral("Forward To : 127.0.0.3"), text.indexOf("UDP From IP"));
    ASSERT_GE(forwarded, 0);
    EXPECT_LT(forwarded, text.indexOf(answer)) << "the report was relayed during the wait";
    EXPECT_TRUE(std::any_of(outbox.sent.begin(), outbox.sent.end(),
        [&](const SentPacket& p) { return !p.tcp && p.host == "127.0.0.3" && p.bytes == report; }));
}

TEST_F(TestCommandsTest, APeerThatNeverAnswersTimesOutWithoutHoldingTheWindow)
{
    QTcpServer silent; // the kernel accepts; nobody ever answers
    ASSERT_TRUE(silent.listen(QHostAddress::LocalHost, 0));
    aim(silent.serverPort());
    commands->setTcpTimeoutMs(300);

    const QString timedOut = QStringLiteral("TCPError : ErrorCode 110 (no answer within 300 ms)");
    QElapsedTimer clock;
    clock.start();
    child<QPushButton>("GetData")->click();
    qint64 longest = clock.elapsed();
    while (!memo().contains(timedOut) && clock.elapsed() < 5000) {
        const qint64 before = clock.elapsed();
        QCoreApplication::processEvents();
        longest = std::max(longest, clock.elapsed() - before);
        QThread::msleep(2);
    }
    EXPECT_TRUE(memo().contains(timedOut)) << memo().toStdString();
    EXPECT_LT(longest, 100) << "the event loop stalled";
    EXPECT_TRUE(SpinUntil([&] { return memo().contains(QStringLiteral("Bytes       : 0")); }))
        << "the missing answer is traced as an empty one";
}

TEST_F(TestCommandsTest, UdpCommandsLookUpHostNames)
{
    const int tcpPort = form->hub().settings().RemoteTcpPort;
    aim(tcpPort, "localhost");
    press("StatusReport");
    const auto datagram = received();
    ASSERT_TRUE(datagram);
    EXPECT_EQ(datagram->first.size(), 123u);

    aim(tcpPort, "");
    press("StatusReport");
    EXPECT_TRUE(SpinUntil([&] { return memo().contains(QStringLiteral("UDP Error : Invalid Host")); }));
}

TEST_F(TestCommandsTest, ClearOnlyExplains)
{
    for (QRadioButton* mode : { form->tcpModeButton(), form->udpModeButton() }) {
        mode->setChecked(true);
        child<QPushButton>("Clear")->click();
    }
    settle();
    const QStringList lines = memo().split(QLatin1Char('\n'));
    const QString message = QStringLiteral("Error : Sorry! Only DovuVavidu can receive Clear Message.");
    ASSERT_EQ(lines.count(message), 2);
    EXPECT_EQ(lines.value(lines.indexOf(message) + 1), QString()) << "each followed by an empty line";
    EXPECT_EQ(lines.value(lines.lastIndexOf(message) + 1), QString());
    EXPECT_TRUE(outbox.sent.empty());
    EXPECT_FALSE(received(300));
}
