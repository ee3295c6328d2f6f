#include "cluster/cluster.h"
#include "relay/hub.h"
#include "support/event_loop.h"
#include "support/free_port.h"
#include "support/packets.h"
#include "support/tcp_request.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUdpSocket>

#include <gtest/gtest.h>

#include <csignal>
#include <memory>

namespace korvel::testing {
namespace {

// A Redis server of the test's own, on a free loopback port, keeping nothing on disk.
class RedisServer {
public:
    bool start(int port = 0)
    {
        if (port == 0) {
            QTcpServer probe;
            if (!probe.listen(QHostAddress::LocalHost, 0))
                return false;
            port = probe.serverPort();
        }
        port_ = port;
        process_.start(QStringLiteral("redis-server"),
            { "--port", QString::number(port_), "--bind", "127.0.0.1", "--save", "", "--appendonly", "no" });
        if (!process_.waitForStarted(5000))
            return false;
        return SpinUntil(
            [&] {
                QTcpSocket socket;
                socket.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port_));
                return socket.waitForConnected(100);
            },
            5000);
    }
    void stop()
    {
        process_.kill();
        process_.waitForFinished(5000);
    }
    ~RedisServer() { stop(); }
    int port() const { return port_; }
    // SIGSTOP and SIGCONT: a Redis that holds every reply, and one that answers again.
    void signal(int number) { ::kill(static_cast<pid_t>(process_.processId()), number); }
    QString url() const { return QStringLiteral("redis://127.0.0.1:%1").arg(port_); }
    // One command through redis-cli; its output, trimmed.
    QString cli(const QStringList& arguments) const
    {
        QProcess cli;
        cli.start(QStringLiteral("redis-cli"), QStringList { "-p", QString::number(port_) } + arguments);
        cli.waitForFinished(5000);
        return QString::fromUtf8(cli.readAllStandardOutput()).trimmed();
    }

private:
    QProcess process_;
    int port_ = 0;
};

// A headless hub process in a folder of its own, on a free base port.
class HubProcess {
public:
    explicit HubProcess(std::string node)
        : node_(std::move(node))
        , base_(FreeBasePort())
    {
    }
    bool start(const QString& url, const QStringList& more = {})
    {
        err_.clear();
        process_ = std::make_unique<QProcess>();
        process_->setWorkingDirectory(directory_.path());
        process_->start(KORVEL_BINARY,
            QStringList { "--headless", "--base-port", QString::number(base_), "--own-address", "127.0.0.1",
                "--cluster", url, "--node", QString::fromStdString(node_) }
                + more);
        const bool ok = waitFor("ready") && waitFor("in step");
        if (!ok)
            std::fprintf(stderr, "hub %s: %s\n", node_.c_str(), qPrintable(err_));
        return ok;
    }
    // Waits for the `count`-th line holding `text` on standard error.
    bool waitFor(const QString& text, int count = 1, int timeoutMs = 15000)
    {
        return SpinUntil(
                   [&] {
                       err_ += QString::fromUtf8(process_->readAllStandardError());
                       return err_.count(text) >= count || process_->state() == QProcess::NotRunning;
                   },
                   timeoutMs)
            && process_->state() == QProcess::Running;
    }
    void signal(int number)
    {
        const qint64 pid = process_->processId();
        if (pid > 0)
            ::kill(static_cast<pid_t>(pid), number);
        process_->waitForFinished(10000);
    }
    ~HubProcess()
    {
        if (process_)
            signal(SIGKILL);
    }
    // The lines of /metrics whose series starts with `prefix` (the web console on).
    QStringList metrics(const QString& prefix)
    {
        const qsizetype at = err_.indexOf("web console at http://127.0.0.1:");
        QTcpSocket socket;
        socket.connectToHost(
            QHostAddress::LocalHost, static_cast<quint16>(err_.mid(at + 32).section('/', 0, 0).toInt()));
        if (at < 0 || !socket.waitForConnected(3000))
            return {};
        socket.write("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
        QByteArray answer;
        SpinUntil(
            [&] {
                answer += socket.readAll();
                return socket.state() != QAbstractSocket::ConnectedState;
            },
            3000);
        return QString::fromUtf8(answer).split('\n').filter(QRegularExpression("^" + prefix));
    }
    int tcpPort() const { return base_; }
    int udpPort() const { return base_ + 1; }
    int velkaPort() const { return base_ + 4; }
    QString file(const QString& name) const
    {
        QFile file(directory_.filePath("data/" + name));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

private:
    std::string node_;
    int base_;
    QTemporaryDir directory_;
    std::unique_ptr<QProcess> process_;
    QString err_;
};

// A PBX system on its own loopback address, receiving forwards on 9001 (a
// QVX system) or on 9003 (a Velka system).
struct System {
    explicit System(std::string address, int port = 9001)
        : ip(std::move(address))
    {
        bound = socket.bind(QHostAddress(QString::fromStdString(ip)), static_cast<quint16>(port));
    }
    void send(const ByteVector& bytes, int port)
    {
        socket.writeDatagram(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()),
            QHostAddress::LocalHost, static_cast<quint16>(port));
    }
    // Every datagram that arrives within `ms`.
    std::vector<ByteVector> received(int ms)
    {
        std::vector<ByteVector> all;
        SpinUntil(
            [&] {
                while (socket.hasPendingDatagrams()) {
                    ByteVector data(static_cast<std::size_t>(std::max<qint64>(socket.pendingDatagramSize(), 0)));
                    socket.readDatagram(reinterpret_cast<char*>(data.data()), static_cast<qint64>(data.size()));
                    all.push_back(std::move(data));
                }
                return false;
            },
            ms);
        return all;
    }
    std::string ip;
    QUdpSocket socket;
    bool bound = false;
};

// A hub and its cluster in this process, where the test can act as its operator.
struct LocalHub {
    LocalHub(const QString& url, const std::string& node)
    {
        Hub::Options options;
        options.dataDirectory = folder.filePath("data").toStdString();
        options.basePort = FreeBasePort();
        options.ownAddress = "127.0.0.1";
        hub = std::make_unique<Hub>(options);
        ClusterOptions clusterOptions;
        ParseClusterUrl(url.toStdString(), clusterOptions);
        clusterOptions.node = node;
        cluster = std::make_unique<Cluster>(*hub, clusterOptions);
        QObject::connect(cluster.get(), &Cluster::synchronised, [this] { inStep = true; });
    }
    bool start()
    {
        if (!hub->start())
            return false;
        cluster->start();
        return SpinUntil([&] { return inStep; }, 10000);
    }
    SystemTable& table() { return hub->table(); }

