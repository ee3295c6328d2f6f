#include "service/service.h"
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
                return service.addSystem({ "127.0.0.2", "PBX", 9100, true });
            },
            {} },
        { "add again",
            [&] {
                return service.addSystem({ "127.0.0.2", "", {}, false });
            },
            Kind::Conflict },
        { "add a name",
            [&] {
                return service.addSystem({ "pbx.example", "", {}, false });
            },
            Kind::Invalid },
        { "add a bad port",
            [&] {
                return service.addSystem({ "127.0.0.3", "", 70000, false });
            },
            Kind::Invalid },
        { "add another",
            [&] {
                return service.addSystem({ "127.0.0.3", "", {}, false });
            },
            {} },
        { "delete one not there", [&] { return service.deleteSystem("127.0.0.9"); }, Kind::NotFound },
        { "delete", [&] { return service.deleteSystem("127.0.0.3"); }, {} },
        { "forward on", [&] { return service.setForwardStatus(true); }, {} },
        { "save", [&] { return service.saveNow(); }, {} },
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
    const SystemEntry& added = table.Systems().front();
    EXPECT_EQ(added.Name, "PBX");
    EXPECT_EQ(added.Port, 9100);
    EXPECT_EQ(added.Type, kTypeVelka);
    EXPECT_TRUE(service.hub().settings().ForwardStatus);
    EXPECT_TRUE(savedTable().contains("127.0.0.2\t"));
    EXPECT_FALSE(savedTable().contains("127.0.0.3\t"));

    ASSERT_TRUE(service.initialize());
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

} // namespace
} // namespace korvel::testing
