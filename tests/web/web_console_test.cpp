#include "web_test_support.h"

#include "service/operator_commands.h"
#include "support/wait_for.h"
#include "web/metrics_text.h"
#include "web/traffic_history.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

using namespace korvel;
using namespace korvel::testing;

namespace {

QJsonObject Json(const HttpAnswer& answer)
{
    return QJsonDocument::fromJson(answer.body).object();
}

// The value of one sample line of /metrics, or -1 when it is missing.
double Metric(quint16 port, const QByteArray& series)
{
    for (const QByteArray& line : HttpGet(port, "/metrics").body.split('\n')) {
        if (line.startsWith(series + ' '))
            return line.mid(series.size() + 1).toDouble();
    }
    return -1;
}

class WebConsoleTest : public WebHarness { };

// Each command as the web API hands it on, answered with `failure` if set.
class RecordingCommands : public OperatorCommands {
public:
    std::vector<std::string> calls;
    std::optional<Failure> failure;

    Result<void> addSystem(const CommandSource& source, const NewSystem& s) override
    {
        return answer(source,
            "add " + s.address + ' ' + s.name + ' ' + std::to_string(s.port.value_or(0))
                + (s.velka ? " velka" : " qvx"));
    }
    Result<void> deleteSystem(const CommandSource& source, const std::string& address) override
    {
        return answer(source, "delete " + address);
    }
    Result<void> initialize(const CommandSource& source) override { return answer(source, "initialize"); }
    Result<void> setForwardStatus(const CommandSource& source, bool on) override
    {
        return answer(source, on ? "forward on" : "forward off");
    }
    Result<void> applyOptions(const CommandSource& source, const EndpointOptions&) override
    {
        return answer(source, "options");
    }
    Result<void> saveNow(const CommandSource& source) override { return answer(source, "save"); }
    Result<void> reload(const CommandSource& source) override { return answer(source, "reload"); }
    Result<void> pingSystem(const CommandSource& source, const std::string& address, PingRequest) override
    {
        return answer(source, "ping " + address);
    }

private:
    // Each call with its source, as the audit line names it.
    Result<void> answer(const CommandSource& source, const std::string& call)
    {
        calls.push_back(source.name + ": " + call);
        return failure ? Result<void>(*failure) : Result<void>();
    }
};

} // namespace

TEST_F(WebConsoleTest, JsonAndMetricsFollowAStatusReport)
{
    startWeb();
    const QByteArray reports = "korvel_datagrams_received_total{endpoint=\"udp\",message=\"MSG_STATUSREPORT\"}";
    const double before = Metric(web->port(), reports);
    FakeUdpPeer pbx(peer(2));
    pbx.send(StatusReport("QVX300", { { "41100", 1 }, { "41101", 0 } }), base + 1);
    ASSERT_TRUE(SpinUntil([&] { return system(peer(2)) && system(peer(2))->Stations.size() == 2; }));

    const QJsonArray systems = Json(HttpGet(web->port(), "/api/systems"))["systems"].toArray();
    ASSERT_EQ(systems.size(), 1);
    EXPECT_EQ(systems[0]["address"].toString().toStdString(), peer(2));
    EXPECT_EQ(systems[0]["name"].toString(), "QVX300");
    EXPECT_EQ(systems[0]["statusText"].toString(), "Working");
    EXPECT_EQ(systems[0]["stations"].toInt(), 2);

    const QJsonObject stations
        = Json(HttpGet(web->port(), "/api/systems/" + QByteArray(peer(2).c_str()) + "/stations"));
    const QJsonArray list = stations["stations"].toArray();
    ASSERT_EQ(list.size(), 2);
    EXPECT_EQ(list[0]["number"].toString(), "41100");
    EXPECT_EQ(list[0]["state"].toInt(), 1);
    EXPECT_EQ(list[1]["state"].toInt(), 0);
    EXPECT_EQ(stations["counts"]["Busy"].toInt(), 1);
    EXPECT_EQ(HttpGet(web->port(), "/api/systems/127.9.9.9/stations").status, 404);

    const QJsonObject stats = Json(HttpGet(web->port(), "/api/stats"));
    EXPECT_EQ(stats["systems"]["Working"].toInt(), 1);
    EXPECT_EQ(stats["stations"].toInt(), 2);
    EXPECT_GT(stats["receivedBytes"].toInteger(), 0);
    // The server names its version.
    EXPECT_TRUE(QRegularExpression(QStringLiteral("\r\nServer: korvel/\\d+\\.\\d+"))
                    .match(QString::fromLatin1(HttpGet(web->port(), "/api/stats").head))
                    .hasMatch());

    EXPECT_EQ(Metric(web->port(), reports), before + 1);
    EXPECT_EQ(Metric(web->port(), "korvel_systems{status=\"working\"}"), 1);
    EXPECT_EQ(Metric(web->port(), "korvel_stations_registered"), 2);
}