    QTemporaryDir folder;
    std::unique_ptr<Hub> hub;
    std::unique_ptr<Cluster> cluster;
    bool inStep = false;
};

class ClusterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (QStandardPaths::findExecutable(QStringLiteral("redis-server")).isEmpty())
            GTEST_SKIP() << "redis-server is not installed";
        ASSERT_TRUE(redis.start());
        // Systems from a 127.A.B.x range of this run's own, kept by its base-port lock.
        const int k = (FreeBasePort() - 20000) / 10;
        range = "127." + std::to_string(40 + k / 256) + "." + std::to_string(k % 256) + ".";
    }
    std::string system(int host) const { return range + std::to_string(host); }

    RedisServer redis;
    std::string range;
};

TEST_F(ClusterTest, ReportCrossesToTheOtherHubOnceAndUnchanged)
{
    HubProcess a("a"), b("b");
    ASSERT_TRUE(a.start(redis.url(), { "--http", "127.0.0.1:0" }));
    ASSERT_TRUE(b.start(redis.url()));
    System reporter(system(2)), onA(system(3)), onB(system(4));
    ASSERT_TRUE(reporter.bound && onA.bound && onB.bound);
    // Each system makes itself known to its own hub.
    onA.send(StatusReport("A", {}), a.udpPort());
    onB.send(StatusReport("B", {}), b.udpPort());
    reporter.send(StatusReport("R", {}), a.udpPort());
    ASSERT_TRUE(SpinUntil([&] { return redis.cli({ "HLEN", "korvel:owners" }) == "3"; }));
    onA.received(500);
    onB.received(500);
    reporter.received(500);

    const ByteVector report = StatusReport("R", { { "100", 1 }, { "101", 0 } });
    reporter.send(report, a.udpPort());
    const auto local = onA.received(1000);
    const auto remote = onB.received(200);
    ASSERT_EQ(local.size(), 1u);
    ASSERT_EQ(remote.size(), 1u);
    EXPECT_EQ(local[0], report);
    EXPECT_EQ(remote[0], report);
    EXPECT_TRUE(reporter.received(200).empty()) << "echoed back to its sender";

    // A registration on A's TCP endpoint reaches a Velka system on B once, unchanged.
    System velka(system(5), 9003);
    ASSERT_TRUE(velka.bound);
    velka.send(StatusReport("V", {}), b.velkaPort());
    ASSERT_TRUE(SpinUntil([&] { return redis.cli({ "HLEN", "korvel:owners" }) == "4"; }));
    velka.received(500);
    const ByteVector registration = StationListRequest(MSG_REGISTERv2, 7, "R", { "100", "101" });
    EXPECT_FALSE(TcpRequest(reporter.ip, a.tcpPort(), registration).empty());
    const auto registered = velka.received(1000);
    ASSERT_EQ(registered.size(), 1u);
    EXPECT_EQ(registered[0], registration);
    // Published: A's two systems' first reports, the report and the registration;
    // received: B's two systems' first reports.
    EXPECT_EQ(a.metrics("korvel_cluster_[a-z_]+[{ ]").join(' ').toStdString(),
        "korvel_cluster_info{node=\"a\"} 1 korvel_cluster_connected 1 korvel_cluster_nodes 2 "
        "korvel_cluster_systems_owned 2 korvel_cluster_published_total 4 korvel_cluster_received_total 2");

    // The system on B moves to A: B stops serving it, A takes it on.
    onB.send(StatusReport("B", {}), a.udpPort());
    ASSERT_TRUE(SpinUntil([&] {
        return redis.cli({ "HGET", "korvel:owners", QString::fromStdString(onB.ip) }) == "a";
    }));
    onA.received(300);
    onB.received(300);
    reporter.send(report, a.udpPort());
    EXPECT_EQ(onB.received(1000).size(), 1u);
    EXPECT_EQ(onA.received(200).size(), 1u);
}

