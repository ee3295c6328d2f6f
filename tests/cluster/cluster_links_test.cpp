#include "cluster/cluster.h"
#include "cluster/cluster_message.h"
#include "cluster/redis_connection.h"
#include "relay/hub.h"
#include "support/event_loop.h"

#include <hiredis/hiredis.h>
#include <hiredis/read.h>

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace korvel;
using korvel::testing::SpinUntil;

namespace {

// Redis's wire form of a reply, parsed the way the real link hands it over.
std::string Int(long long n)
{
    return ":" + std::to_string(n) + "\r\n";
}
std::string Bulk(const std::string& s)
{
    return "$" + std::to_string(s.size()) + "\r\n" + s + "\r\n";
}
std::string Array(const std::vector<std::string>& items)
{
    std::string all = "*" + std::to_string(items.size()) + "\r\n";
    for (const std::string& item : items)
        all += item;
    return all;
}
const std::string kNil = "$-1\r\n";

struct ReplyDeleter {
    void operator()(redisReply* reply) const { freeReplyObject(reply); }
};
std::unique_ptr<redisReply, ReplyDeleter> Parse(const std::string& wire)
{
    redisReader* reader = redisReaderCreate();
    redisReaderFeed(reader, wire.data(), wire.size());
    void* reply = nullptr;
    EXPECT_EQ(redisReaderGetReply(reader, &reply), REDIS_OK);
    redisReaderFree(reader);
    return std::unique_ptr<redisReply, ReplyDeleter>(static_cast<redisReply*>(reply));
}

// A link whose connection and replies the test plays by hand.
class ScriptedLink : public RedisConnection {
public:
    struct Command {
        std::vector<std::string> arguments;
        Reply reply;
    };

    void start() override { }
    bool connected() const override { return up_; }
    bool command(const std::vector<std::string_view>& arguments, Reply reply) override
    {
        if (!up_)
            return false;
        sent.push_back({ { arguments.begin(), arguments.end() }, std::move(reply) });
        waiting.push_back(sent.size() - 1);
        return true;
    }
    bool answering(std::chrono::milliseconds) const override { return up_; }
    void reset(const QString& why) override
    {
        ++resets;
        drop(why);
        bringUp();
    }
    QString lastError() const override { return error_; }

    void bringUp()
    {
        up_ = true;
        error_.clear();
        emit up();
    }
    void drop(const QString& why)
    {
        up_ = false;
        error_ = why;
        std::vector<std::size_t> unanswered;
        unanswered.swap(waiting);
        for (std::size_t i : unanswered) {
            if (sent[i].reply)
                sent[i].reply(nullptr);
        }
        emit down();
    }
    // The oldest unanswered command that has `word` in an argument (a
    // script's text aside), or -1.
    long find(const std::string& word) const
    {
        for (std::size_t i : waiting) {
            const auto& arguments = sent[i].arguments;
            for (std::size_t a = 0; a < arguments.size(); ++a) {
                if (!(a == 1 && arguments[0] == "EVAL") && arguments[a].find(word) != std::string::npos)
                    return static_cast<long>(i);
            }
        }
        return -1;
    }
    // Waits for such a command and answers it with `wire`; false if none came.
    bool answer(const std::string& word, const std::string& wire)
    {
        if (!SpinUntil([&] { return find(word) >= 0; }, 3000))
            return false;
        const auto i = static_cast<std::size_t>(find(word));
        std::erase(waiting, i);
        if (sent[i].reply)
            sent[i].reply(Parse(wire).get());
        return true;
    }
    std::vector<const Command*> all(const std::string& first) const
    {
        std::vector<const Command*> found;
        for (const Command& command : sent) {
            if (!command.arguments.empty() && command.arguments[0] == first)
                found.push_back(&command);
        }
        return found;
    }

    std::vector<Command> sent;
    std::vector<std::size_t> waiting;
    int resets = 0;

private:
    bool up_ = false;
    QString error_;
};

// Runs what the event loop has queued so far, the cluster's posted sends included.
void Drain()
{
    bool reached = false;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [&] { reached = true; }, Qt::QueuedConnection);
    ASSERT_TRUE(SpinUntil([&] { return reached; }));
}

const std::string kRunId(40, 'a');
const std::string kOtherRunId(40, 'b');
constexpr char kSystem[] = "127.0.0.2";