// Datagrams the hub has not read yet are its backlog: shown while they wait
// (nothing runs the hub's loop between the sends and the look), gone once read.
TEST_F(WebConsoleTest, TheReceiveBacklogIsShownUntilRead)
{
    startWeb();
    FakeUdpPeer pbx(peer(2));
    for (int i = 0; i < 20; ++i)
        pbx.send(StatusReport("QVX300", { { std::to_string(41100 + i), 1 } }), base + 1);
    FakeUdpPeer rack(peer(3));
    rack.send(StatusReport("RACK", { { "100", 1 } }), base + 3);
    // In the kernel, or read by the forwarding thread and not yet handled;
    // a batch on its way from one to the other is in neither for a moment.
    // The event loop does not run here, so nothing is handled.
    const std::uint64_t sent = 20u * StatusReport("QVX300", { { "41100", 1 } }).size();
    MetricsSnapshot waiting;
    WaitFor([&] {
        waiting = web->metrics();
        return waiting.receiveQueues[0].bytes >= sent;
    });
    EXPECT_GE(waiting.receiveQueues[0].bytes, sent) << "the UDP endpoint's queue";
    EXPECT_EQ(waiting.receiveQueues[1].bytes, 0u) << "UDP_VELKA has nothing";
    EXPECT_GT(waiting.receiveQueues[2].bytes, 0u) << "the UDP_RACK endpoint's queue";
    EXPECT_TRUE(MetricsText(waiting).contains(
        "korvel_receive_queue_bytes{endpoint=\"udp\"} " + QByteArray::number(waiting.receiveQueues[0].bytes) + "\n"));

    ASSERT_TRUE(SpinUntil([&] { return system(peer(2)) && system(peer(2))->Stations.size() == 20; }));
    ASSERT_TRUE(SpinUntil([&] { return system(peer(3)) != nullptr; }));
    EXPECT_EQ(Metric(web->port(), "korvel_receive_queue_bytes{endpoint=\"udp\"}"), 0);
    EXPECT_EQ(Metric(web->port(), "korvel_receive_queue_bytes{endpoint=\"udp_rack\"}"), 0);
    EXPECT_EQ(Metric(web->port(), "korvel_receive_dropped_total{endpoint=\"udp\"}"), 0);
    EXPECT_EQ(Json(HttpGet(web->port(), "/api/stats"))["receiveQueueBytes"].toInt(-1), 0);
}

TEST_F(WebConsoleTest, ClusterStateOnlyWithACluster)
{
    startWeb();
    EXPECT_FALSE(Json(HttpGet(web->port(), "/api/stats")).contains("cluster"));
    EXPECT_EQ(Metric(web->port(), "korvel_cluster_connected"), -1);

    ClusterStatus status { "hub \"east\"", "connected", "", 3, 7, 11, 5 };
    web->setClusterStatus([&] { return status; });
    const QJsonObject cluster = Json(HttpGet(web->port(), "/api/stats"))["cluster"].toObject();
    EXPECT_EQ(cluster["node"].toString(), "hub \"east\"");
    EXPECT_EQ(cluster["state"].toString(), "connected");
    EXPECT_EQ(cluster["liveNodes"].toInt(), 3);
    EXPECT_EQ(cluster["systemsOwned"].toInt(), 7);
    EXPECT_EQ(Metric(web->port(), "korvel_cluster_info{node=\"hub \\\"east\\\"\"}"), 1);
    EXPECT_EQ(Metric(web->port(), "korvel_cluster_connected"), 1);
    EXPECT_EQ(Metric(web->port(), "korvel_cluster_nodes"), 3);
    EXPECT_EQ(Metric(web->port(), "korvel_cluster_systems_owned"), 7);
    EXPECT_EQ(Metric(web->port(), "korvel_cluster_published_total"), 11);
    EXPECT_EQ(Metric(web->port(), "korvel_cluster_received_total"), 5);
    EXPECT_EQ(HttpGet(web->port(), "/healthz").status, 200);
    status.state = "degraded";
    status.problem = "the other hubs cannot be heard";
    EXPECT_EQ(Metric(web->port(), "korvel_cluster_connected"), 0);
    const HttpAnswer health = HttpGet(web->port(), "/healthz");
    EXPECT_EQ(health.status, 503);
    EXPECT_EQ(health.body, "cluster: the other hubs cannot be heard\n");
}

TEST_F(WebConsoleTest, HealthSaysWhichEndpointIsDown)
{
    startWeb();
    HttpAnswer health = HttpGet(web->port(), "/healthz");
    EXPECT_EQ(health.status, 200);
    EXPECT_EQ(health.body, "ok\n");
    hub->enterClientOnlyMode();
    health = HttpGet(web->port(), "/healthz");
    EXPECT_EQ(health.status, 503);
    EXPECT_EQ(health.body, "the TCP endpoint is not listening\n");
}

