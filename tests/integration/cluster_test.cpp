#include "cluster/cluster.h"
#include "relay/hub.h"
#include "support/event_loop.h"
#include "support/free_port.h"
#include "support/packets.h"
#include "support/tcp_request.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUdpSocket>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <map>
#include <memory>

namespace korvel::testing {
namespace {

// A Redis server of the test's own, on a free loopback port, keeping nothing on disk.
class RedisServer {
public:
    bool start(int port = 0, const QStringList& more = {})
    {
        // A replica's first sync leaves a dump in the server's folder, which the next server started there would load.
        return launch(port, QStringLiteral("redis-server"),
            QStringList { "--save", "", "--appendonly", "no", "--dir", folder_.path() } + more);
    }
    // A Redis Sentinel watching `master` as "m", its files in `folder`: `quorum`
    // of them call the master down after `downAfterMs` without a reply.
    bool startSentinel(
        const RedisServer& master, const QString& folder, int quorum, int downAfterMs, int failoverTimeoutMs = 5000)
    {
        QFile config(folder + "/sentinel-" + QString::number(FreeBasePort()) + ".conf");
        if (!config.open(QIODevice::WriteOnly))
            return false;
        config.write(QStringLiteral("sentinel monitor m 127.0.0.1 %1 %2\nsentinel down-after-milliseconds m %3\n"
                                    "sentinel failover-timeout m %4\n")
                         .arg(master.port())
                         .arg(quorum)
                         .arg(downAfterMs)
                         .arg(failoverTimeoutMs)
                         .toUtf8());
        config.close();
        return launch(0, QStringLiteral("redis-sentinel"), {}, { config.fileName() });
    }
    bool launch(int port, const QString& program, const QStringList& more, const QStringList& first = {})
    {
        if (port == 0) {
            QTcpServer probe;
            if (!probe.listen(QHostAddress::LocalHost, 0))
                return false;
            port = probe.serverPort();
        }
        port_ = port;
        process_.start(program, first + QStringList { "--port", QString::number(port_), "--bind", "127.0.0.1" } + more);
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
    // Closes every connection named `name` (CLIENT SETNAME); how many there were.
    int killClients(const QString& name) const
    {
        int killed = 0;
        for (const QString& line : cli({ "CLIENT", "LIST" }).split('\n')) {
            if (line.contains(" name=" + name + " "))
                killed += cli({ "CLIENT", "KILL", "ID", line.section(' ', 0, 0).section('=', 1) }) == "1";
        }
        return killed;
    }
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
    QTemporaryDir folder_;
    QProcess process_;
    int port_ = 0;
};

// A headless hub process in a folder of its own, on a free base port.
class HubProcess {
public:
    // The hub built here, or KORVEL_HUB_BINARY's (another build, to compare with).
    static QString Program() { return qEnvironmentVariable("KORVEL_HUB_BINARY", QStringLiteral(KORVEL_BINARY)); }
    explicit HubProcess(std::string node)
        : node_(std::move(node))
        , base_(FreeBasePort())
    {
    }
    bool start(const QString& url, const QStringList& more = {}) { return launch(url, more, true); }
    // Starts the hub and waits for "ready", and for "in step" as well when `inStep`.
    bool launch(const QString& url, const QStringList& more = {}, bool inStep = false)
    {
        err_.clear();
        process_ = std::make_unique<QProcess>();
        process_->setWorkingDirectory(directory_.path());
        process_->start(Program(),
            QStringList { "--headless", "--base-port", QString::number(base_), "--own-address", "127.0.0.1",
                "--cluster", url, "--node", QString::fromStdString(node_) }
                + more);
        const bool ok = waitFor("ready") && (!inStep || waitFor("in step"));
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
    // SIGSTOP and SIGCONT: a hub frozen, and woken again.
    void freeze(bool frozen) { ::kill(static_cast<pid_t>(process_->processId()), frozen ? SIGSTOP : SIGCONT); }
    // Starts a hub that must refuse to run: its exit status, and standard error in `err`.
    int startRefused(const QString& url, QString& err)
    {
        process_ = std::make_unique<QProcess>();
        process_->setWorkingDirectory(directory_.path());
        process_->start(Program(),
            { "--headless", "--base-port", QString::number(base_), "--own-address", "127.0.0.1", "--cluster", url,
                "--node", QString::fromStdString(node_) });
        const bool ended = process_->waitForFinished(20000);
        err = QString::fromUtf8(process_->readAllStandardError());
        return ended ? process_->exitCode() : -1;
    }
    ~HubProcess()
    {
        if (process_)
            signal(SIGKILL);
    }
    // The lines of /metrics whose series starts with `prefix` (the web console on).
    QStringList metrics(const QString& prefix)
    {
        return get("/metrics").split('\n').filter(QRegularExpression("^" + prefix));
    }
    // The answer to a GET of `path` from the web console, status line included.
    QString get(const QString& path) { return request("GET", path); }
    // The answer to one request to the web console, with `headers` (each
    // ending in CR LF) beside the usual ones.
    QString request(const QByteArray& method, const QString& path, const QByteArray& headers = {})
    {
        const qsizetype at = err_.indexOf("web console at http://127.0.0.1:");
        QTcpSocket socket;
        socket.connectToHost(
            QHostAddress::LocalHost, static_cast<quint16>(err_.mid(at + 32).section('/', 0, 0).toInt()));
        if (at < 0 || !socket.waitForConnected(3000))
            return {};
        socket.write(method + ' ' + path.toLatin1() + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers
            + "Connection: close\r\n\r\n");
        QByteArray answer;
        SpinUntil(
            [&] {
                answer += socket.readAll();
                return socket.state() != QAbstractSocket::ConnectedState;
            },
            3000);
        return QString::fromUtf8(answer);
    }
    // Systems in its table (the web console on).
    int systems()
    {
        int count = 0;
        for (const QString& line : metrics("korvel_systems\\{"))
            count += line.section(' ', 1, 1).toInt();
        return count;
    }
    // Standard error so far.
    QString log()
    {
        err_ += QString::fromUtf8(process_->readAllStandardError());
        return err_;
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
        // Room for what a hub sends at once when Redis answers again (a few hundred reports).
        socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 1 << 20);
    }
    void send(const ByteVector& bytes, int port)
    {
        socket.writeDatagram(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()),
            QHostAddress::LocalHost, static_cast<quint16>(port));
    }
    // Every datagram that arrives before `marker` does; with the marker last
    // when it came.
    std::vector<ByteVector> until(const ByteVector& marker, int timeoutMs = 10000)
    {
        std::vector<ByteVector> all;
        SpinUntil(
            [&] {
                take(all);
                return !all.empty() && all.back() == marker;
            },
            timeoutMs);
        return all;
    }
    void take(std::vector<ByteVector>& all)
    {
        while (socket.hasPendingDatagrams()) {
            ByteVector data(static_cast<std::size_t>(std::max<qint64>(socket.pendingDatagramSize(), 0)));
            socket.readDatagram(reinterpret_cast<char*>(data.data()), static_cast<qint64>(data.size()));
            all.push_back(std::move(data));
        }
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
        EXPECT_TRUE(ParseClusterUrl(url.toStdString(), clusterOptions).ok());
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

// Runs the event loop for `ms`: the pace of a sender, not a check.
void Pace(int ms)
{
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

// Of the packets `sent`, how many came in `got` at least once, and how many came again.
struct Tally {
    std::size_t arrived = 0;
    std::size_t duplicates = 0;
};
Tally Count(const std::vector<ByteVector>& got, const std::vector<ByteVector>& sent)
{
    std::map<ByteVector, std::size_t> times;
    for (const ByteVector& packet : got)
        ++times[packet];
    Tally tally;
    for (const ByteVector& packet : sent) {
        const std::size_t n = times[packet];
        tally.arrived += n > 0;
        tally.duplicates += n > 1 ? n - 1 : 0;
    }
    return tally;
}

// Status reports told apart by their one station, `tag` and a number.
std::vector<ByteVector> Reports(const std::string& tag, int first, int count)
{
    std::vector<ByteVector> reports;
    for (int i = first; i < first + count; ++i)
        reports.push_back(StatusReport(tag, { { tag + std::to_string(i), 1 } }));
    return reports;
}

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
    // The node holding a system's lease in Redis; empty if none.
    QString holder(const System& s) const
    {
        return store->cli({ "GET", "korvel:lease:" + QString::fromStdString(s.ip) }).section(' ', 0, 0);
    }
    // A system makes itself known to its hub with a first report, and that hub takes its lease.
    bool home(System& s, int port, const QString& node)
    {
        s.send(StatusReport("HOME", {}), port);
        return SpinUntil([&] { return holder(s) == node; });
    }
    // A report of its own from `from`, through the hub on `port`: whoever gets it has had what came before it.
    ByteVector mark(System& from, int port)
    {
        const ByteVector marker = StatusReport("MARK", { { "M" + std::to_string(++marks), 1 } });
        from.send(marker, port);
        return marker;
    }

    RedisServer redis;
    // The Redis the leases are read from.
    const RedisServer* store = &redis;
    std::string range;
    int marks = 0;
};

TEST_F(ClusterTest, ReportCrossesToTheOtherHubOnceAndUnchanged)
{
    HubProcess a("a"), b("b");
    ASSERT_TRUE(a.start(redis.url(), { "--http", "127.0.0.1:0" }));
    ASSERT_TRUE(b.start(redis.url()));
    System reporter(system(2)), onA(system(3)), onB(system(4)), velka(system(5), 9003);
    ASSERT_TRUE(reporter.bound && onA.bound && onB.bound && velka.bound);
    ASSERT_TRUE(home(onA, a.udpPort(), "a") && home(onB, b.udpPort(), "b") && home(reporter, a.udpPort(), "a")
        && home(velka, b.velkaPort(), "b"));

    const ByteVector report = StatusReport("R", { { "100", 1 }, { "101", 0 } });
    reporter.send(report, a.udpPort());
    ByteVector marker = mark(reporter, a.udpPort());
    const auto local = onA.until(marker);
    const auto remote = onB.until(marker);
    ASSERT_EQ(remote.back(), marker);
    EXPECT_EQ(std::count(local.begin(), local.end(), report), 1);
    EXPECT_EQ(std::count(remote.begin(), remote.end(), report), 1);
    marker = mark(onA, a.udpPort());
    const auto echoed = reporter.until(marker);
    ASSERT_EQ(echoed.back(), marker);
    EXPECT_EQ(std::count(echoed.begin(), echoed.end(), report), 0) << "echoed back to its sender";

    // A registration on A's TCP endpoint reaches a Velka system on B once, unchanged.
    const ByteVector registration = StationListRequest(MSG_REGISTERv2, 7, "R", { "100", "101" });
    const ByteVector second = StationListRequest(MSG_REGISTERv2, 8, "R", { "102" });
    EXPECT_FALSE(TcpRequest(reporter.ip, a.tcpPort(), registration).empty());
    EXPECT_FALSE(TcpRequest(reporter.ip, a.tcpPort(), second).empty());
    const auto registered = velka.until(second);
    ASSERT_EQ(registered.back(), second);
    EXPECT_EQ(std::count(registered.begin(), registered.end(), registration), 1);
    // Published: A's two systems' first reports, the report, the two markers
    // and the registrations; received: B's two systems' first reports.
    const QString expected = "korvel_cluster_info{node=\"a\"} 1 korvel_cluster_connected 1 korvel_cluster_nodes 2 "
                             "korvel_cluster_systems_owned 2 korvel_cluster_published_total 7 "
                             "korvel_cluster_received_total 2 korvel_cluster_leases_lost_total 0 "
                             "korvel_cluster_queued_messages 0 korvel_cluster_queue_dropped_total 0 "
                             "korvel_cluster_write_failures_total 0 korvel_cluster_held_dropped_total 0";
    QString metrics;
    EXPECT_TRUE(SpinUntil([&] { return (metrics = a.metrics("korvel_cluster_[a-z_]+[{ ]").join(' ')) == expected; }))
        << metrics.toStdString();

    // The system on B moves to A: once B has not heard from it for a lease,
    // A takes it, and B stops serving it.
    EXPECT_TRUE(SpinUntil(
        [&] {
            onB.send(StatusReport("B", {}), a.udpPort());
            Pace(200);
            return holder(onB) == "a";
        },
        15000));
    reporter.send(report, a.udpPort());
    marker = mark(reporter, a.udpPort());
    const auto moved = onB.until(marker);
    ASSERT_EQ(moved.back(), marker);
    EXPECT_EQ(std::count(moved.begin(), moved.end(), report), 1);
}

// Nothing is lost or had twice when the reading connection is cut, or may
// not read for a while; meanwhile the hub says it is degraded.
TEST_F(ClusterTest, ReaderCutOffResumesWithoutLossAndSaysSo)
{
    HubProcess a("a"), b("b");
    ASSERT_TRUE(a.start(redis.url()));
    ASSERT_TRUE(b.start(redis.url(), { "--http", "127.0.0.1:0" }));
    System reporter(system(2)), onB(system(3));
    ASSERT_TRUE(home(reporter, a.udpPort(), "a") && home(onB, b.udpPort(), "b"));

    const std::vector<ByteVector> sent = Reports("K", 0, 200);
    for (int i = 0; i < 150; ++i) {
        reporter.send(sent[static_cast<std::size_t>(i)], a.udpPort());
        if (i % 50 == 25) {
            ASSERT_TRUE(SpinUntil([&] { return redis.killClients("korvel-reader-b") == 1; })) << b.log().toStdString();
        }
    }
    EXPECT_TRUE(b.waitFor("the reading connection went", 3));

    redis.cli({ "ACL", "SETUSER", "default", "-xread" });
    EXPECT_TRUE(SpinUntil([&] { return b.get("/healthz").contains("cluster: the other hubs cannot be heard"); }));
    EXPECT_EQ(b.metrics("korvel_cluster_connected").join(' '), "korvel_cluster_connected 0");
    for (std::size_t i = 150; i < sent.size(); ++i)
        reporter.send(sent[i], a.udpPort());
    redis.cli({ "ACL", "SETUSER", "default", "+xread" });
    EXPECT_TRUE(SpinUntil([&] { return b.get("/healthz").section(' ', 1, 1) == "200"; }));

    const ByteVector marker = mark(reporter, a.udpPort());
    const auto got = onB.until(marker, 15000);
    ASSERT_EQ(got.back(), marker);
    const Tally tally = Count(got, sent);
    EXPECT_EQ(tally.arrived, sent.size());
    EXPECT_EQ(tally.duplicates, 0u);
}

// Redis killed and started again empty: what a hub took in meanwhile crosses
// once when it is back, the table is filled again, and a frozen Redis holds
// up no local forward.
TEST_F(ClusterTest, RedisFrozenOrRestartedEmptyLosesNothing)
{
    HubProcess a("a"), b("b");
    ASSERT_TRUE(a.start(redis.url()));
    ASSERT_TRUE(b.start(redis.url()));
    System reporter(system(2)), onA(system(3)), onB(system(4));
    ASSERT_TRUE(home(onA, a.udpPort(), "a") && home(onB, b.udpPort(), "b") && home(reporter, a.udpPort(), "a"));

    const std::vector<ByteVector> sent = Reports("K", 0, 150);
    redis.signal(SIGSTOP);
    for (std::size_t i = 0; i < 50; ++i)
        reporter.send(sent[i], a.udpPort());
    const auto frozen = onA.until(sent[49]);
    ASSERT_EQ(frozen.back(), sent[49]) << "a frozen Redis held up a local forward";
    redis.signal(SIGCONT);

    redis.stop();
    ASSERT_TRUE(a.waitFor("relaying locally"));
    for (std::size_t i = 50; i < 100; ++i)
        reporter.send(sent[i], a.udpPort());
    const auto away = onA.until(sent[99]);
    ASSERT_EQ(away.back(), sent[99]);

    // Back empty, as a Redis without persistence comes back: the hubs fill it again.
    ASSERT_TRUE(redis.start(redis.port()));
    ASSERT_TRUE(a.waitFor("in step", 2));
    ASSERT_TRUE(b.waitFor("in step", 2));
    for (const System* s : { &reporter, &onA, &onB })
        EXPECT_TRUE(SpinUntil([&] {
            return redis.cli({ "SISMEMBER", "korvel:systems", QString::fromStdString(s->ip) }) == "1";
        }));
    EXPECT_TRUE(SpinUntil([&] { return holder(onB) == "b"; }));
    for (std::size_t i = 100; i < sent.size(); ++i)
        reporter.send(sent[i], a.udpPort());
    const ByteVector marker = mark(reporter, a.udpPort());
    const auto remote = onB.until(marker, 15000);
    ASSERT_EQ(remote.back(), marker);
    Tally tally = Count(remote, sent);
    EXPECT_EQ(tally.arrived, sent.size());
    EXPECT_EQ(tally.duplicates, 0u);
    auto local = frozen;
    local.insert(local.end(), away.begin(), away.end());
    const auto after = onA.until(marker);
    local.insert(local.end(), after.begin(), after.end());
    tally = Count(local, sent);
    EXPECT_EQ(tally.arrived, sent.size());
    EXPECT_EQ(tally.duplicates, 0u);
}

// A hub frozen longer than a lease: another takes its systems over while it
// stands still, and once awake it forwards nothing to them itself.
TEST_F(ClusterTest, FrozenHubIsReplacedAndForwardsNoDuplicateWhenItWakes)
{
    HubProcess a("a"), b("b");
    ASSERT_TRUE(a.start(redis.url()));
    ASSERT_TRUE(b.start(redis.url(), { "--http", "127.0.0.1:0" }));
    System toA(system(2)), toB(system(3)), onA(system(4)), onB(system(5));
    ASSERT_TRUE(home(onA, a.udpPort(), "a") && home(toA, a.udpPort(), "a") && home(onB, b.udpPort(), "b")
        && home(toB, b.udpPort(), "b"));
    // B cannot serve a system it has not heard of.
    ASSERT_TRUE(SpinUntil([&] { return b.systems() == 4; }));

    const std::vector<ByteVector> viaA = Reports("A", 0, 120), viaB = Reports("B", 0, 120);
    std::vector<ByteVector> gotA;
    QElapsedTimer clock;
    a.freeze(true);
    clock.start();
    qint64 takeover = -1;
    for (std::size_t i = 0; i < viaA.size(); ++i) {
        toA.send(viaA[i], a.udpPort());
        toB.send(viaB[i], b.udpPort());
        Pace(50);
        onA.take(gotA);
        if (takeover < 0 && Count(gotA, viaB).arrived > 0)
            takeover = clock.elapsed();
    }
    a.freeze(false);
    std::printf("frozen 6 s: systems taken over after %lld ms\n", static_cast<long long>(takeover));
    EXPECT_GE(takeover, 0) << "nobody took the frozen hub's systems over";

    const ByteVector markA = mark(toA, a.udpPort()), markB = mark(toB, b.udpPort());
    for (System* s : { &onA, &onB }) {
        std::vector<ByteVector> got = s == &onA ? gotA : std::vector<ByteVector> {};
        EXPECT_TRUE(SpinUntil([&] {
            s->take(got);
            return Count(got, { markA, markB }).arrived == 2;
        }));
        EXPECT_EQ(Count(got, viaA).arrived, viaA.size()) << s->ip;
        EXPECT_EQ(Count(got, viaA).duplicates, 0u) << s->ip;
        EXPECT_EQ(Count(got, viaB).duplicates, 0u) << s->ip;
    }
    EXPECT_TRUE(a.waitFor("stood still"));
}

// Redis frozen longer than a lease while an exchange reports 50 times a
// second: every report reaches the hub's own system and the other hubs'
// once, also the ones that come while the hubs settle their leases again.
TEST_F(ClusterTest, RedisFrozenLongerThanALeaseLosesNoReport)
{
    HubProcess a("a"), b("b"), c("c");
    ASSERT_TRUE(a.start(redis.url()) && b.start(redis.url()) && c.start(redis.url()));
    System reporter(system(2)), onA(system(3)), onB(system(4)), onC(system(5));
    ASSERT_TRUE(home(reporter, a.udpPort(), "a") && home(onA, a.udpPort(), "a") && home(onB, b.udpPort(), "b")
        && home(onC, c.udpPort(), "c"));

    // 1 s of reports, Redis frozen for 5 s, and 2 s after it answers again.
    const std::vector<ByteVector> sent = Reports("Z", 0, 400);
    std::array<std::vector<ByteVector>, 3> got;
    for (std::size_t i = 0; i < sent.size(); ++i) {
        reporter.send(sent[i], a.udpPort());
        if (i == 50)
            redis.signal(SIGSTOP);
        if (i == 300)
            redis.signal(SIGCONT);
        Pace(20);
        onA.take(got[0]);
        onB.take(got[1]);
        onC.take(got[2]);
    }
    const ByteVector marker = mark(reporter, a.udpPort());
    std::size_t lost = 0;
    const std::array<System*, 3> systems { &onA, &onB, &onC };
    for (std::size_t k = 0; k < systems.size(); ++k) {
        System* s = systems[k];
        std::vector<ByteVector>& mine = got[k];
        EXPECT_TRUE(SpinUntil(
            [&] {
                s->take(mine);
                return Count(mine, { marker }).arrived == 1;
            },
            15000))
            << s->ip;
        const Tally tally = Count(mine, sent);
        std::printf("Redis frozen 5 s: %s got %zu of %zu reports, %zu twice\n", s->ip.c_str(), tally.arrived,
            sent.size(), tally.duplicates);
        lost += sent.size() - tally.arrived;
        EXPECT_EQ(tally.arrived, sent.size()) << s->ip;
        EXPECT_EQ(tally.duplicates, 0u) << s->ip;
    }
    std::printf("Redis frozen 5 s: %zu lost in all\n", lost);
}

// A hub killed and started again on its data folder is the same node: it
// takes its name back at once instead of waiting for the killed run's name
// lease to run out, and what it takes in crosses straight away.
TEST_F(ClusterTest, HubRestartedAfterACrashIsInTheClusterAtOnce)
{
    HubProcess a("a"), b("b");
    ASSERT_TRUE(a.start(redis.url()) && b.start(redis.url()));
    System reporter(system(2)), onB(system(3));
    ASSERT_TRUE(home(reporter, a.udpPort(), "a") && home(onB, b.udpPort(), "b"));

    a.signal(SIGKILL);
    const int left = redis.cli({ "PTTL", "korvel:node:a" }).toInt();
    const QDeadlineTimer leaseEnds(left);
    ASSERT_GT(left, 0);
    ASSERT_TRUE(a.launch(redis.url()));
    Pace(100);
    const ByteVector report = StatusReport("AGAIN", { { "300", 1 } });
    QElapsedTimer clock;
    clock.start();
    reporter.send(report, a.udpPort());
    std::vector<ByteVector> got;
    EXPECT_TRUE(SpinUntil(
        [&] {
            onB.take(got);
            return Count(got, { report }).arrived == 1;
        },
        10000));
    std::printf("restarted hub: a report sent 100 ms after ready crossed in %lld ms\n",
        static_cast<long long>(clock.elapsed()));
    EXPECT_FALSE(leaseEnds.hasExpired()) << "it crossed only once the killed run's name lease had run out";
}

TEST_F(ClusterTest, SecondHubWithALiveNodeNameRefusesToStart)
{
    HubProcess a("a"), twin("a");
    ASSERT_TRUE(a.start(redis.url()));
    QString err;
    EXPECT_EQ(twin.startRefused(redis.url(), err), 1);
    EXPECT_TRUE(err.contains("another live hub is named a")) << err.toStdString();
}

// The master is killed while reports flow, round after round: the hubs find
// the promoted replica through the sentinels, and every report crosses once.
// KORVEL_FAILOVER_ROUNDS sets the rounds (3 unless given).
TEST_F(ClusterTest, SentinelFailoverLosesNothingAndDuplicatesNothing)
{
    if (QStandardPaths::findExecutable(QStringLiteral("redis-sentinel")).isEmpty())
        GTEST_SKIP() << "redis-sentinel is not installed";
    const int rounds = qEnvironmentVariableIsSet("KORVEL_FAILOVER_ROUNDS")
        ? qEnvironmentVariableIntValue("KORVEL_FAILOVER_ROUNDS")
        : 3;
    std::size_t lostAll = 0, twiceAll = 0;
    for (int round = 1; round <= rounds; ++round) {
        QTemporaryDir folder;
        RedisServer master, replica;
        std::array<RedisServer, 3> sentinels;
        ASSERT_TRUE(master.start());
        ASSERT_TRUE(replica.start(0, { "--replicaof", "127.0.0.1", QString::number(master.port()) }));
        store = &master;
        for (RedisServer& sentinel : sentinels)
            ASSERT_TRUE(sentinel.startSentinel(master, folder.path(), 2, 1000, 3000));
        // A sentinel promotes only a replica it has seen in the master's INFO.
        for (const RedisServer& sentinel : sentinels)
            ASSERT_TRUE(SpinUntil(
                [&] {
                    return sentinel.cli({ "SENTINEL", "REPLICAS", "m" }).contains(QString::number(replica.port()));
                },
                20000));
        const QString url = QStringLiteral("redis-sentinel://127.0.0.1:%1,127.0.0.1:%2,127.0.0.1:%3/m")
                                .arg(sentinels[0].port())
                                .arg(sentinels[1].port())
                                .arg(sentinels[2].port());

        HubProcess a("a"), b("b");
        ASSERT_TRUE(a.start(url));
        ASSERT_TRUE(b.start(url));
        EXPECT_TRUE(a.log().contains(QStringLiteral("cluster 127.0.0.1:%1: connected").arg(master.port())))
            << "the trace names the master, not the sentinel asked: " << a.log().toStdString();
        System reporter(system(2 + round * 2)), onB(system(3 + round * 2));
        ASSERT_TRUE(home(reporter, a.udpPort(), "a") && home(onB, b.udpPort(), "b"));

        // 50 reports a second, the master killed 3 s in, 15 s more.
        const std::vector<ByteVector> sent = Reports("F" + std::to_string(round), 0, 900);
        std::vector<ByteVector> got;
        for (std::size_t i = 0; i < sent.size(); ++i) {
            reporter.send(sent[i], a.udpPort());
            if (i == 150)
                master.signal(SIGKILL);
            Pace(20);
            onB.take(got);
        }
        ASSERT_TRUE(a.waitFor("in step", 2, 30000) && b.waitFor("in step", 2, 30000));
        EXPECT_TRUE(replica.cli({ "ROLE" }).startsWith("master"));
        const ByteVector marker = mark(reporter, a.udpPort());
        for (ByteVector& packet : onB.until(marker, 20000))
            got.push_back(std::move(packet));
        EXPECT_EQ(Count(got, { marker }).arrived, 1u) << "nothing crosses after the failover";
        const Tally tally = Count(got, sent);
        std::printf("failover round %d: %zu of %zu reports crossed, %zu lost, %zu twice\n", round, tally.arrived,
            sent.size(), sent.size() - tally.arrived, tally.duplicates);
        if (tally.arrived != sent.size() || tally.duplicates > 0)
            std::printf("hub a:\n%s\nhub b:\n%s\n", qPrintable(a.log()), qPrintable(b.log()));
        std::fflush(stdout);
        lostAll += sent.size() - tally.arrived;
        twiceAll += tally.duplicates;
    }
    EXPECT_EQ(lostAll, 0u);
    EXPECT_EQ(twiceAll, 0u);
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

    // The killed hub's name is free again within a lease.
    ASSERT_TRUE(a.start(redis.url()));
    a.signal(SIGTERM);
    EXPECT_TRUE(a.file("system.dat").contains(ip + "\t")) << a.file("system.dat").toStdString();
    EXPECT_TRUE(a.file("system.dat").contains("PBX-R"));
    EXPECT_TRUE(a.file(ip + ".dat").contains("200"));
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
        hub.table().removeEntry(*hub.table().findSystem(s.ip));
        return SpinUntil([&] { return !shared(s); });
    };
    const auto saved = [&](const System& s) { return b.file("system.dat").contains(QString::fromStdString(s.ip)); };

    b.signal(SIGTERM);
    ASSERT_TRUE(saved(s1) && saved(s2) && saved(s3));
    ASSERT_TRUE(remove(s1)) << "deleted while B is away";
    EXPECT_EQ(redis.cli({ "EXISTS", "korvel:system:" + QString::fromStdString(s1.ip) }), "0");
    EXPECT_EQ(redis.cli({ "EXISTS", "korvel:stations:" + QString::fromStdString(s1.ip) }), "0");
    ASSERT_TRUE(b.start(redis.url(), { "--http", "127.0.0.1:0" }));
    ASSERT_TRUE(remove(s2)) << "deleted while B runs";
    EXPECT_TRUE(SpinUntil([&] { return b.systems() == 1; }));
    b.signal(SIGTERM);
    EXPECT_FALSE(saved(s1));
    EXPECT_FALSE(saved(s2));
    EXPECT_TRUE(saved(s3));
    EXPECT_TRUE(shared(s3)) << "B's restart put back what it should not";

    hub.table().clearAllSystems();
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
    const QString key = "korvel:system:" + QString::fromStdString(s.ip);
    ASSERT_TRUE(SpinUntil([&] {
        return a.table().findSystem(s.ip) && b.table().findSystem(s.ip) && redis.cli({ "HGET", key, "name" }) == "OLD";
    }));

    a.table().setSystemName(*a.table().findSystem(s.ip), "NEW");
    b.table().setSystemPort(*b.table().findSystem(s.ip), 9200);
    const auto agreed = [&] {
        for (LocalHub* hub : { &a, &b }) {
            const SystemEntry* entry = hub->table().findSystem(s.ip);
            if (!entry || entry->Name != "NEW" || entry->Port != 9200)
                return false;
        }
        return redis.cli({ "HMGET", key, "name", "port" }) == "NEW\n9200";
    };
    EXPECT_TRUE(SpinUntil(agreed));
    // A later change from B reaches A: whatever was under way before it has landed, and both still stand.
    s.send(StatusReport("NEW", { { "100", 1 } }), b.hub->udpPort());
    EXPECT_TRUE(SpinUntil([&] { return a.table().findSystem(s.ip)->findStation("100") >= 0; }));
    EXPECT_TRUE(agreed()) << redis.cli({ "HGETALL", key }).toStdString();
}

// The operator deletes a system through one hub's web API: the other hub
// loses it as it would after a delete in the first hub's window.
TEST_F(ClusterTest, DeleteThroughTheWebApiReachesTheOtherHub)
{
    LocalHub b(redis.url(), "b");
    ASSERT_TRUE(b.start());
    QTemporaryDir secrets;
    QFile token(secrets.filePath("admin-token"));
    ASSERT_TRUE(token.open(QIODevice::WriteOnly) && token.write("cluster-admin\n") > 0);
    token.close();
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
    const quint16 web = probe.serverPort();
    probe.close();
    HubProcess a("a");
    ASSERT_TRUE(a.start(redis.url(),
        { "--http", QStringLiteral("127.0.0.1:%1").arg(web), "--http-admin-token-file", token.fileName() }));
    // The status line of one request to A's web console.
    const auto ask = [&](const QByteArray& method, const std::string& path) {
        const QString answer
            = a.request(method, QString::fromStdString(path), "Authorization: Bearer cluster-admin\r\n");
        return answer.left(answer.indexOf('\r'));
    };

    System s(system(2)), kept(system(3));
    s.send(StatusReport("S", { { "100", 1 } }), b.hub->udpPort());
    kept.send(StatusReport("K", { { "200", 1 } }), b.hub->udpPort());
    ASSERT_TRUE(SpinUntil([&] { return b.table().size() == 2; }));
    ASSERT_TRUE(SpinUntil([&] { return ask("GET", "/api/systems/" + s.ip + "/stations") == "HTTP/1.1 200 OK"; }))
        << "A never learnt of the system";

    EXPECT_EQ(ask("DELETE", "/api/systems/" + s.ip), "HTTP/1.1 204 No Content");
    EXPECT_TRUE(a.waitFor(QString::fromStdString("korvel: web 127.0.0.1 deleted system " + s.ip)));
    EXPECT_TRUE(SpinUntil([&] { return !b.table().findSystem(s.ip); })) << "B still has the deleted system";
    EXPECT_TRUE(b.table().findSystem(kept.ip));
    EXPECT_EQ(ask("DELETE", "/api/systems/" + s.ip).left(12), "HTTP/1.1 404");
}

} // namespace
} // namespace korvel::testing
