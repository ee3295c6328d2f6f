#include "log/console_log.h"
#include "relay/sender_engine.h"
#include "support/wait_for.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace korvel;

namespace {

// Serialised by the log's lock, like every sink.
class CountingSink : public ConsoleSink {
public:
    void appendLine(std::string_view) override { ++lines; }
    std::atomic<int> lines { 0 };
};

int Listener(int backlog, int& port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), length);
    listen(fd, backlog);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return fd;
}

} // namespace

// The main thread keeps sending while the worker logs failures, calls the
// failure handler and times connects out, and the engine is destroyed with
// connects still hanging: every sender is accounted for and nothing is
// touched after the engine has gone. Run under ThreadSanitizer by
// scripts/test-asan.sh.
TEST(SenderEngineThreads, SendingFailingAndShuttingDownWithConnectsHanging)
{
    CountingSink sink;
    ConsoleLog log;
    log.setSink(&sink);
    log.enable();

    // A listener that never accepts and whose one-place queue is taken: SYNs
    // to it go unanswered.
    int holePort = 0;
    const int hole = Listener(0, holePort);
    const int filler = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<std::uint16_t>(holePort));
    ASSERT_EQ(connect(filler, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    int refusedPort = 0;
    close(Listener(1, refusedPort));

    TrafficCounters counters;
    std::atomic<int> failures { 0 };
    {
        SenderEngine::Options options;
        options.tcpConnectTimeoutMs = 200;
        SenderEngine engine(counters, log, options, [&](const std::string&, const std::string&) { ++failures; });
        const std::uint8_t bytes[6] = { 0x0B, 1, 0, 6, 0, 1 };
        for (int round = 0; round < 50; ++round) {
            engine.sendTcp("127.0.0.1", refusedPort, bytes);
            engine.sendTcp("127.0.0.1", holePort, bytes);
            engine.sendUdp("127.0.0.1", 9, bytes);
            engine.sendUdp(std::string(40, 'x'), 9, bytes); // too long a host: refused
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        // A refused connect may still be in progress; once the refusals are
        // in, the connects to the hole sent last are still hanging here.
        EXPECT_TRUE(korvel::testing::WaitFor([&] { return failures.load() >= 100; }));
    }
    EXPECT_EQ(counters.LiveSenderCount.load(), 0);
    EXPECT_GE(failures.load(), 100) << "refused connects and unknown hosts";
    EXPECT_EQ(sink.lines.load(), failures.load()) << "one line per failure";
    close(filler);
    close(hole);
}
