#include "service/service.h"
#include "support/event_loop.h"
#include "support/free_port.h"
#include "support/recording_outbox.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <unistd.h>

#include <functional>
#include <optional>

namespace korvel::testing {
namespace {

const CommandSource kWindow = CommandSource::Window();

class ServiceTest : public ::testing::Test {
protected:
    ServiceOptions options()
    {
        ServiceOptions options;
        options.hub.dataDirectory = directory.path().toStdString();
        options.hub.outbox = &outbox;
        options.hub.basePort = base;
        return options;
    }
    QByteArray savedTable() const
    {
        QFile file(directory.filePath(QStringLiteral("system.dat")));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QTemporaryDir directory;
    RecordingOutbox outbox;
    int base = FreeBasePort();
};

// The operator's commands as the window, the web API and the command-line
// client get them: each refusal of its own kind, each change in the table.
TEST_F(ServiceTest, OperatorCommandsChangeTheTableOrSayWhyNot)
{
    Service service(options());
    ASSERT_TRUE(service.start());
    SystemTable& table = service.hub().table();
    using Kind = Failure::Kind;
    const struct {
        const char* what;
        std::function<Result<void>()> command;
        std::optional<Kind> refused;
    } steps[] = {
        { "add",
            [&] {
                return service.addSystem(kWindow, { "127.0.0.2", "PBX", 9100, true });
            },
            {} },
        { "add again",
            [&] {
                return service.addSystem(kWindow, { "127.0.0.2", "", {}, false });
            },
            Kind::Conflict },
        { "add a name",
            [&] {
                return service.addSystem(kWindow, { "pbx.example", "", {}, false });
            },
            Kind::Invalid },
        { "add a bad port",
            [&] {
                return service.addSystem(kWindow, { "127.0.0.3", "", 70000, false });
            },
            Kind::Invalid },
        { "add another",
            [&] {
                return service.addSystem(kWindow, { "127.0.0.3", "", {}, false });
            },
            {} },
        { "delete one not there", [&] { return service.deleteSystem(kWindow, "127.0.0.9"); }, Kind::NotFound },
        { "delete", [&] { return service.deleteSystem(kWindow, "127.0.0.3"); }, {} },
        { "forward on", [&] { return service.setForwardStatus(kWindow, true); }, {} },
        { "save", [&] { return service.saveNow(kWindow); }, {} },
    };
    for (const auto& step : steps) {
        const Result<void> result = step.command();
        if (step.refused) {
            ASSERT_FALSE(result) << step.what;
            EXPECT_EQ(result.failure().kind, *step.refused) << step.what;
            EXPECT_FALSE(result.error().empty()) << step.what;
        } else {
            EXPECT_TRUE(result) << step.what << ": " << result.error();
        }
    }
    ASSERT_EQ(table.size(), 1u);
    const SystemEntry& added = table.systems().front();
    EXPECT_EQ(added.Name, "PBX");
    EXPECT_EQ(added.Port, 9100);
    EXPECT_EQ(added.Type, kTypeVelka);
    EXPECT_TRUE(service.hub().settings().ForwardStatus);
    EXPECT_TRUE(savedTable().contains("127.0.0.2\t"));
    EXPECT_FALSE(savedTable().contains("127.0.0.3\t"));

    ASSERT_TRUE(service.initialize(kWindow));
    EXPECT_EQ(table.size(), 0u);
    EXPECT_FALSE(savedTable().contains("127.0.0.2\t")) << "initialize saves the empty table";
    EXPECT_TRUE(service.stop());
}

// The lock is the open file's, so a second service in this very process is
// refused as another process would be, and the folder is free again once the
// first one has gone.
TEST_F(ServiceTest, ASecondServiceOnTheFolderIsRefusedUntilTheFirstHasGone)
{
    auto first = std::make_unique<Service>(options());
    ASSERT_TRUE(first->start());
    {
        Service second(options());
        const Result<void> started = second.start();
        ASSERT_FALSE(started);
        EXPECT_EQ(started.failure().kind, Failure::Kind::Conflict);
        EXPECT_NE(started.error().find("(process " + std::to_string(::getpid()) + ")"), std::string::npos)
            << started.error();
        EXPECT_EQ(second.hub().tcpPort(), 0) << "no port opened";
    }
    EXPECT_TRUE(first->stop());
    first.reset();
    Service third(options());
    EXPECT_TRUE(third.start());
}

// Each face's command leaves one audit line on standard error and the console
// naming the face and, for a web client (korvelctl is one), its address.
TEST_F(ServiceTest, EachCommandWritesItsAuditLineNamingItsFace)
{
    Service service(options());
    CaptureConsoleSink capture;
    service.hub().console().setSink(&capture);
    ASSERT_TRUE(service.start());
    const CommandSource web = CommandSource::Web("127.0.0.9");
    const struct {
        std::function<Result<void>()> command;
        const char* line;
    } steps[] = {
        { [&] {
             return service.addSystem(kWindow, { "127.0.0.5", "", {}, false });
         },
            "window added system 127.0.0.5" },
        { [&] {
             return service.addSystem(web, { "127.0.0.5", "", {}, false });
         },
            "web 127.0.0.9 could not add system 127.0.0.5: 127.0.0.5 is in the table already" },
        { [&] { return service.deleteSystem(web, "127.0.0.5"); }, "web 127.0.0.9 deleted system 127.0.0.5" },
        { [&] { return service.deleteSystem(kWindow, "127.0.0.5"); },
            "window could not delete system 127.0.0.5: 127.0.0.5 is not in the table" },
        { [&] { return service.setForwardStatus(web, false); }, "web 127.0.0.9 turned status forwarding off" },
        { [&] { return service.applyOptions(kWindow, EndpointOptions {}); },
            "window could not apply the options: port field 1 is not a number" },
        { [&] { return service.saveNow(kWindow); }, "window saved the table" },
        { [&] { return service.reload(web); }, "web 127.0.0.9 reloaded: saved the table and read allow.txt again" },
        { [&] { return service.initialize(kWindow); }, "window initialized the table (0 systems deleted)" },
    };
    for (const auto& step : steps) {
        capture.clear();
        static_cast<void>(step.command());
        EXPECT_EQ(capture.lines(), std::vector<std::string> { step.line });
    }

    // A ping's line comes when it ends, or at once when this process may open
    // no ICMP socket of either kind.
    ASSERT_TRUE(service.addSystem(kWindow, { "127.0.0.5", "", {}, false }));
    capture.clear();
    std::optional<PingOutcome> outcome;
    PingRequest request;
    request.echoes = 1;
    request.done = [&](const PingOutcome& done) { outcome = done; };
    const Result<void> pinging = service.pingSystem(kWindow, "127.0.0.5", request);
    if (pinging) {
        ASSERT_TRUE(SpinUntil([&] { return outcome.has_value(); }));
        EXPECT_EQ(capture.lines(), std::vector<std::string> { "window pinged system 127.0.0.5: 1 sent, 1 received" });
    } else {
        EXPECT_EQ(
            capture.lines(), std::vector<std::string> { "window could not ping system 127.0.0.5: " + pinging.error() });
        EXPECT_EQ(pinging.failure().kind, Failure::Kind::Unavailable);
    }
    service.hub().console().setSink(nullptr);
    EXPECT_TRUE(service.stop());
}

} // namespace
} // namespace korvel::testing