// One hub with its cluster on scripted links, registered and in step.
struct ScriptedHub {
    ScriptedHub()
    {
        Hub::Options options;
        options.dataDirectory = folder.filePath("data").toStdString();
        options.ownAddress = "127.0.0.1";
        hub = std::make_unique<Hub>(options);
        hub->table().appendEntry(kSystem, "PBX", kTypeQvx, kDefaultEndpointType, kDefaultSystemPort, kSystem);
        ClusterOptions clusterOptions;
        clusterOptions.node = "a";
        cluster = std::make_unique<Cluster>(
            *hub, clusterOptions, [this](Cluster::LinkRole role, std::chrono::milliseconds) {
                auto link = std::make_unique<ScriptedLink>();
                (role == Cluster::LinkRole::Commands ? commands : reader) = link.get();
                return link;
            });
    }
    // Up to the lease on the system, granted under fence 7, and the beat after
    // it: the ticks meanwhile have found Redis answering.
    void join()
    {
        cluster->start();
        commands->bringUp();
        reader->bringUp();
        ASSERT_TRUE(commands->answer("INFO", Bulk("redis_version:7\r\nrun_id:" + kRunId + "\r\n")));
        ASSERT_TRUE(commands->answer(":node:a", Beat()));
        ASSERT_TRUE(commands->answer("XREVRANGE", Array({})));
        ASSERT_TRUE(commands->answer("SMEMBERS", Array({})));
        ASSERT_TRUE(commands->answer("ZRANGE", Array({})));
        ASSERT_TRUE(commands->answer("cleared", kNil));
        ASSERT_TRUE(commands->answer(":lease:", Array({ Int(7) })));
        ASSERT_TRUE(commands->answer(":node:a", Beat()));
        while (commands->find(":lease:") >= 0)
            ASSERT_TRUE(commands->answer(":lease:", Array({ Int(7) })));
        // The claim that the lease made known to the others.
        Drain();
        while (commands->find("XADD") >= 0)
            ASSERT_TRUE(commands->answer("XADD", Bulk("1-0")));
        EXPECT_TRUE(cluster->serves(*hub->table().findSystem(kSystem)));
        EXPECT_EQ(cluster->problem(), "");
    }
    static std::string Beat() { return Array({ Int(1), Int(1000), Array({ Bulk("a"), Bulk("1000") }) }); }
    static constexpr char kReport[] = "report-7";
    std::vector<const ScriptedLink::Command*> reportsSent() const
    {
        auto sent = commands->all("XADD");
        std::erase_if(sent, [](const auto* xadd) { return xadd->arguments.back().find(kReport) == std::string::npos; });
        return sent;
    }
    void report()
    {
        cluster->forwardReceived(
            Bytes(reinterpret_cast<const std::uint8_t*>(kReport), sizeof kReport - 1), kSystem, RelayStep::Udp);
    }

    QTemporaryDir folder;
    std::unique_ptr<Hub> hub;
    ScriptedLink* commands = nullptr;
    ScriptedLink* reader = nullptr;
    std::unique_ptr<Cluster> cluster;
};

// The stream entry's fields that tell the readers a redelivery from a new one.
std::vector<std::string> Identity(const ScriptedLink::Command& xadd)
{
    return { xadd.arguments.end() - 8, xadd.arguments.end() };
}

} // namespace

