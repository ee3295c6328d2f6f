#include "hub_harness.h"

#include <QProcess>

#include <csignal>

using namespace korvel;
using namespace korvel::testing;

namespace {

class HeadlessProcessTest : public HubHarness {
protected:
    void SetUp() override
    {
        HubHarness::SetUp();
        DisableConsoleLog();
        writeSystems({});
    }

    // Starts korvel in the temporary folder and waits for its ready line.
    bool launch(QProcess& process, const QStringList& arguments = { "--headless", "--trace" })
    {
        process.setWorkingDirectory(directory.path());
        process.start(KORVEL_BINARY, arguments);
        return SpinUntil(
                   [&] {
                       return process.readAllStandardError().contains("ready")
                           || process.state() == QProcess::NotRunning;
                   },
                   10000)
            && process.state() == QProcess::Running;
    }

    static bool Terminate(QProcess& process)
    {
        ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
        return process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit
            && process.exitCode() == 0;
    }
};

} // namespace

TEST_F(HeadlessProcessTest, RestartReloadsWhatWasSavedAtTermination)
{
    QProcess first;
    ASSERT_TRUE(launch(first));
    FakeUdpPeer pbx(peer(2), 0);
    pbx.send(StatusReport("QVX300", { { "41100", 1 }, { "41101", 0 } }), base + 1);
    ASSERT_TRUE(SpinUntil([&] { return first.bytesAvailable() > 0 && first.peek(4096).contains("41101:IDLE"); }));
    ASSERT_TRUE(Terminate(first));
    const QByteArray trace = first.readAllStandardOutput();
    EXPECT_TRUE(trace.contains(QByteArray("UDP From IP : ") + peer(2).c_str())) << trace.toStdString();

    QProcess second;
    ASSERT_TRUE(launch(second));
    const ByteVector page = TcpRequest(peer(2), base, Request(MSG_GETDATA, 1, "QVX300"));
    ASSERT_EQ(page.size(), 8u + 32u);
    EXPECT_EQ(ReadField(page, 8, 16), "41100");
    EXPECT_EQ(ReadField(page, 24, 16), "41101");
    EXPECT_TRUE(Terminate(second));
}

TEST_F(HeadlessProcessTest, TakenListenerPortIsAFailureExit)
{
    QTcpServer squatter;
    ASSERT_TRUE(squatter.listen(QHostAddress::AnyIPv4, static_cast<quint16>(base)));
    QProcess process;
    process.setWorkingDirectory(directory.path());
    process.start(KORVEL_BINARY, { "--headless" });
    ASSERT_TRUE(SpinUntil([&] { return process.state() == QProcess::NotRunning; }, 10000));
    EXPECT_EQ(process.exitCode(), 1);
    EXPECT_TRUE(process.readAllStandardError().contains(QByteArray::number(base)));
}

TEST_F(HeadlessProcessTest, WithoutTraceNothingIsPrinted)
{
    QProcess process;
    ASSERT_TRUE(launch(process, { "--headless" }));
    FakeUdpPeer pbx(peer(2), 0);
    pbx.send(StatusReport("QVX300", { { "41100", 1 } }), base + 1);
    ASSERT_TRUE(SpinUntil([&] {
        return TcpRequest(peer(2), base, Request(MSG_GETDATA, 1, "QVX300")).size()
            == wire::kPageHeaderSize + wire::kStationSize;
    }));
    ASSERT_TRUE(Terminate(process));
    EXPECT_TRUE(process.readAllStandardOutput().isEmpty());
    QFile saved(directory.filePath("data/system.dat"));
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    EXPECT_TRUE(saved.readAll().contains("QVX300"));
}
