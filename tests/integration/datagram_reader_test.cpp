#include "relay/datagram_reader.h"
#include "support/event_loop.h"

#include <QTimer>
#include <QUdpSocket>

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>

using namespace korvel;
using namespace korvel::testing;

namespace {

// Counts what each batch of the reader held; nothing is sent.
class BatchRecorder : public Outbox {
public:
    void sendUdp(const std::string&, int, Bytes, const std::string&) override { }
    void sendTcp(const std::string&, int, Bytes, const std::string&) override { }
    void beginBatch() override { held.push_back(0); }
    std::vector<std::size_t> held;
};

struct Heard {
    std::string text;
    std::string from;
    int port = 0;
    bool operator==(const Heard&) const = default;
};

class DatagramReaderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(endpoint.bind(QHostAddress::LocalHost, 0));
        ASSERT_TRUE(sender.bind(QHostAddress(QStringLiteral("127.0.0.5")), 0));
        reader.watch(&endpoint);
    }
    void send(int count)
    {
        for (int i = 0; i < count; ++i)
            sender.writeDatagram(QByteArray::number(sent++), QHostAddress::LocalHost, endpoint.localPort());
    }
    Heard expected(int i) const { return { std::to_string(i), "127.0.0.5", sender.localPort() }; }

    BatchRecorder outbox;
    std::vector<Heard> heard;
    std::function<void()> onDatagram = [] {};
    DatagramReader reader { outbox, [this](Bytes packet, const std::string& from, int port) {
                               heard.push_back({ std::string(packet.begin(), packet.end()), from, port });
                               ++outbox.held.back();
                               onDatagram();
                           } };
    QUdpSocket endpoint;
    QUdpSocket sender;
    int sent = 0;
};

} // namespace

// Everything waiting is read, in order, with its sender, in batches of at
// most 32 that each open one batch of forwards; the reader follows its
// socket to a new port.
TEST_F(DatagramReaderTest, ReadsEveryDatagramInOrderAndInBatches)
{
    send(100);
    ASSERT_TRUE(SpinUntil([&] { return heard.size() == 100; }));
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(heard[std::size_t(i)], expected(i));
    EXPECT_LE(*std::max_element(outbox.held.begin(), outbox.held.end()), 32u);

    reader.stop();
    endpoint.close();
    ASSERT_TRUE(endpoint.bind(QHostAddress::LocalHost, 0));
    reader.watch(&endpoint);
    send(1);
    ASSERT_TRUE(SpinUntil([&] { return heard.size() == 101; }));
    EXPECT_EQ(heard.back(), expected(100));
}

// Datagrams that each take milliseconds to handle (a report forwarded to
// thousands of systems) are not all taken in one turn of the event loop: a
// call queued by the first of a burst runs before the burst's last is handled.
TEST_F(DatagramReaderTest, ASlowHandlerLeavesTheEventLoopItsTurn)
{
    onDatagram = [] { std::this_thread::sleep_for(std::chrono::milliseconds(4)); };
    send(1);
    ASSERT_TRUE(SpinUntil([&] { return heard.size() == 1; }));

    std::size_t heardAtTurn = 0;
    onDatagram = [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(4));
        if (heard.size() == 2)
            QTimer::singleShot(0, [&] { heardAtTurn = heard.size(); });
    };
    send(12);
    ASSERT_TRUE(SpinUntil([&] { return heard.size() == 13; }));
    EXPECT_GE(heardAtTurn, 2u);
    EXPECT_LT(heardAtTurn, 13u);
}

// What the forwarding thread sent to end its own wait is dropped unseen when
// the event loop reads the socket after it; whoever sends next is heard.
TEST_F(DatagramReaderTest, DropsWhatTheSkippedSenderSent)
{
    QUdpSocket wake;
    ASSERT_TRUE(wake.bind(QHostAddress::LocalHost, 0));
    sockaddr_in from {};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    from.sin_port = htons(wake.localPort());
    reader.skip(from);
    wake.writeDatagram(QByteArray(), QHostAddress::LocalHost, endpoint.localPort());
    wake.writeDatagram("x", QHostAddress::LocalHost, endpoint.localPort());
    send(1);
    ASSERT_TRUE(SpinUntil([&] { return !heard.empty(); }));
    EXPECT_EQ(heard, std::vector<Heard> { expected(0) });
}
