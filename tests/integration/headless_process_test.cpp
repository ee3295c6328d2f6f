#include "hub_harness.h"

#include <QProcess>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstring>

using namespace korvel;
using namespace korvel::testing;

namespace {

class HeadlessProcessTest : public HubHarness {
protected:
    void SetUp() override
    {
        HubHarness::SetUp();
        log.disable();
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

    // A status report from a system, then read back with a data request.
    bool servesAReport()
    {
        FakeUdpPeer pbx(peer(2), 0);
        pbx.send(StatusReport("QVX300", { { "41100", 1 } }), base + 1);
        return SpinUntil([&] {
            return TcpRequest(peer(2), base, Request(MSG_GETDATA, 1, "QVX300")).size()
                == wire::kPageHeaderSize + wire::kStationSize;
        });
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

// A datagram endpoint without its port would run deaf behind a ready line.
TEST_F(HeadlessProcessTest, TakenDatagramPortIsAFailureExit)
{
    const struct {
        int offset;
        const char* endpoint;
    } cases[] = { { 1, "UDP" }, { 3, "UDP_RACK" }, { 4, "UDP_VELKA" } };
    for (const auto& taken : cases) {
        QUdpSocket squatter;
        ASSERT_TRUE(squatter.bind(QHostAddress::AnyIPv4, static_cast<quint16>(base + taken.offset)));
        QProcess process;
        process.setWorkingDirectory(directory.path());
        process.start(KORVEL_BINARY, { "--headless" });
        ASSERT_TRUE(SpinUntil([&] { return process.state() == QProcess::NotRunning; }, 10000)) << taken.endpoint;
        EXPECT_EQ(process.exitCode(), 1) << taken.endpoint;
        const QByteArray errors = process.readAllStandardError();
        EXPECT_TRUE(errors.contains(QStringLiteral("cannot bind UDP port %1 (%2): ")
                                        .arg(base + taken.offset)
                                        .arg(QLatin1String(taken.endpoint))
                                        .toLatin1()))
            << errors.toStdString();
        EXPECT_FALSE(errors.contains("korvel: ready")) << taken.endpoint;
    }
}

// SIGHUP (a closed terminal, a service reload) saves and reads allow.txt
// again; a trace reader that goes away costs the trace, not the hub.
TEST_F(HeadlessProcessTest, HangUpReloadsAndABrokenTracePipeIsSurvived)
{
    // Standard output is a pipe of the test's own, whose reading end it can close.
    int trace[2];
    ASSERT_EQ(::pipe2(trace, O_CLOEXEC | O_NONBLOCK), 0);
    QProcess process;
    process.setChildProcessModifier([writeEnd = trace[1]] { ::dup2(writeEnd, STDOUT_FILENO); });
    ASSERT_TRUE(launch(process));
    ::close(trace[1]);
    QByteArray output;
    QByteArray errors;
    const auto printed = [&](const std::string& text) {
        return SpinUntil([&] {
            char buffer[4096];
            for (ssize_t count; (count = ::read(trace[0], buffer, sizeof buffer)) > 0;)
                output.append(buffer, count);
            return output.contains(text.c_str());
        });
    };
    const auto said = [&](const char* text) {
        return SpinUntil([&] { return (errors += process.readAllStandardError()).contains(text); });
    };
    FakeUdpPeer pbx(peer(2), 0);
    pbx.send(StatusReport("QVX300", { { "41100", 1 } }), base + 1);
    ASSERT_TRUE(printed("41100:BUSY"));
    {
        QFile allow(directory.filePath("data/allow.txt"));
        ASSERT_TRUE(allow.open(QIODevice::WriteOnly));
        allow.write((peer(3) + "\n").c_str());
    }

    ::kill(static_cast<pid_t>(process.processId()), SIGHUP);
    ASSERT_TRUE(said("SIGHUP")) << errors.toStdString();
    ASSERT_TRUE(SpinUntil([&] {
        QFile saved(directory.filePath("data/system.dat"));
        return saved.open(QIODevice::ReadOnly) && saved.readAll().contains(peer(2).c_str());
    }));
    pbx.send(StatusReport("QVX300", { { "41100", 0 } }), base + 1);
    ASSERT_TRUE(printed("Refused from: " + peer(2)));

    ::close(trace[0]);
    FakeUdpPeer allowed(peer(3), 0);
    allowed.send(StatusReport("QVX301", { { "41100", 1 } }), base + 1);
    EXPECT_TRUE(said("cannot write the trace")) << errors.toStdString();
    EXPECT_TRUE(Terminate(process)) << errors.toStdString();
}

TEST_F(HeadlessProcessTest, WithoutTraceNothingIsPrinted)
{
    QProcess process;
    ASSERT_TRUE(launch(process, { "--headless" }));
    ASSERT_TRUE(servesAReport());
    ASSERT_TRUE(Terminate(process));
    EXPECT_TRUE(process.readAllStandardOutput().isEmpty());
    QFile saved(directory.filePath("data/system.dat"));
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    EXPECT_TRUE(saved.readAll().contains("QVX300"));
}

// A proxy in the environment (a desktop session's, say) is not the hub's:
// its ports open and exchanges are served directly while the proxy is away.
TEST_F(HeadlessProcessTest, TheEnvironmentsProxyIsNotUsed)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : { "http_proxy", "https_proxy", "all_proxy", "HTTP_PROXY", "ALL_PROXY" })
        environment.insert(name, "socks5://127.0.0.1:1");
    QProcess process;
    process.setProcessEnvironment(environment);
    ASSERT_TRUE(launch(process, { "--headless" })) << process.readAllStandardError().toStdString();
    EXPECT_TRUE(servesAReport());
    EXPECT_TRUE(Terminate(process));
}

// --data-dir, --base-port, --own-address and --max-systems, from a working
// folder that holds no table: the port given wins over system.dat's and is
// saved, datagrams from the given own address are ignored, and a sender
// beyond the table's limit is refused.
TEST_F(HeadlessProcessTest, CommandLineNamesFolderPortAndOwnAddress)
{
    writeSystems({});
    QFile file(QString::fromStdString(dataPath() + "/system.dat"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("Version : 5\r\nBase Port : 1\r\n");
    file.close();

    QProcess process;
    process.setWorkingDirectory(QDir::tempPath());
    process.start(KORVEL_BINARY,
        { "--headless", "--data-dir=" + QString::fromStdString(dataPath()), "--base-port=" + QString::number(base),
            "--own-address", QString::fromStdString(peer(3)), "--max-systems=1" });
    QByteArray errors;
    ASSERT_TRUE(SpinUntil([&] { return (errors += process.readAllStandardError()).contains("ready"); }, 10000));
    EXPECT_TRUE(errors.contains("TCP " + QByteArray::number(base))) << errors.toStdString();
    EXPECT_TRUE(errors.contains(QByteArray("own address ") + peer(3).c_str())) << errors.toStdString();

    FakeUdpPeer own(peer(3));
    FakeUdpPeer other(peer(4));
    own.send(StatusReport("SELF", { { "41100", 1 } }), base + 1);
    other.send(StatusReport("OTHER", { { "41100", 1 } }), base + 1);
    // Both datagrams wait in one queue, the own one first; once the other's
    // station shows in its page, the own one has been handled too.
    ASSERT_TRUE(SpinUntil([&] { return TcpRequest(peer(4), base, Request(MSG_GETDATA, 1, "X")).size() == 8u + 16u; }));
    FakeUdpPeer(peer(5)).send(StatusReport("NEW", { { "41100", 1 } }), base + 1);
    EXPECT_TRUE(SpinUntil(
        [&] { return (errors += process.readAllStandardError()).contains("Table full (1 systems): refused 1"); }, 5000))
        << errors.toStdString();
    ASSERT_TRUE(Terminate(process));

    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray saved = file.readAll();
    EXPECT_TRUE(saved.contains("Base Port : " + QByteArray::number(base))) << saved.toStdString();
    EXPECT_TRUE(saved.contains("OTHER"));
    EXPECT_FALSE(saved.contains("SELF")) << "a datagram from the own address is ignored";
}

TEST_F(HeadlessProcessTest, BadOptionsStopBeforeAnyPortOpens)
{
    for (const QStringList& arguments :
        { QStringList { "--base-port=65532" }, { "--own-address=127.1" }, { "--own-address=::1" },
            { "--own-address=127.002.48.3" }, { "--data-dir=x", "--user-data" }, { "--frobnicate" }, { "stray" },
            { "--max-systems=0" }, { "--max-connections=many" }, { "--answer-rate=0" }, { "--answer-burst=-1" } }) {
        QProcess process;
        process.setWorkingDirectory(directory.path());
        process.start(KORVEL_BINARY, QStringList { "--headless" } + arguments);
        ASSERT_TRUE(process.waitForFinished(10000));
        EXPECT_EQ(process.exitCode(), 2) << arguments.join(' ').toStdString();
        EXPECT_TRUE(process.readAllStandardError().contains("try korvel --help"));
    }
}

// A server without the desktop package: a display is there, the window
// program is not, and the hub runs headless all the same.
TEST_F(HeadlessProcessTest, WithoutTheWindowProgramADisplayStillGetsTheHub)
{
    if (QFile::exists(KORVEL_WINDOW_PROGRAM))
        GTEST_SKIP() << "the window program is installed in " << KORVEL_WINDOW_PROGRAM;
    const QString alone = directory.filePath("korvel");
    ASSERT_TRUE(QFile::copy(KORVEL_BINARY, alone));
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(directory.path());
    process.start(alone, {});
    QByteArray errors;
    ASSERT_TRUE(SpinUntil([&] { return (errors += process.readAllStandardError()).contains("ready"); }, 10000));
    EXPECT_TRUE(errors.contains("the window is not installed")) << errors.toStdString();
    EXPECT_TRUE(Terminate(process));
}

// Under a service manager: READY=1 once the endpoints are open, the watchdog
// fed from the event loop, STOPPING=1 on the way out.
TEST_F(HeadlessProcessTest, TellsTheServiceManagerReadyWatchdogAndStopping)
{
    const QByteArray path = directory.filePath("notify").toLocal8Bit();
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.constData(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    timeval wait { 5, 0 };
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    auto next = [fd](int flags = 0) {
        char text[512];
        const ssize_t count = ::recv(fd, text, sizeof text, flags);
        return count > 0 ? std::string(text, static_cast<std::size_t>(count)) : std::string();
    };

    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("NOTIFY_SOCKET", QString::fromLocal8Bit(path));
    environment.insert("WATCHDOG_USEC", "200000");
    process.setProcessEnvironment(environment);
    ASSERT_TRUE(launch(process, { "--headless" }));
    const std::string ready = next();
    EXPECT_EQ(ready.rfind("READY=1\nSTATUS=TCP " + std::to_string(base), 0), 0u) << ready;
    EXPECT_EQ(next(), "WATCHDOG=1");
    EXPECT_EQ(next(), "WATCHDOG=1") << "fed again about every 100 ms";
    EXPECT_TRUE(Terminate(process));
    std::string last;
    // The process has ended: everything it sent is queued already.
    for (std::string line = next(MSG_DONTWAIT); !line.empty(); line = next(MSG_DONTWAIT))
        last = line;
    EXPECT_EQ(last, "STOPPING=1");
    ::close(fd);
}

TEST_F(HeadlessProcessTest, ADamagedHeaderStopsTheHubAndLeavesTheFileAlone)
{
    const std::string line = "127.0.0.2\t127.0.0.9\t9100\t0\t2\tA\r\n";
    const std::pair<std::string, std::string> cases[] = {
        { "Version : 5\r\nBase Port : 70000\r\n" + line, "system.dat:2: Base Port 70000 is out of range" },
        { "Vers 5\r\n" + line, "system.dat:1: cannot read the version line \"Vers 5\"" },
    };
    for (const auto& [text, said] : cases) {
        const QString path = QString::fromStdString(dataPath() + "/system.dat");
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text.data(), static_cast<qint64>(text.size()));
        file.close();

        QProcess process;
        process.setWorkingDirectory(directory.path());
        process.start(KORVEL_BINARY, { "--headless" });
        ASSERT_TRUE(process.waitForFinished(10000));
        EXPECT_EQ(process.exitCode(), 1);
        const QByteArray error = process.readAllStandardError();
        EXPECT_TRUE(error.contains(QByteArray::fromStdString(said))) << error.toStdString();
        EXPECT_FALSE(error.contains("ready")) << error.toStdString();
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_EQ(file.readAll().toStdString(), text);
        file.close();
    }
}

TEST_F(HeadlessProcessTest, AFailedFinalSaveIsAFailureExit)
{
    QProcess process;
    ASSERT_TRUE(launch(process, { "--headless" }));
    const std::filesystem::path systemFile = dataPath() + "/system.dat";
    std::filesystem::remove(systemFile);
    std::filesystem::create_directory(systemFile);
    ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
    ASSERT_TRUE(process.waitForFinished(10000));
    EXPECT_EQ(process.exitCode(), 1);
    EXPECT_TRUE(process.readAllStandardError().contains("korvel: Cannot save data/system.dat: "));
}

// --check-config names each problem by file and line and opens no port: it
// runs the same while another program holds the hub's port.
TEST_F(HeadlessProcessTest, CheckConfigNamesFileAndLineWithoutOpeningAPort)
{
    QTcpServer squatter;
    ASSERT_TRUE(squatter.listen(QHostAddress::AnyIPv4, static_cast<quint16>(base)));
    auto check = [&](QByteArray& out) {
        QProcess process;
        process.setWorkingDirectory(QDir::tempPath());
        process.start(KORVEL_BINARY, { "--check-config", "--data-dir", QString::fromStdString(dataPath()) });
        EXPECT_TRUE(process.waitForFinished(10000));
        out = process.readAllStandardOutput() + process.readAllStandardError();
        return process.exitCode();
    };
    writeSystems({ "127.0.0.2\t127.0.0.2\t9000\t0\t2\tGOOD", "127.0.0.3\t127.0.0.3\tnine\t0\t2\tBAD" });
    QFile allow(directory.filePath("data/allow.txt"));
    ASSERT_TRUE(allow.open(QIODevice::WriteOnly));
    allow.write("127.0.0.0/8\n127.0.0.300\n");
    allow.close();

    QByteArray out;
    EXPECT_EQ(check(out), 1);
    const QByteArray folder = QByteArray::fromStdString(dataPath());
    EXPECT_TRUE(out.contains(folder + "/system.dat:4: the port is missing or not a number")) << out.toStdString();
    EXPECT_TRUE(out.contains(folder + "/allow.txt:2: not an IPv4 address or range")) << out.toStdString();
    EXPECT_TRUE(out.contains("2 systems")) << out.toStdString();

    writeSystems({ "127.0.0.2\t127.0.0.2\t9000\t0\t2\tGOOD" });
    ASSERT_TRUE(QFile::remove(allow.fileName()));
    EXPECT_EQ(check(out), 0) << out.toStdString();
    EXPECT_TRUE(out.contains("0 problems")) << out.toStdString();
}
