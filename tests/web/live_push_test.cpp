#include "support/packets.h"
#include "web_test_support.h"

#include "log/console_log.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QWebSocket>

using namespace korvel;
using namespace korvel::testing;

namespace {

const QByteArray kUpgrade = "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
                            "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";

// A page's end of the feed: every message it was sent, parsed.
class LiveClient {
public:
    LiveClient(quint16 port, const QString& query = {})
    {
        QObject::connect(&socket_, &QWebSocket::textMessageReceived,
            [this](const QString& text) { messages.push_back(QJsonDocument::fromJson(text.toUtf8()).object()); });
        socket_.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/ws%2").arg(port).arg(query)));
    }
    void send(const QJsonObject& message)
    {
        socket_.sendTextMessage(QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
    }
    // The first message of kind `type` at or after `from`, waiting for it.
    const QJsonObject* next(const char* type, std::size_t& from)
    {
        const QJsonObject* found = nullptr;
        SpinUntil([&] {
            for (; from < messages.size() && !found; ++from) {
                if (messages[from]["t"].toString() == QLatin1String(type))
                    found = &messages[from];
            }
            return found != nullptr;
        });
        return found;
    }

    std::vector<QJsonObject> messages;

private:
    QWebSocket socket_;
};

class LivePushTest : public WebHarness { };

} // namespace

TEST_F(LivePushTest, TheListComesOnceThenOnlyWhatChanged)
{
    startWeb();
    FakeUdpPeer pbx(peer(2));
    pbx.send(StatusReport("QVX300", { { "41100", 1 }, { "41101", 0 } }), base + 1);
    ASSERT_TRUE(SpinUntil([&] { return system(peer(2)) && system(peer(2))->Stations.size() == 2; }));

    LiveClient page(web->port());
    std::size_t at = 0;
    const QJsonObject* hello = page.next("hello", at);
    ASSERT_TRUE(hello);
    const QJsonArray systems = (*hello)["systems"].toArray();
    ASSERT_EQ(systems.size(), 1);
    const qint64 id = systems[0]["id"].toInteger();
    page.send({ { "watch", id } });
    const QJsonObject* stations = page.next("stations", at);
    ASSERT_TRUE(stations);
    EXPECT_EQ((*stations)["numbers"].toArray(), QJsonArray({ "41100", "41101" }));
    EXPECT_EQ((*stations)["states"].toArray(), QJsonArray({ 1, 0 }));

    // A burst of reports: fewer, coalesced updates, each carrying only the
    // station that changed, ending in its last state.
    constexpr int kReports = 200;
    for (int i = 0; i < kReports; ++i)
        pbx.send(StatusReport("QVX300", { { "41101", i % 4 } }), base + 1);
    ASSERT_TRUE(SpinUntil([&] {
        return std::as_const(page.messages.back())["stations"]["changes"]
            == QJsonArray { QJsonArray { 1, "41101", 3 } };
    }));
    int updates = 0;
    for (std::size_t i = at; i < page.messages.size(); ++i) {
        const QJsonObject& update = page.messages[i];
        EXPECT_EQ(update["t"].toString(), "update");
        EXPECT_FALSE(update.contains("numbers"));
        if (update.contains("stations")) {
            ++updates;
            EXPECT_EQ(update["stations"]["changes"].toArray().size(), 1);
            EXPECT_EQ(update["stations"]["count"].toInt(), 2);
        }
    }
    EXPECT_LT(updates, kReports / 4);

    // A second system appears as one row; the first was heard, not changed.
    FakeUdpPeer other(peer(3));
    other.send(StatusReport("QVX301", { { "42100", 2 } }), base + 1);
    ASSERT_TRUE(SpinUntil([&] { return std::as_const(page.messages.back()).contains("systems"); }));
    const QJsonArray added = std::as_const(page.messages.back())["systems"].toArray();
    ASSERT_EQ(added.size(), 1);
    EXPECT_EQ(added[0]["address"].toString().toStdString(), peer(3));
}

TEST_F(LivePushTest, OpeningTheFeedFollowsTheRulesOfTheRestAndIsBounded)
{
    WebOptions options;
    options.token = "s3cret-token";
    options.maxLiveClients = 1;
    startWeb(options);
    const struct {
        const char* what;
        QByteArray request;
        int status;
    } cases[] = {
        { "no token", "GET /ws HTTP/1.1\r\nHost: 127.0.0.1\r\n" + kUpgrade + "\r\n", 401 },
        { "wrong token", "GET /ws?access_token=guess HTTP/1.1\r\nHost: 127.0.0.1\r\n" + kUpgrade + "\r\n", 401 },
        { "another page's origin",
            "GET /ws?access_token=s3cret-token HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: http://evil.example\r\n"
                + kUpgrade + "\r\n",
            403 },
        { "another path", "GET /feed?access_token=s3cret-token HTTP/1.1\r\nHost: 127.0.0.1\r\n" + kUpgrade + "\r\n",
            404 },
        { "POST", "POST /ws?access_token=s3cret-token HTTP/1.1\r\nHost: 127.0.0.1\r\n" + kUpgrade + "\r\n", 405 },
    };
    for (const auto& c : cases)
        EXPECT_EQ(HttpExchange(web->port(), c.request).status, c.status) << c.what;

    LiveClient first(web->port(), QStringLiteral("?access_token=s3cret-token"));
    std::size_t at = 0;
    ASSERT_TRUE(first.next("hello", at));
    EXPECT_EQ(HttpExchange(web->port(),
                  "GET /ws HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer s3cret-token\r\n" + kUpgrade + "\r\n")
                  .status,
        503)
        << "one live client at most";
}

TEST_F(LivePushTest, AClientThatDoesNotReadIsDropped)
{
    WebOptions options;
    options.maxLiveBacklogBytes = 32 * 1024;
    startWeb(options);
    QTcpSocket lazy;
    // A small window, so the kernel holds little of what is sent.
    lazy.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
    lazy.setReadBufferSize(4096);
    lazy.connectToHost(QHostAddress::LocalHost, web->port());
    ASSERT_TRUE(lazy.waitForConnected(3000));
    lazy.write("GET /ws HTTP/1.1\r\nHost: 127.0.0.1\r\n" + kUpgrade + "\r\n");
    ASSERT_TRUE(SpinUntil([&] { return web->liveClients() == 1; }));

    // Trace lines are the bulkiest updates: each report is a dozen of them.
    log.enable();
    FakeUdpPeer pbx(peer(2));
    const bool dropped = SpinUntil(
        [&] {
            for (int i = 0; i < 50; ++i)
                pbx.send(StatusReport("QVX300", { { "41100", i % 4 }, { "41101", 0 } }), base + 1);
            return web->liveClients() == 0;
        },
        20000);
    log.disable();
    EXPECT_TRUE(dropped);
    lazy.setReadBufferSize(0);
    EXPECT_TRUE(SpinUntil([&] {
        lazy.readAll();
        return lazy.state() == QAbstractSocket::UnconnectedState;
    })) << "the hub closed the connection";
}