TEST_F(WebConsoleTest, BadRequestsGetAClientErrorAndTheConsoleGoesOn)
{
    startWeb();
    const struct {
        const char* what;
        QByteArray request;
        int status;
    } cases[] = {
        { "not HTTP", "HELLO THERE\r\n\r\n", 400 },
        { "binary", QByteArray("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03\r\n\r\n", 16), 400 },
        { "POST", "POST /healthz HTTP/1.1\r\nHost: localhost\r\nContent-Length: 2\r\n\r\n{}", 405 },
        { "write, read-only", "POST /api/systems HTTP/1.1\r\nHost: localhost\r\nContent-Length: 2\r\n\r\n{}", 403 },
        { "unknown path", "GET /api/../../etc/passwd HTTP/1.1\r\nHost: localhost\r\n\r\n", 404 },
        { "long line", "GET /" + QByteArray(6000, 'a') + " HTTP/1.1\r\n\r\n", 414 },
        { "header flood", "GET / HTTP/1.1\r\nX-A: " + QByteArray(20000, 'b') + "\r\n\r\n", 431 },
        { "large body", "GET / HTTP/1.1\r\nContent-Length: 100000\r\n\r\n" + QByteArray(30000, 'c'), 413 },
        { "foreign Host", "GET /api/systems HTTP/1.1\r\nHost: rebind.example:80\r\n\r\n", 403 },
    };
    for (const auto& c : cases)
        EXPECT_EQ(HttpExchange(web->port(), c.request).status, c.status) << c.what;
    EXPECT_EQ(HttpGet(web->port(), "/healthz").status, 200);
}

TEST_F(WebConsoleTest, ATokenIsAskedForOnEveryDataPath)
{
    WebOptions options;
    options.token = "s3cret-token";
    startWeb(options);
    const struct {
        QByteArray path;
        QByteArray headers;
        int status;
    } cases[] = {
        { "/api/systems", "", 401 },
        { "/metrics", "Authorization: Bearer wrong-token!\r\n", 401 },
        { "/healthz", "Authorization: Basic czNjcmV0LXRva2Vu\r\n", 401 },
        { "/metrics", "Authorization: Bearer s3cret-token\r\n", 200 },
        { "/api/stats", "authorization: bearer s3cret-token\r\n", 200 },
        { "/api/systems?access_token=s3cret-token", "", 200 },
        // With a token the Host does not matter: the console may sit behind any name.
        { "/healthz", "Authorization: Bearer s3cret-token\r\nHost: hub.example\r\n", 200 },
    };
    for (const auto& c : cases) {
        const HttpAnswer answer = HttpExchange(web->port(), "GET " + c.path + " HTTP/1.1\r\n" + c.headers + "\r\n");
        EXPECT_EQ(answer.status, c.status) << c.path.toStdString() << " " << c.headers.toStdString();
    }
}

TEST_F(WebConsoleTest, OpenConnectionsAreBoundedAndIdleOnesClosed)
{
    WebOptions options;
    options.maxConnections = 3;
    options.idleTimeoutMs = 400;
    startWeb(options);
    std::vector<std::unique_ptr<QTcpSocket>> idle;
    for (int i = 0; i < 3; ++i) {
        idle.push_back(std::make_unique<QTcpSocket>());
        idle.back()->connectToHost(QHostAddress::LocalHost, web->port());
        ASSERT_TRUE(idle.back()->waitForConnected(3000));
    }
    ASSERT_TRUE(SpinUntil([&] { return web->openConnections() == 3; }));
    const HttpAnswer refused = HttpGet(web->port(), "/healthz");
    EXPECT_EQ(refused.status, 503) << "a fourth connection is turned away " << refused.head.toStdString();
    ASSERT_TRUE(SpinUntil([&] {
        return std::all_of(idle.begin(), idle.end(),
            [](const auto& socket) { return socket->state() == QAbstractSocket::UnconnectedState; });
    })) << "idle connections are closed";
    EXPECT_EQ(HttpGet(web->port(), "/healthz").status, 200);
}

