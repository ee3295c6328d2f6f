#include "relay/sender_engine.h"
#include "store/console_log.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <numeric>
#include <thread>

using namespace korvel;

namespace {

bool WaitFor(const std::function<bool()>& done, int timeoutMs = 5000)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

class LockedCapture : public ConsoleSink {
public:
    void appendLine(std::string_view line) override { lines.emplace_back(line); }
    std::vector<std::string> lines; // read after the engine is idle
};

int FreeTcpPortWithNothingListening()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    const int port = server.serverPort();
    server.close();
    return port;
}

} // namespace

TEST(SenderEngine, CopiesTheBytesAndCountsEverySender)
{
    QUdpSocket receiver;
    ASSERT_TRUE(receiver.bind(QHostAddress::LocalHost, 0));
    TrafficCounters counters;
    {
        SenderEngine engine(counters);
        std::vector<std::uint8_t> buffer = { 1, 2, 3, 4 };
        engine.sendUdp("127.0.0.1", receiver.localPort(), buffer);
        buffer.assign(4, 0xEE); // the caller may reuse its buffer at once
        ASSERT_TRUE(receiver.waitForReadyRead(5000));
        char data[16];
        EXPECT_EQ(receiver.readDatagram(data, sizeof data), 4);
        EXPECT_EQ(std::vector<std::uint8_t>(data, data + 4), (std::vector<std::uint8_t> { 1, 2, 3, 4 }));
        ASSERT_TRUE(WaitFor([&] { return counters.LiveSenderCount.load() == 0; }));
        EXPECT_EQ(counters.SentByteCount.load(), 4);
    }
}

TEST(SenderEngine, FailuresAreLoggedReportedAndStillCounted)
{
    LockedCapture capture;
    ConsoleSink* previous = SetConsoleSink(&capture);
    EnableConsoleLog();

    TrafficCounters counters;
    std::mutex mutex;
    std::vector<std::string> failed;
    {
        SenderEngine engine(counters, {}, [&](const std::string& host) {
            std::lock_guard guard(mutex);
            failed.push_back(host);
        });
        const std::uint8_t bytes[6] = { 0x0B, 1, 0, 6, 0, 1 };
        engine.sendTcp("127.0.0.1", FreeTcpPortWithNothingListening(), bytes);
        engine.sendUdp("not a host name", 9, bytes);
        engine.sendUdp(std::string(32, '1'), 9, bytes); // longer than a host field holds
        // Nothing listening on a UDP port is not a failure from the sender's view.
        engine.sendUdp("127.0.0.1", 9, bytes);
        ASSERT_TRUE(WaitFor([&] { return counters.LiveSenderCount.load() == 0; }));
        EXPECT_EQ(counters.SentByteCount.load(), 24);
    }
    DisableConsoleLog();
    SetConsoleSink(previous);

    std::sort(capture.lines.begin(), capture.lines.end());
    EXPECT_EQ(capture.lines,
        (std::vector<std::string> { std::string(32, '1') + " : gethostbyname() failed!",
            "127.0.0.1 : connect() errror!", "not a host name : gethostbyname() failed!" }));
    std::sort(failed.begin(), failed.end());
    EXPECT_EQ(failed, (std::vector<std::string> { std::string(32, '1'), "127.0.0.1", "not a host name" }));
}

TEST(SenderEngine, TcpSendDeliversThePacketAndCloses)
{
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));
    TrafficCounters counters;
    SenderEngine engine(counters);
    const std::uint8_t bytes[3] = { 7, 8, 9 };
    engine.sendTcp("127.0.0.1", server.serverPort(), bytes);
    ASSERT_TRUE(server.waitForNewConnection(5000));
    QTcpSocket* socket = server.nextPendingConnection();
    QByteArray received;
    while (socket->state() == QAbstractSocket::ConnectedState && socket->waitForReadyRead(2000))
        received += socket->readAll();
    received += socket->readAll();
    EXPECT_EQ(received, QByteArray("\x07\x08\x09", 3));
    ASSERT_TRUE(WaitFor([&] { return counters.LiveSenderCount.load() == 0; }));
}

// The engine shares one copy among sends of equal bytes and hands the kernel
// many datagrams at once: neither may blur what each call sent, nor let one
// refused datagram take the others of its batch down with it.
TEST(SenderEngine, EachSendCarriesItsOwnBytesAndOneRefusalSparesTheRest)
{
    LockedCapture capture;
    ConsoleSink* previous = SetConsoleSink(&capture);
    EnableConsoleLog();

    QUdpSocket receiver;
    ASSERT_TRUE(receiver.bind(QHostAddress::LocalHost, 0));
    const int port = receiver.localPort();
    TrafficCounters counters;
    std::vector<std::string> failed;
    {
        SenderEngine engine(counters, {}, [&](const std::string& host) { failed.push_back(host); });
        std::vector<std::uint8_t> buffer = { 1, 2, 3 };
        engine.sendUdp("127.0.0.1", port, buffer);
        engine.sendUdp("127.0.0.1", port, buffer);
        buffer = { 4, 5, 6 };
        engine.sendUdp("127.0.0.1", 0, buffer); // the kernel refuses port 0
        engine.sendUdp("127.0.0.1", port, buffer);
        buffer = { 4, 5 };
        engine.sendUdp("127.0.0.1", port, buffer);
        ASSERT_TRUE(WaitFor([&] { return counters.LiveSenderCount.load() == 0; }));
        EXPECT_EQ(counters.SentByteCount.load(), 14);
    }
    DisableConsoleLog();
    SetConsoleSink(previous);

    std::vector<std::vector<std::uint8_t>> received;
    while (received.size() < 4 && (receiver.hasPendingDatagrams() || receiver.waitForReadyRead(2000))) {
        char data[16];
        const qint64 count = receiver.readDatagram(data, sizeof data);
        ASSERT_GE(count, 0);
        received.emplace_back(data, data + count);
    }
    EXPECT_EQ(received, (std::vector<std::vector<std::uint8_t>> { { 1, 2, 3 }, { 1, 2, 3 }, { 4, 5, 6 }, { 4, 5 } }));
    EXPECT_EQ(capture.lines, (std::vector<std::string> { "127.0.0.1 : sendto() error!" }));
    EXPECT_EQ(failed, (std::vector<std::string> { "127.0.0.1" }));
}

// A datagram may leave from the caller's thread, but never ahead of one that
// is still queued: a name look-up keeps the first in the worker's queue.
TEST(SenderEngine, DatagramsToOneDestinationLeaveInCallOrder)
{
    QUdpSocket receiver;
    ASSERT_TRUE(receiver.bind(QHostAddress::LocalHost, 0));
    const int port = receiver.localPort();
    TrafficCounters counters;
    SenderEngine engine(counters);
    for (std::uint8_t i = 0; i < 20; ++i) {
        const std::uint8_t bytes[1] = { i };
        engine.sendUdp(i == 0 ? "localhost" : "127.0.0.1", port, bytes);
    }
    std::vector<std::uint8_t> received;
    while (received.size() < 20 && (receiver.hasPendingDatagrams() || receiver.waitForReadyRead(2000))) {
        char data[4];
        ASSERT_EQ(receiver.readDatagram(data, sizeof data), 1);
        received.push_back(static_cast<std::uint8_t>(data[0]));
    }
    std::vector<std::uint8_t> expected(20);
    std::iota(expected.begin(), expected.end(), std::uint8_t { 0 });
    EXPECT_EQ(received, expected);
    ASSERT_TRUE(WaitFor([&] { return counters.LiveSenderCount.load() == 0; }));
    EXPECT_EQ(counters.SentByteCount.load(), 20);
}
