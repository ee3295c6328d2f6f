#include "log/console_log.h"
#include "relay/sender_engine.h"
#include "support/wait_for.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

using namespace korvel;
using korvel::testing::WaitFor;

namespace {

// A forward to 127.0.0.1:port, resolved, for `system`.
ForwardTarget LoopbackTarget(int port, const std::string& system)
{
    ForwardTarget forward { "127.0.0.1", port, system, true, {} };
    forward.address.sin_family = AF_INET;
    forward.address.sin_port = htons(static_cast<std::uint16_t>(port));
    forward.address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return forward;
}

// Holds a test's name look-ups until released; always released at the end,
// since the look-up thread outlives the engine.
struct Gate {
    std::promise<void> promise;
    std::shared_future<void> opened = promise.get_future().share();
    bool open = false;
    void release()
    {
        if (!std::exchange(open, true))
            promise.set_value();
    }
    ~Gate() { release(); }
};

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
    ConsoleLog log;
    {
        SenderEngine engine(counters, log);
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
    ConsoleLog log;
    log.setSink(&capture);
    log.enable();

    TrafficCounters counters;
    std::mutex mutex;
    std::vector<std::string> failed;
    {
        SenderEngine engine(counters, log, {}, [&](const std::string&, const std::string& system) {
            std::lock_guard guard(mutex);
            failed.push_back(system);
        });
        const std::uint8_t bytes[6] = { 0x0B, 1, 0, 6, 0, 1 };
        // For the system at 127.0.0.9, whose bytes go to another address.
        engine.sendTcp("127.0.0.1", FreeTcpPortWithNothingListening(), bytes, "127.0.0.9");
        engine.sendUdp("not a host name", 9, bytes);
        engine.sendUdp(std::string(32, '1'), 9, bytes); // longer than a host field holds
        // Nothing listening on a UDP port is not a failure from the sender's view.
        engine.sendUdp("127.0.0.1", 9, bytes);
        ASSERT_TRUE(WaitFor([&] { return counters.LiveSenderCount.load() == 0; }));
        EXPECT_EQ(counters.SentByteCount.load(), 24);
    }

    std::sort(capture.lines.begin(), capture.lines.end());
    EXPECT_EQ(capture.lines,
        (std::vector<std::string> { std::string(32, '1') + " : gethostbyname() failed!",
            "127.0.0.1 : connect() errror!", "not a host name : gethostbyname() failed!" }));
    std::sort(failed.begin(), failed.end());
    EXPECT_EQ(failed, (std::vector<std::string> { std::string(32, '1'), "127.0.0.9", "not a host name" }));
}

TEST(SenderEngine, TcpSendDeliversThePacketAndCloses)
{
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));
    TrafficCounters counters;
    ConsoleLog log;
    SenderEngine engine(counters, log);
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
    ConsoleLog log;
    log.setSink(&capture);
    log.enable();

    QUdpSocket receiver;
    ASSERT_TRUE(receiver.bind(QHostAddress::LocalHost, 0));
    const int port = receiver.localPort();
    TrafficCounters counters;
    std::vector<std::string> failed;
    {
        SenderEngine engine(
            counters, log, {}, [&](const std::string& host, const std::string&) { failed.push_back(host); });
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

// Forwards of one batch are held until its end and then leave together: in
// the order they were asked for, behind nothing sent later to the same
// place, and a refused one fails alone, reported for its system.
TEST(SenderEngine, ForwardsOfABatchLeaveTogetherInOrderAndOneRefusalSparesTheRest)
{
    LockedCapture capture;
    ConsoleLog log;
    log.setSink(&capture);
    log.enable();

    QUdpSocket receiver;
    ASSERT_TRUE(receiver.bind(QHostAddress::LocalHost, 0));
    const ForwardTarget sink = LoopbackTarget(receiver.localPort(), "127.0.0.5");
    const ForwardTarget refused = LoopbackTarget(0, "127.0.0.6"); // the kernel refuses port 0
    // From the caller's thread, and all through the worker as when a batch
    // has used up its share of the caller's time.
    for (const auto budget : { std::chrono::microseconds(2000), std::chrono::microseconds(0) }) {
        SCOPED_TRACE(budget.count());
        capture.lines.clear();
        TrafficCounters counters;
        std::vector<std::string> failed;
        {
            SenderEngine::Options options;
            options.directSendBudget = budget;
            SenderEngine engine(counters, log, options,
                [&](const std::string&, const std::string& system) { failed.push_back(system); });
            const std::uint8_t one[1] = { 1 }, two[1] = { 2 }, three[1] = { 3 }, four[1] = { 4 }, five[1] = { 5 };
            engine.beginBatch();
            engine.forwardUdp(sink, one);
            engine.forwardUdp(refused, two);
            engine.forwardUdp(sink, three);
            EXPECT_FALSE(receiver.hasPendingDatagrams()) << "held until the batch ends";
            // Sent at once, but not ahead of what the batch holds.
            engine.sendUdp("127.0.0.1", receiver.localPort(), four);
            engine.forwardUdp(sink, five);
            engine.endBatch();
            ASSERT_TRUE(WaitFor([&] { return counters.LiveSenderCount.load() == 0; }));
            EXPECT_EQ(counters.SentByteCount.load(), 5) << "a refused datagram counts as sent";
        }
        std::vector<std::uint8_t> received;
        while (received.size() < 4 && (receiver.hasPendingDatagrams() || receiver.waitForReadyRead(2000))) {
            char data[16];
            ASSERT_EQ(receiver.readDatagram(data, sizeof data), 1);
            received.push_back(static_cast<std::uint8_t>(data[0]));
        }
        EXPECT_EQ(received, (std::vector<std::uint8_t> { 1, 3, 4, 5 }));
        EXPECT_EQ(capture.lines, (std::vector<std::string> { "127.0.0.1 : sendto() error!" }));
        EXPECT_EQ(failed, (std::vector<std::string> { "127.0.0.6" }));
    }
}

// A long batch counts its time against the budget: once the caller's share
// is spent, the rest goes to the worker, whose queue (ten jobs here) drops
// what does not fit. A batch of a few forwards is never timed.
TEST(SenderEngine, ALongBatchHandsTheRestToTheWorkerOnceItsShareIsSpent)
{
    ConsoleLog log;
    QUdpSocket receiver;
    ASSERT_TRUE(receiver.bind(QHostAddress::LocalHost, 0));
    const ForwardTarget sink = LoopbackTarget(receiver.localPort(), "127.0.0.5");
    const std::uint8_t report[1] = { 1 };
    for (const int forwards : { 10, 3000 }) {
        SCOPED_TRACE(forwards);
        TrafficCounters counters;
        SenderEngine::Options options;
        options.directSendBudget = std::chrono::microseconds(1);
        options.maxQueuedJobs = 10;
        SenderEngine engine(counters, log, options);
        engine.beginBatch();
        for (int i = 0; i < forwards; ++i)
            engine.forwardUdp(sink, report);
        engine.endBatch();
        ASSERT_TRUE(WaitFor([&] { return counters.LiveSenderCount.load() == 0; }));
        if (forwards == 10)
            EXPECT_EQ(engine.droppedJobs(), 0u);
        else
            EXPECT_GT(engine.droppedJobs(), 0u) << "the batch kept the caller past its share";
    }
}

// Names are looked up beside the sender: a slow look-up holds up only the
// sends to that name, a failed one fails only its own, and the answers are
// kept. Sends to one destination leave in call order, also when one of them
// left from the caller's thread.
TEST(SenderEngine, NamesAreLookedUpAsideAndEachDestinationKeepsItsOrder)
{
    LockedCapture capture;
    ConsoleLog log;
    log.setSink(&capture);
    log.enable();

    QUdpSocket receiver;
    ASSERT_TRUE(receiver.bind(QHostAddress::LocalHost, 0));
    const int port = receiver.localPort();
    Gate gate;
    std::mutex mutex;
    std::map<std::string, int> lookups;
    SenderEngine::Options options;
    options.names.lookup = [&, opened = gate.opened](const std::string& name) -> std::optional<in_addr> {
        {
            std::lock_guard guard(mutex);
            ++lookups[name];
        }
        if (name == "slow.test")
            opened.wait();
        if (name == "bad.test")
            return std::nullopt;
        return in_addr { htonl(INADDR_LOOPBACK) };
    };
    TrafficCounters counters;
    std::vector<std::string> failed;
    SenderEngine engine(
        counters, log, options, [&](const std::string& host, const std::string&) { failed.push_back(host); });
    const char* const hosts[]
        = { "slow.test", "127.0.0.1", "bad.test", "good.test", "slow.test", "127.0.0.1", "good.test" };
    for (std::uint8_t i = 0; i < std::size(hosts); ++i) {
        const std::uint8_t bytes[1] = { i };
        engine.sendUdp(hosts[i], port, bytes);
    }
    const auto receive = [&](std::size_t count) {
        std::vector<int> received;
        while (received.size() < count && (receiver.hasPendingDatagrams() || receiver.waitForReadyRead(2000))) {
            char data[4];
            if (receiver.readDatagram(data, sizeof data) == 1)
                received.push_back(data[0]);
        }
        return received;
    };
    const auto at = [](const std::vector<int>& list, int value) {
        return std::find(list.begin(), list.end(), value) - list.begin();
    };

    const std::vector<int> first = receive(4);
    ASSERT_EQ(std::multiset<int>(first.begin(), first.end()), (std::multiset<int> { 1, 3, 5, 6 }))
        << "only the slow name waits";
    EXPECT_LT(at(first, 1), at(first, 5));
    EXPECT_LT(at(first, 3), at(first, 6));
    gate.release();
    EXPECT_EQ(receive(2), (std::vector<int> { 0, 4 }));
    ASSERT_TRUE(WaitFor([&] { return counters.LiveSenderCount.load() == 0; }));
    EXPECT_EQ(counters.SentByteCount.load(), 7);

    EXPECT_EQ(capture.lines, (std::vector<std::string> { "bad.test : gethostbyname() failed!" }));
    EXPECT_EQ(failed, (std::vector<std::string> { "bad.test" }));
    std::lock_guard guard(mutex);
    EXPECT_EQ(lookups, (std::map<std::string, int> { { "bad.test", 1 }, { "good.test", 1 }, { "slow.test", 1 } }));
}

// Beyond the queue's bound sends are dropped, and the operator is told how
// many, once a second at most.
TEST(SenderEngine, AFullQueueDropsAndSaysSo)
{
    LockedCapture capture;
    ConsoleLog log;
    log.setSink(&capture);
    log.enable();
    Gate gate;
    SenderEngine::Options options;
    options.maxQueuedJobs = 2;
    options.names.lookup = [opened = gate.opened](const std::string&) -> std::optional<in_addr> {
        opened.wait();
        return std::nullopt;
    };
    TrafficCounters counters;
    {
        SenderEngine engine(counters, log, options);
        const auto started = std::chrono::steady_clock::now();
        const std::uint8_t bytes[1] = { 0 };
        for (int i = 0; i < 7; ++i)
            engine.sendUdp("slow.test", 9, bytes);
        EXPECT_EQ(engine.droppedJobs(), 5u);
        const auto reported = [&] {
            std::lock_guard guard(log.lock());
            int total = 0;
            for (const std::string& line : capture.lines) {
                unsigned count = 0;
                if (std::sscanf(line.c_str(), "Send queue full: %u packets dropped", &count) == 1)
                    total += static_cast<int>(count);
            }
            return total;
        };
        ASSERT_TRUE(WaitFor([&] { return reported() == 5; }, 5000)) << reported();
        const auto seconds
            = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started);
        std::lock_guard guard(log.lock());
        EXPECT_LE(capture.lines.size(), static_cast<std::size_t>(seconds.count()) + 1) << "once a second at most";
    }
}