TEST(WebOptions, ListenAddressAndTokenRule)
{
    const struct {
        const char* text;
        const char* address; // null: refused
        int port;
    } cases[] = {
        { "9080", "127.0.0.1", 9080 },
        { "0.0.0.0:80", "0.0.0.0", 80 },
        { "[::1]:9080", "::1", 9080 },
        { "::1:9080", nullptr, 0 },
        { "127.0.0.1:", nullptr, 0 },
        { "70000", nullptr, 0 },
        { "hub:9080", nullptr, 0 },
        { "-1", nullptr, 0 },
    };
    for (const auto& c : cases) {
        const Result<WebOptions> options = ParseHttpListen(QString::fromLatin1(c.text));
        if (!c.address) {
            ASSERT_FALSE(options) << c.text;
            EXPECT_NE(options.error().find(c.text), std::string::npos) << options.error();
            continue;
        }
        ASSERT_TRUE(options) << c.text << ": " << options.error();
        EXPECT_EQ(options->address, QHostAddress(QLatin1String(c.address))) << c.text;
        EXPECT_EQ(options->port, c.port) << c.text;
    }

    WebOptions open = *ParseHttpListen(QStringLiteral("0.0.0.0:9080"));
    Result<void> checked = CheckWebOptions(open);
    ASSERT_FALSE(checked);
    EXPECT_NE(checked.error().find("--http-token-file"), std::string::npos) << checked.error();
    open.token = "t";
    checked = CheckWebOptions(open);
    ASSERT_FALSE(checked) << "a token in clear";
    EXPECT_NE(checked.error().find("--http-insecure"), std::string::npos) << checked.error();
    open.insecure = true;
    EXPECT_TRUE(CheckWebOptions(open));
    open.insecure = false;
    open.tls = TlsFiles { QStringLiteral("hub.crt"), QStringLiteral("hub.key") };
    EXPECT_TRUE(CheckWebOptions(open));
    EXPECT_TRUE(CheckWebOptions(*ParseHttpListen(QStringLiteral("[::1]:1"))));
}

TEST_F(WebConsoleTest, WritesReachTheOperatorCommandsAndEachFailureItsStatus)
{
    WebOptions options;
    options.adminToken = "admin";
    startWeb(options);
    const auto write = [&](const QByteArray& method, const QByteArray& path, const QByteArray& body) {
        return HttpExchange(web->port(),
            method + ' ' + path
                + " HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer admin\r\n"
                  "Content-Type: application/json\r\nContent-Length: "
                + QByteArray::number(body.size()) + "\r\n\r\n" + body);
    };
    EXPECT_EQ(write("POST", "/api/save", {}).status, 403) << "without commands the console stays read-only";

    RecordingCommands commands;
    web->setOperatorCommands(&commands);
    struct Case {
        QByteArray method, path, body;
        std::string call;
    };
    const Case cases[] = {
        { "POST", "/api/systems", R"({"address":"127.0.0.5","name":"N","port":9100,"type":"velka"})",
            "web 127.0.0.1: add 127.0.0.5 N 9100 velka" },
        { "DELETE", "/api/systems/127.0.0.5", {}, "web 127.0.0.1: delete 127.0.0.5" },
        { "POST", "/api/initialize", R"({"confirm":"initialize"})", "web 127.0.0.1: initialize" },
        { "PUT", "/api/options", R"({"forward_status":false})", "web 127.0.0.1: forward off" },
        { "POST", "/api/save", {}, "web 127.0.0.1: save" },
        { "POST", "/api/reload", "{}", "web 127.0.0.1: reload" },
    };
    const std::pair<Failure::Kind, int> kinds[] = { { Failure::Kind::Invalid, 400 }, { Failure::Kind::NotFound, 404 },
        { Failure::Kind::Conflict, 409 }, { Failure::Kind::Failed, 500 }, { Failure::Kind::Unavailable, 503 } };
    for (const Case& c : cases) {
        for (const auto& [kind, status] : kinds) {
            commands.failure = Failure { kind, "the reason" };
            commands.calls.clear();
            const HttpAnswer answer = write(c.method, c.path, c.body);
            EXPECT_EQ(answer.status, status) << c.path.toStdString();
            EXPECT_EQ(answer.body, "the reason\n") << c.path.toStdString();
            EXPECT_EQ(commands.calls, std::vector<std::string> { c.call });
        }
    }
    EXPECT_EQ(Metric(web->port(), "korvel_web_writes_total{result=\"failed\"}"), 12);
}

TEST(TrafficHistory, EachSampleCountsThePacketsOfItsOwnSecond)
{
    TrafficCounters counters;
    counters.Datagrams[0][8] = 5; // before the history starts: not counted
    TrafficHistory history(counters);
    counters.Datagrams[0][8] += 40;
    counters.Datagrams[2][0] += 1;
    counters.TcpRequests[9] += 2;
    counters.ReceivedByteCount += 700;
    EXPECT_EQ(history.sample(1000).packets, 43u);
    EXPECT_EQ(history.sample(2000).packets, 0u);
    counters.Datagrams[1][14] += 3;
    const TrafficHistory::Sample& third = history.sample(3000);
    EXPECT_EQ(third.packets, 3u);
    EXPECT_EQ(TrafficHistory::ToJson(third), (QJsonArray { 3000, 0, 0, 3, 0 }));
    EXPECT_EQ(history.samples().front().received, 700u);
}
