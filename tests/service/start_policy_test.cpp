#include "support/event_loop.h"
#include "support/free_port.h"
#include "support/offscreen_process.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QUdpSocket>

#include <gtest/gtest.h>

#include <csignal>
#include <functional>

namespace korvel::testing {
namespace {

// The hub as an operator starts it: `korvel --headless`, or `korvel` with a
// display (offscreen here), which hands over to the window program.
struct Face {
    const char* name;
    QStringList arguments;
    // A failed start ends the headless hub by itself; the window stays until
    // the operator closes it. A SIGTERM to a hub already on its way out would
    // kill it instead of ending it.
    bool endsByItself;
};
const Face kFaces[] = { { "headless", { "--headless" }, true }, { "window", {}, false } };

class StartPolicyTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(directory.isValid());
        ASSERT_TRUE(QDir(directory.path()).mkpath(QStringLiteral("data")));
        base = FreeBasePort();
        ASSERT_NE(base, 0);
        writeTable(QStringLiteral("Version : 5\r\nBase Port : %1\r\n").arg(base).toLatin1());
    }

    QString tablePath() const { return directory.filePath(QStringLiteral("data/system.dat")); }
    void writeTable(const QByteArray& content)
    {
        QFile file(tablePath());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(content);
    }
    QByteArray table() const
    {
        QFile file(tablePath());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    void start(QProcess& process, const QStringList& arguments)
    {
        StartOffscreen(process, QStringLiteral(KORVEL_BINARY), directory.path(), arguments);
    }

    // Standard error until `text` is in it or the process has ended.
    static QByteArray WaitFor(QProcess& process, const QByteArray& text, QByteArray& errors)
    {
        SpinUntil(
            [&] {
                errors += process.readAllStandardError();
                return errors.contains(text) || process.state() == QProcess::NotRunning;
            },
            15000);
        errors += process.readAllStandardError();
        return errors;
    }

    // Ends the process as a service manager would, or waits for the face that
    // ends by itself; its exit code.
    static int Terminate(QProcess& process, const Face* face = nullptr)
    {
        if (process.state() == QProcess::Running && !(face && face->endsByItself))
            ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
        if (!process.waitForFinished(10000) || process.exitStatus() != QProcess::NormalExit)
            return -1;
        return process.exitCode();
    }

    QTemporaryDir directory;
    int base = 0;
};

// Every way a start can fail ends both faces alike: said on standard error,
// exit status 1, no ready line, and the table file as it was. The headless
// hub exits by itself; the window waits with the reason in a message box
// until the operator (here SIGTERM) closes it.
TEST_F(StartPolicyTest, EachFailedStartEndsBothFacesAlike)
{
    const QByteArray damaged = "Vers 5\r\n127.0.0.2\t127.0.0.2\t9000\t0\t2\tA\r\n";
    struct Case {
        const char* name;
        QByteArray said;
        std::function<void()> arrange;
        QStringList extra;
    };
    QUdpSocket udpSquatter;
    QTcpServer webSquatter;
    ASSERT_TRUE(webSquatter.listen(QHostAddress::LocalHost, 0));
    const QString webPort = QString::number(webSquatter.serverPort());
    const Case cases[] = {
        { "damaged table", "cannot read the version line", [&] { writeTable(damaged); }, {} },
        { "UDP port taken", QStringLiteral("cannot bind UDP port %1 (UDP): ").arg(base + 1).toLatin1(),
            [&] { ASSERT_TRUE(udpSquatter.bind(QHostAddress::AnyIPv4, static_cast<quint16>(base + 1))); }, {} },
        { "web console port taken", "korvel: web console: ", [] {}, { "--http", "127.0.0.1:" + webPort } },
    };
    for (const Case& failing : cases) {
        const QByteArray before = table();
        failing.arrange();
        for (const Face& face : kFaces) {
            SCOPED_TRACE(std::string(failing.name) + ", " + face.name);
            QProcess process;
            start(process, face.arguments + failing.extra);
            QByteArray errors;
            WaitFor(process, failing.said, errors);
            EXPECT_TRUE(errors.contains(failing.said)) << errors.toStdString();
            EXPECT_EQ(Terminate(process, &face), 1) << errors.toStdString();
            EXPECT_FALSE(errors.contains("korvel: ready")) << errors.toStdString();
            EXPECT_EQ(table(), failing.name == std::string("damaged table") ? damaged : before);
        }
        udpSquatter.close();
        writeTable(QStringLiteral("Version : 5\r\nBase Port : %1\r\n").arg(base).toLatin1());
    }
}

// A second hub on a data folder in use says which process has it and ends
// before it opens a port: the first one's table stays its own.
TEST_F(StartPolicyTest, ASecondHubOnTheSameFolderEndsBothFacesAlike)
{
    QProcess first;
    start(first, { "--headless" });
    QByteArray firstErrors;
    ASSERT_TRUE(WaitFor(first, "korvel: ready", firstErrors).contains("korvel: ready")) << firstErrors.toStdString();
    const QByteArray holder = "(process " + QByteArray::number(first.processId()) + ")";
    for (const Face& face : kFaces) {
        SCOPED_TRACE(face.name);
        QProcess second;
        // Another base port: had the second hub opened anything, it would
        // have opened these, free as they are.
        const int otherBase = FreeBasePort();
        start(second, face.arguments + QStringList { "--base-port", QString::number(otherBase) });
        QByteArray errors;
        WaitFor(second, holder, errors);
        EXPECT_TRUE(errors.contains(holder)) << errors.toStdString();
        QTcpServer probe;
        EXPECT_TRUE(probe.listen(QHostAddress::AnyIPv4, static_cast<quint16>(otherBase))) << "a port was opened";
        EXPECT_EQ(Terminate(second, &face), 1) << errors.toStdString();
    }
    EXPECT_EQ(first.state(), QProcess::Running);
    EXPECT_EQ(Terminate(first), 0);
}

// Redis away at start only stops the sharing: both faces start, say so, and
// keep reconnecting.
TEST_F(StartPolicyTest, AnUnreachableClusterStartsBothFacesWithAWarning)
{
    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost, 0));
    const QString url = QStringLiteral("redis://127.0.0.1:%1").arg(closed.serverPort());
    closed.close();
    for (const Face& face : kFaces) {
        SCOPED_TRACE(face.name);
        QProcess process;
        start(process, face.arguments + QStringList { "--cluster", url });
        QByteArray errors;
        WaitFor(process, "relaying locally, reconnecting", errors);
        WaitFor(process, "korvel: ready", errors);
        EXPECT_TRUE(errors.contains("korvel: ready")) << errors.toStdString();
        EXPECT_TRUE(errors.contains("relaying locally, reconnecting")) << errors.toStdString();
        EXPECT_EQ(Terminate(process), 0) << errors.toStdString();
    }
}

} // namespace
} // namespace korvel::testing
