#include "relay/request_connections.h"

#include "support/event_loop.h"

#include <QTcpServer>
#include <QTcpSocket>

#include <gtest/gtest.h>

#include <memory>

using namespace korvel;
using korvel::testing::SpinUntil;

namespace {

class RequestConnectionsTest : public ::testing::Test {
protected:
    void start(RequestConnections::Limits limits, std::string refused = {})
    {
        connections = std::make_unique<RequestConnections>(
            RequestConnections::Handlers { [refused](const std::string& peer) { return peer != refused; },
                [this](int id, const std::string& peer, Bytes request) {
                    requests.push_back({ peer, std::vector<std::uint8_t>(request.begin(), request.end()) });
                    // Answered on the connection it came on: the Length and the peer's last byte.
                    const std::uint8_t answer[]
                        = { wire::kMarker, MSG_ACK, 0, 5, static_cast<std::uint8_t>(peer.back()) };
                    EXPECT_EQ(connections->write(id, answer), 5);
                },
                [this](const std::string& peer) { closed.push_back(peer); },
                [this](const std::string& peer, int code) { errors.push_back(peer + " " + std::to_string(code)); },
                [this](const std::string& peer) { shed.push_back(peer); } },
            limits);
        ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
        server.pauseAccepting();
        connections->listenOn(static_cast<int>(server.socketDescriptor()));
    }

    // A client from its own loopback address, connected once the hub has taken it.
    std::unique_ptr<QTcpSocket> connectFrom(const char* address)
    {
        auto socket = std::make_unique<QTcpSocket>();
        socket->bind(QHostAddress(QString::fromLatin1(address)));
        socket->connectToHost(QHostAddress::LocalHost, server.serverPort());
        EXPECT_TRUE(SpinUntil([&] { return socket->state() == QAbstractSocket::ConnectedState; }));
        return socket;
    }

    static void send(QTcpSocket& socket, const std::vector<std::uint8_t>& bytes)
    {
        socket.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()));
        socket.flush();
    }

    static std::vector<std::uint8_t> Request(std::uint16_t length)
    {
        std::vector<std::uint8_t> bytes(length, 0x41);
        bytes[0] = wire::kMarker;
        bytes[1] = MSG_GETDATA;
        WriteU16(bytes, wire::kLengthOffset, length);
        return bytes;
    }

    struct Received {
        std::string peer;
        std::vector<std::uint8_t> bytes;
    };
    QTcpServer server;
    std::unique_ptr<RequestConnections> connections;
    std::vector<Received> requests;
    std::vector<std::string> closed, errors, shed;
};

} // namespace

TEST_F(RequestConnectionsTest, GathersARequestSentInPiecesAndAnswersOnItsOwnConnection)
{
    start({});
    auto first = connectFrom("127.0.0.2");
    auto second = connectFrom("127.0.0.3");
    const auto request = Request(38);
    send(*first, { request.begin(), request.begin() + 3 });
    // The second connection's request comes after the first piece, so the
    // hub has read that piece by the time this one is handled.
    send(*second, Request(38));
    ASSERT_TRUE(SpinUntil([&] { return requests.size() == 1; }));
    EXPECT_EQ(requests[0].peer, "127.0.0.3");
    send(*first, { request.begin() + 3, request.begin() + 20 });
    send(*first, { request.begin() + 20, request.end() });
    ASSERT_TRUE(SpinUntil([&] { return requests.size() == 2; }));
    EXPECT_EQ(requests[1].peer, "127.0.0.2");
    EXPECT_EQ(requests[1].bytes, request);

    ASSERT_TRUE(SpinUntil([&] { return first->bytesAvailable() >= 5 && second->bytesAvailable() >= 5; }));
    EXPECT_EQ(first->readAll().back(), '2');
    EXPECT_EQ(second->readAll().back(), '3');

    first->disconnectFromHost();
    ASSERT_TRUE(SpinUntil([&] { return closed.size() == 1; }));
    EXPECT_EQ(closed[0], "127.0.0.2");
    EXPECT_EQ(connections->size(), 1u);
    EXPECT_EQ(connections->write(-5, request), -1);
    EXPECT_TRUE(errors.empty()) << "an orderly close is no error";
}

TEST_F(RequestConnectionsTest, RefusedPeersAreClosedAndTheIdlestMakesRoomPastTheBound)
{
    start({ .idleMs = 60000, .maxConnections = 2 }, "127.0.0.9");
    auto stranger = connectFrom("127.0.0.9");
    ASSERT_TRUE(SpinUntil([&] { return stranger->state() == QAbstractSocket::UnconnectedState; }));

    auto quiet = connectFrom("127.0.0.2");
    auto busy = connectFrom("127.0.0.3");
    send(*busy, Request(8));
    ASSERT_TRUE(SpinUntil([&] { return requests.size() == 1; }));
    ASSERT_EQ(connections->size(), 2u);

    auto late = connectFrom("127.0.0.4");
    send(*late, Request(8));
    ASSERT_TRUE(SpinUntil([&] { return requests.size() == 2; }));
    EXPECT_EQ(shed, (std::vector<std::string> { "127.0.0.2" }));
    EXPECT_EQ(closed, (std::vector<std::string> { "127.0.0.2" })) << "the refused stranger was never a connection";
    EXPECT_EQ(connections->size(), 2u);
    EXPECT_TRUE(SpinUntil([&] { return quiet->state() == QAbstractSocket::UnconnectedState; }));
}

TEST_F(RequestConnectionsTest, SilentConnectionsAreClosedAfterTheIdleTime)
{
    start({ .idleMs = 40, .maxConnections = 8 });
    auto silent = connectFrom("127.0.0.2");
    ASSERT_TRUE(SpinUntil([&] { return closed.size() == 1; }));
    EXPECT_EQ(closed[0], "127.0.0.2");
    EXPECT_TRUE(shed.empty()) << "a connection with nothing to send is closed, not shed";
    EXPECT_TRUE(SpinUntil([&] { return silent->state() == QAbstractSocket::UnconnectedState; }));
    EXPECT_EQ(connections->size(), 0u);
}