TEST_F(ClusterTest, HubKilledAndRestartedGetsItsTableBack)
{
    HubProcess a("a");
    ASSERT_TRUE(a.start(redis.url()));
    System reporter(system(2));
    reporter.send(StatusReport("PBX-R", { { "200", 1 } }), a.udpPort());
    const QString ip = QString::fromStdString(reporter.ip);
    ASSERT_TRUE(SpinUntil([&] { return redis.cli({ "HGET", "korvel:stations:" + ip, "200" }) == "1"; }));
    a.signal(SIGKILL);
    ASSERT_FALSE(a.file("system.dat").contains(ip)) << "saved before the kill: nothing left to prove";

    ASSERT_TRUE(a.start(redis.url()));
    a.signal(SIGTERM);
    EXPECT_TRUE(a.file("system.dat").contains(ip + "\t")) << a.file("system.dat").toStdString();
    EXPECT_TRUE(a.file("system.dat").contains("PBX-R"));
    EXPECT_TRUE(a.file(ip + ".dat").contains("200"));
}

TEST_F(ClusterTest, RelaysLocallyWithoutRedisAndAgreesAgainAfter)
{
    HubProcess a("a"), b("b");
    ASSERT_TRUE(a.start(redis.url()));
    ASSERT_TRUE(b.start(redis.url()));
    System reporter(system(2)), onA(system(3)), onB(system(4));
    onA.send(StatusReport("A", {}), a.udpPort());
    onB.send(StatusReport("B", {}), b.udpPort());
    reporter.send(StatusReport("R", {}), a.udpPort());
    ASSERT_TRUE(SpinUntil([&] { return redis.cli({ "HLEN", "korvel:owners" }) == "3"; }));
    onA.received(300);
    onB.received(300);

    // A Redis that stops answering holds up no local forward.
    const ByteVector report = StatusReport("R", { { "300", 1 } });
    redis.signal(SIGSTOP);
    reporter.send(report, a.udpPort());
    EXPECT_EQ(onA.received(1000).size(), 1u);
    redis.signal(SIGCONT);
    onB.received(1000);

    redis.stop();
    ASSERT_TRUE(a.waitFor("relaying locally"));
    reporter.send(report, a.udpPort());
    const auto local = onA.received(1000);
    ASSERT_EQ(local.size(), 1u);
    EXPECT_EQ(local[0], report);

    // Back empty, as a Redis without persistence comes back: the hubs fill it again.
    ASSERT_TRUE(redis.start(redis.port()));
    ASSERT_TRUE(a.waitFor("in step", 2));
    ASSERT_TRUE(b.waitFor("in step", 2));
    for (const System* s : { &reporter, &onA, &onB })
        EXPECT_TRUE(SpinUntil([&] {
            return redis.cli({ "SISMEMBER", "korvel:systems", QString::fromStdString(s->ip) }) == "1";
        }));
    EXPECT_TRUE(SpinUntil([&] {
        return redis.cli({ "HGET", "korvel:owners", QString::fromStdString(onB.ip) }) == "b";
    }));
    reporter.send(report, a.udpPort());
    EXPECT_EQ(onB.received(1000).size(), 1u);
    EXPECT_EQ(onA.received(200).size(), 1u);
}

