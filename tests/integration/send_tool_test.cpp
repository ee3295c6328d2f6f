#include "hub_harness.h"

#include <QProcess>

#include <csignal>

using namespace korvel;
using namespace korvel::testing;

namespace {

// korvel-send against a real headless hub, both as separate processes.
class SendToolTest : public HubHarness {
protected:
    void SetUp() override
    {
        HubHarness::SetUp();
        log.disable();
        writeSystems({});
        hub_.setWorkingDirectory(directory.path());
        hub_.start(KORVEL_BINARY, { "--headless" });
        ASSERT_TRUE(SpinUntil([&] { return hub_.readAllStandardError().contains("ready"); }, 10000));
    }

    void TearDown() override
    {
        ::kill(static_cast<pid_t>(hub_.processId()), SIGTERM);
        hub_.waitForFinished(10000);
        HubHarness::TearDown();
    }

    // Runs korvel-send; returns its exit code and standard output.
    std::pair<int, QString> send(const QStringList& arguments)
    {
        QProcess tool;
        tool.start(KORVEL_SEND_BINARY, arguments);
        tool.waitForFinished(15000);
        return { tool.exitCode(), QString::fromLatin1(tool.readAllStandardOutput()) };
    }

    QString at(int offset) const { return QStringLiteral("127.0.0.1:%1").arg(base + offset); }

    QProcess hub_;
};

} // namespace

TEST_F(SendToolTest, TcpAnswerIsPrintedInTheTraceFormat)
{
    const QString from = QString::fromStdString(peer(2));
    auto [reportExit, reportOut] = send({ "--from", from, at(1), "statusreport", "--stations", "41100,41101" });
    EXPECT_EQ(reportExit, 0);
    EXPECT_TRUE(reportOut.isEmpty()) << "a datagram without --listen prints nothing";

    // The hub handles the report before the connection; retry until it shows.
    QString page;
    ASSERT_TRUE(SpinUntil([&] {
        auto [code, out] = send({ "--from", from, at(0), "getdatav2", "--page", "0", "--seq", "42" });
        page = out;
        return code == 0 && out.contains("Bytes       : 40");
    }));
    EXPECT_TRUE(page.contains("HEADER      : 0B 07 00 28 00 2A (MSG_GETRESPONSE)")) << page.toStdString();
    EXPECT_TRUE(page.contains("SEQ_NO      : 42"));

    auto [refusedExit, refusedOut] = send({ "--from", from, "127.0.0.1:1", "getdata", "--timeout", "1" });
    EXPECT_EQ(refusedExit, 1);
}

TEST_F(SendToolTest, UdpListenPrintsTheAnswersSentToTheFixedPorts)
{
    const QString from = QString::fromStdString(peer(5));
    auto [code, out] = send({ "--from", from, "--udp", "--listen", "--timeout", "2", at(4), "registerv2", "--stations",
        "41100,41101", "--system-id", "VK5" });
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(out.contains(QStringLiteral("to port 9004"))) << out.toStdString();
    EXPECT_TRUE(out.contains("HEADER      : 0B 0E 00 48 56 4B (MSG_MULTACK)")) << out.toStdString();
    EXPECT_TRUE(out.contains("BODY        : 41100:ACK 41101:ACK "));
}

TEST_F(SendToolTest, RefusesToSendFromTheHubsOwnAddress)
{
    // Without --from, a packet to 127.0.0.1 leaves from 127.0.0.1: the hub's own.
    for (const QString& message : { QStringLiteral("statusreport"), QStringLiteral("getdata") }) {
        QProcess tool;
        tool.start(KORVEL_SEND_BINARY, { at(message == "getdata" ? 0 : 1), message, "--timeout", "1" });
        ASSERT_TRUE(tool.waitForFinished(15000));
        EXPECT_EQ(tool.exitCode(), 2) << message.toStdString();
        EXPECT_TRUE(tool.readAllStandardError().contains("127.0.0.1, the hub's own address"));
    }
    auto [code, out] = send({ "--allow-own-address", "--timeout", "1", at(0), "getdata" });
    EXPECT_EQ(code, 0) << "told to, it sends and reads the answer";
}
