#include "gui/ping_dialog.h"
#include "gui_test_support.h"
#include "support/offscreen_process.h"
#include "support/packets.h"
#include "support/tcp_request.h"

#include <QProcess>

#include <csignal>

namespace korvel::testing {
namespace {

// The real binary, window and all, on the offscreen platform.
TEST(WindowProcess, OpensTheWindowWithoutADisplayServerAndSavesOnSigterm)
{
    QTemporaryDir directory;
    ASSERT_TRUE(directory.isValid());
    ASSERT_TRUE(QDir(directory.path()).mkpath(QStringLiteral("data")));
    const int base = FreeBasePort();
    ASSERT_NE(base, 0);
    {
        QFile file(directory.filePath(QStringLiteral("data/system.dat")));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QStringLiteral("Version : 5\r\nBase Port : %1\r\n").arg(base).toLatin1());
    }

    QProcess process;
    StartOffscreen(process, QStringLiteral(KORVEL_BINARY), directory.path());
    ASSERT_TRUE(process.waitForStarted(10000));

    // A connection to the listener (from another address than the hub's own)
    // makes the window's hub add a system; the answer to its request says the
    // hub has taken it.
    const ByteVector ack { 0x0B, 0x01, 0x00, 0x06, 0x00, 0x01 };
    const bool answered = SpinUntil(
        [&] {
            return process.state() != QProcess::Running
                || TcpRequest("127.0.0.2", base, Request(MSG_CLEAR, 1, "", wire::kAckSize)) == ack;
        },
        15000);
    ASSERT_TRUE(answered);
    ASSERT_EQ(process.state(), QProcess::Running) << process.readAllStandardError().toStdString();

    ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
    ASSERT_TRUE(process.waitForFinished(10000));
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process.exitCode(), 0);
    EXPECT_FALSE(process.readAllStandardError().contains("headless"));

    QFile saved(directory.filePath(QStringLiteral("data/system.dat")));
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    EXPECT_TRUE(saved.readAll().contains("127.0.0.2\t127.0.0.2\t9000"));
}

class PingDialogTest : public MainWindowFixture { };

// The window's ping goes through the service: each echo on a line of its
// own and the totals, or why this process cannot ping at all.
TEST_F(PingDialogTest, ShowsEachEchoAndTheTotalsOrWhyNot)
{
    open().hub().table().addSystem("127.0.0.2", "", kTypeQvx);
    const struct {
        const char* address;
        QStringList expected;
    } cases[] = {
        { "127.0.0.2",
            { "PING 127.0.0.2: 4 echoes, each waiting up to 1000 ms", "reply from 127.0.0.2: seq=1 time=",
                "reply from 127.0.0.2: seq=4 time=", "4 packets transmitted, 4 received, 0% packet loss",
                "rtt min/avg/max = " } },
        { "127.0.0.3", { "Cannot ping: No system has that address" } },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.address);
        PingDialog dialog(*service, c.address);
        dialog.setAttribute(Qt::WA_DeleteOnClose, false);
        dialog.start();
        ASSERT_TRUE(SpinUntil([&] {
            return dialog.output().contains(QStringLiteral("packet loss"))
                || dialog.output().contains(QStringLiteral("Cannot ping"));
        }));
        const QString output = dialog.output();
        if (output.contains(QStringLiteral("Cannot ping: cannot open an ICMP socket"))) {
            EXPECT_TRUE(output.contains(QStringLiteral("cannot open a raw ICMP socket either")))
                << output.toStdString();
            continue;
        }
        for (const QString& line : c.expected)
            EXPECT_TRUE(output.contains(line)) << line.toStdString() << " in " << output.toStdString();
    }
}

} // namespace
} // namespace korvel::testing