TEST_F(ClusterTest, DeletesAndClearsOutliveARestart)
{
    // The operator's hub runs in this process; B is stopped and started around the deletions.
    LocalHub hub(redis.url(), "a");
    ASSERT_TRUE(hub.start());

    HubProcess b("b");
    ASSERT_TRUE(b.start(redis.url()));
    System s1(system(2)), s2(system(3)), s3(system(4));
    for (System* s : { &s1, &s2, &s3 })
        s->send(StatusReport("S", { { "100", 1 } }), b.udpPort());
    ASSERT_TRUE(SpinUntil([&] { return hub.table().size() == 3; }, 10000));
    const auto shared = [&](const System& s) {
        return redis.cli({ "SISMEMBER", "korvel:systems", QString::fromStdString(s.ip) }) == "1";
    };
    const auto remove = [&](const System& s) {
        hub.table().SelectSystem(s.ip);
        hub.table().DeleteSelectedSystem();
        return SpinUntil([&] { return !shared(s); });
    };
    const auto saved = [&](const System& s) { return b.file("system.dat").contains(QString::fromStdString(s.ip)); };

    b.signal(SIGTERM);
    ASSERT_TRUE(saved(s1) && saved(s2) && saved(s3));
    ASSERT_TRUE(remove(s1)) << "deleted while B is away";
    EXPECT_EQ(redis.cli({ "EXISTS", "korvel:system:" + QString::fromStdString(s1.ip) }), "0");
    EXPECT_EQ(redis.cli({ "EXISTS", "korvel:stations:" + QString::fromStdString(s1.ip) }), "0");
    ASSERT_TRUE(b.start(redis.url()));
    ASSERT_TRUE(remove(s2)) << "deleted while B runs";
    SpinUntil([] { return false; }, 1500);
    b.signal(SIGTERM);
    EXPECT_FALSE(saved(s1));
    EXPECT_FALSE(saved(s2));
    EXPECT_TRUE(saved(s3));
    EXPECT_TRUE(shared(s3)) << "B's restart put back what it should not";

    hub.table().ClearAllSystems();
    ASSERT_TRUE(SpinUntil([&] { return redis.cli({ "SCARD", "korvel:systems" }) == "0"; }));
    ASSERT_TRUE(b.start(redis.url()));
    b.signal(SIGTERM);
    EXPECT_FALSE(saved(s3));
    EXPECT_EQ(redis.cli({ "SCARD", "korvel:systems" }), "0");
}

// Two hubs change different fields of one system before either has written:
// both changes stand, on both hubs and in Redis.
TEST_F(ClusterTest, FieldsChangedOnTwoHubsAtOnceBothStand)
{
    LocalHub a(redis.url(), "a"), b(redis.url(), "b");
    ASSERT_TRUE(a.start() && b.start());
    System s(system(2));
    s.send(StatusReport("OLD", {}), b.hub->udpPort());
    ASSERT_TRUE(SpinUntil([&] { return a.table().FindSystem(s.ip) && b.table().FindSystem(s.ip); }));
    SpinUntil([] { return false; }, 300);

    a.table().SetSystemName(*a.table().FindSystem(s.ip), "NEW");
    b.table().SetSystemPort(*b.table().FindSystem(s.ip), 9200);
    const QString key = "korvel:system:" + QString::fromStdString(s.ip);
    const auto agreed = [&] {
        for (LocalHub* hub : { &a, &b }) {
            const SystemEntry* entry = hub->table().FindSystem(s.ip);
            if (!entry || entry->Name != "NEW" || entry->Port != 9200)
                return false;
        }
        return redis.cli({ "HMGET", key, "name", "port" }) == "NEW\n9200";
    };
    EXPECT_TRUE(SpinUntil(agreed));
    SpinUntil([] { return false; }, 500);
    EXPECT_TRUE(agreed()) << redis.cli({ "HGETALL", key }).toStdString();
}

} // namespace
} // namespace korvel::testing
