#include "relay/forwarding_thread.h"
#include "support/event_loop.h"
#include "support/packets.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <mutex>

using namespace korvel;
using namespace korvel::testing;

namespace {

// What the thread forwarded, to which port; read from the test's thread.
class ForwardRecorder : public Outbox {
public:
    void sendUdp(const std::string&, int, Bytes, const std::string&) override { }
    void sendTcp(const std::string&, int, Bytes, const std::string&) override { }
    void forwardUdp(const ForwardTarget& target, Bytes) override
    {
        std::lock_guard guard(mutex_);
        ports_.push_back(target.port);
    }
    std::vector<int> ports() const
    {
        std::lock_guard guard(mutex_);
        return ports_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<int> ports_;
};

int BoundUdp(const char* address, int& port)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local { AF_INET, 0, {}, {} };
    inet_pton(AF_INET, address, &local.sin_addr);
    socklen_t length = sizeof local;
    bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local);
    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    port = ntohs(local.sin_port);
    return fd;
}

ForwardPlan::Target Target(const char* address, int port)
{
    in_addr sender {};
    inet_pton(AF_INET, address, &sender);
    return { ForwardTarget { address, port, address, false, {} }, sender.s_addr, kTypeQvx };
}

} // namespace

// Reports of the plan's senders are forwarded on the thread, to every target
// but their sender; a datagram the plan does not cover goes to the main
// thread whole, and so does everything after it until that one is handled.
// Stopping ends the thread's wait in the read.
TEST(ForwardingThread, ForwardsWhatThePlanCoversAndKeepsTheOrderOfTheRest)
{
    int port = 0, knownPort = 0, strangerPort = 0;
    const UniqueFd endpoint(BoundUdp("127.0.0.1", port));
    const UniqueFd known(BoundUdp("127.0.0.2", knownPort));
    const UniqueFd stranger(BoundUdp("127.0.0.3", strangerPort));
    const auto send = [&](const UniqueFd& from, const ByteVector& bytes) {
        const sockaddr_in to { AF_INET, htons(static_cast<std::uint16_t>(port)), { htonl(INADDR_LOOPBACK) }, {} };
        sendto(from.get(), bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    };

    ForwardRecorder outbox;
    ConsoleLog console;
    ForwardingThread thread(outbox, console);
    auto plan = std::make_shared<ForwardPlan>();
    plan->version = thread.version();
    plan->forwardStatus = true;
    plan->targets = { Target("127.0.0.2", 1002), Target("127.0.0.4", 1004), Target("127.0.0.5", 1005) };
    plan->senders.insert(*plan->targets[0].sender);
    thread.publish(plan);
    thread.start(endpoint.get());

    ReadBatch batch;
    const auto takeUntil = [&](std::size_t count) {
        ReadBatch all;
        SpinUntil([&] {
            thread.take(batch);
            all.datagrams.insert(all.datagrams.end(), batch.datagrams.begin(), batch.datagrams.end());
            return all.datagrams.size() >= count;
        });
        return all.datagrams;
    };

    send(known, StatusReport("KNOWN", { { "100", 1 } }));
    ASSERT_TRUE(SpinUntil([&] { return outbox.ports().size() == 2; }));
    EXPECT_EQ(outbox.ports(), (std::vector<int> { 1004, 1005 }));
    auto read = takeUntil(1);
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(read[0].forwards, std::optional<std::uint64_t>(2));
    EXPECT_EQ(read[0].fromPort, knownPort);

    send(stranger, StatusReport("NEW", { { "200", 1 } }));
    send(known, StatusReport("KNOWN", { { "100", 2 } }));
    read = takeUntil(2);
    ASSERT_EQ(read.size(), 2u);
    EXPECT_FALSE(read[0].forwards) << "not in the plan";
    EXPECT_FALSE(read[1].forwards) << "behind one the main thread has not handled";
    EXPECT_EQ(read[0].fromAddress, 0x7F000003u);
    EXPECT_EQ(outbox.ports().size(), 2u);

    // Handled, and the table changed: a plan for the new version is needed.
    thread.invalidate();
    thread.handled(2);
    send(known, StatusReport("KNOWN", { { "100", 3 } }));
    read = takeUntil(1);
    EXPECT_FALSE(read[0].forwards) << "the plan is stale";
    thread.handled(1);
    auto fresh = std::make_shared<ForwardPlan>(*plan);
    fresh->version = thread.version();
    thread.publish(fresh);
    send(known, StatusReport("KNOWN", { { "100", 4 } }));
    read = takeUntil(1);
    EXPECT_EQ(read[0].forwards, std::optional<std::uint64_t>(2));

    thread.stop();
    EXPECT_FALSE(thread.running());
}
