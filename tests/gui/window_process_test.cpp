#include "gui/ping_dialog.h"
#include "gui_test_support.h"
#include "support/offscreen_process.h"
#include "support/packets.h"
#include "support/tcp_request.h"

#include <QPlainTextEdit>
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

TEST(PingDialog, PassesTheAddressAsOneArgumentAndShowsTheOutput)
{
    PingDialog* dialog = new PingDialog(QStringLiteral("127.0.0.1; echo injected"));
    // echo prints its arguments back, which is all the test needs of a ping.
    dialog->start(QStringLiteral("echo"));
    ASSERT_TRUE(SpinUntil([dialog] { return dialog->output().count(QLatin1Char('\n')) >= 2; }));
    const QStringList lines = dialog->output().split(QLatin1Char('\n'));
    EXPECT_EQ(lines.value(1), QStringLiteral("-c 4 -- 127.0.0.1; echo injected"));
    EXPECT_FALSE(dialog->output().contains(QStringLiteral("\ninjected")));
    delete dialog;
}

TEST(PingDialog, SaysSoWhenThePingCannotStart)
{
    PingDialog dialog(QStringLiteral("127.0.0.1"));
    dialog.setAttribute(Qt::WA_DeleteOnClose, false);
    dialog.start(QStringLiteral("/nonexistent/ping"));
    ASSERT_TRUE(SpinUntil([&] { return dialog.output().contains(QStringLiteral("could not be started")); }));
}

} // namespace
} // namespace korvel::testing