// A report whose XADD was taken, refused or unanswered when the connection
// went: sent again exactly when Redis may lack it, and then as the same entry.
TEST(ClusterLinks, ReportIsSentAgainOnlyWhenRedisMayLackIt)
{
    enum class Outcome { Taken, Refused, Unanswered };
    const struct {
        const char* name;
        Outcome outcome;
        const std::string& runIdAfter;
        std::size_t sends;
        int resets;
    } cases[] = {
        { "taken, same Redis after reconnect", Outcome::Taken, kRunId, 1, 0 },
        { "taken, Redis restarted or failed over", Outcome::Taken, kOtherRunId, 2, 0 },
        { "connection lost before the reply", Outcome::Unanswered, kRunId, 2, 0 },
        { "refused (a replica, out of memory)", Outcome::Refused, kRunId, 2, 1 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedHub hub;
        hub.join();
        hub.report();
        ASSERT_TRUE(SpinUntil([&] { return hub.reportsSent().size() == 1; }));
        if (c.outcome == Outcome::Taken) {
            ASSERT_TRUE(hub.commands->answer("XADD", Bulk("1-1")));
            EXPECT_EQ(hub.cluster->published(), 1u);
            hub.commands->drop("connection closed");
            hub.commands->bringUp();
        } else if (c.outcome == Outcome::Refused) {
            ASSERT_TRUE(hub.commands->answer("XADD", "-READONLY You can't write against a read only replica.\r\n"));
            EXPECT_EQ(hub.cluster->writeFailures(), 1u);
        } else {
            hub.commands->drop("connection closed");
            hub.commands->bringUp();
        }
        ASSERT_TRUE(hub.commands->answer("INFO", Bulk("run_id:" + c.runIdAfter + "\r\n")));
        Drain();
        const auto sent = hub.reportsSent();
        ASSERT_EQ(sent.size(), c.sends);
        EXPECT_EQ(Identity(*sent.back()), Identity(*sent.front())) << "a resend is the same entry, dropped as seen";
        EXPECT_EQ(hub.commands->resets, c.resets);
    }
}

// What the hub serves after a heartbeat or a lease renewal says no.
TEST(ClusterLinks, RefusalsFromRedisStopServing)
{
    const struct {
        const char* name;
        const char* command;
        std::string reply;
        std::uint64_t leasesLost;
        const char* problem;
        std::string nextBeat;
    } cases[] = {
        { "lease renewed", ":lease:", Array({ Int(7) }), 0, "", ScriptedHub::Beat() },
        { "lease renewal refused", ":lease:", Array({ Int(0) }), 1, "", ScriptedHub::Beat() },
        { "node name taken by another live hub", ":node:a", Array({ Int(0), Bulk("other-token") }), 1,
            "another live hub is named a", Array({ Int(0), Bulk("other-token") }) },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedHub hub;
        hub.join();
        ASSERT_TRUE(hub.commands->answer(c.command, c.reply));
        const SystemEntry& entry = *hub.hub->table().findSystem(kSystem);
        const bool serving = c.leasesLost == 0;
        EXPECT_EQ(hub.cluster->serves(entry), serving);
        EXPECT_EQ(hub.cluster->leasesLost(), c.leasesLost);
        EXPECT_EQ(hub.cluster->problem(), c.problem);
        // Still so a beat later, the ticks between having judged the link and the name.
        ASSERT_TRUE(hub.commands->answer(":node:a", c.nextBeat));
        EXPECT_EQ(hub.cluster->serves(entry), serving);
    }
}

// Another hub's change costs one read of Redis, and its redelivery none.
TEST(ClusterLinks, AnotherHubsChangeIsOneReadAndARedeliveryNone)
{
    ScriptedHub hub;
    hub.join();
    const std::string message = EncodeClusterMessage(ClusterEvent::Changed, "b", "127.0.0.3");
    std::string messages = { 0, 0, 0, static_cast<char>(message.size()) };
    messages += message;
    const std::string entry = Array({ Bulk("5-0"),
        Array({ Bulk("n"), Bulk("b"), Bulk("i"), Bulk("42"), Bulk("s"), Bulk("1"), Bulk("m"), Bulk(messages) }) });
    const std::string read = Array({ Array({ Bulk("korvel:stream"), Array({ entry }) }) });
    const std::size_t before = hub.commands->sent.size();
    ASSERT_TRUE(hub.reader->answer("XREAD", read));
    ASSERT_TRUE(hub.reader->answer("XREAD", read));
    ASSERT_TRUE(SpinUntil([&] { return hub.reader->find("XREAD") >= 0; }));
    std::vector<std::vector<std::string>> reads;
    for (std::size_t i = before; i < hub.commands->sent.size(); ++i) {
        const auto& arguments = hub.commands->sent[i].arguments;
        if (std::any_of(arguments.begin(), arguments.end(),
                [](const std::string& a) { return a.find("127.0.0.3") != std::string::npos; }))
            reads.push_back({ arguments.end() - 2, arguments.end() });
    }
    const std::vector<std::string> keys = { "korvel:system:127.0.0.3", "korvel:stations:127.0.0.3" };
    EXPECT_EQ(reads, (std::vector<std::vector<std::string>> { keys })) << "fields and stations in one command";
    ASSERT_TRUE(hub.commands->answer(":system:127.0.0.3",
        Array({ Array({ Bulk("ip"), Bulk("127.0.0.3"), Bulk("toip"), Bulk("127.0.0.3"), Bulk("name"), Bulk("PBX-B"),
                    Bulk("status"), Bulk("0") }),
            Array({ Bulk("100"), Bulk("2") }) })));
    const SystemEntry* system = hub.hub->table().findSystem("127.0.0.3");
    ASSERT_NE(system, nullptr);
    EXPECT_EQ(system->Name, "PBX-B");
    EXPECT_EQ(system->findStation("100"), 0);
}

namespace {

TEST(ClusterLinks, CallsOffTheHubsThreadStopTheProcess)
{
    if (!ThreadCheck::kActive)
        GTEST_SKIP() << "a release build leaves the check out";
    ScriptedHub a;
    const SystemEntry& entry = *a.hub->table().findSystem(kSystem);
    EXPECT_DEATH(std::thread([&] { a.cluster->serves(entry); }).join(), "Cluster::serves called off the thread");
    EXPECT_DEATH(std::thread([&] { a.cluster->heardFrom(kSystem); }).join(), "Cluster::heardFrom called off");
}

} // namespace
