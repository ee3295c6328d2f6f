#include "net/descriptors.h"
#include "net/ipv4_address.h"
#include "net/unique_fd.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

using namespace korvel;

namespace {

std::string Text(const sockaddr_in& address)
{
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

bool Open(int fd)
{
    return fcntl(fd, F_GETFD) != -1;
}

} // namespace

TEST(Ipv4Address, NumericTextAsItStandsAndNamesThroughTheResolver)
{
    const struct {
        const char* host;
        int port;
        const char* numeric; // null: refused
        const char* resolved;
    } cases[] = {
        { "127.0.0.2", 9001, "127.0.0.2:9001", "127.0.0.2:9001" },
        { "255.255.255.255", 65535, "255.255.255.255:65535", "255.255.255.255:65535" },
        { "localhost", 9000, nullptr, "127.0.0.1:9000" },
        { "", 9000, nullptr, nullptr },
    };
    for (const auto& c : cases) {
        const auto numeric = NumericIPv4(c.host, c.port);
        EXPECT_EQ(numeric ? Text(*numeric) : "refused", c.numeric ? c.numeric : "refused") << "'" << c.host << "'";
        const auto resolved = ResolveIPv4(c.host, c.port);
        EXPECT_EQ(resolved ? Text(*resolved) : "refused", c.resolved ? c.resolved : "refused") << "'" << c.host << "'";
        if (resolved) {
            EXPECT_EQ(resolved->sin_family, AF_INET);
        }
    }
}

TEST(Descriptors, TheNetworkGetsTheLimitLessTwoReserves)
{
    const struct {
        std::size_t limit;
        std::size_t network;
    } cases[] = { { 1024, 1024 - 2 * kReservedDescriptors }, { 2 * kReservedDescriptors + 1, 1 },
        { 2 * kReservedDescriptors, 0 }, { 10, 0 }, { 0, 0 } };
    for (const auto& c : cases)
        EXPECT_EQ(NetworkDescriptors(c.limit), c.network) << c.limit;

    const std::size_t before = DescriptorLimit();
    EXPECT_GE(RaiseDescriptorLimit(), before);
    EXPECT_EQ(DescriptorLimit(), RaiseDescriptorLimit()) << "raising twice changes nothing more";
}

TEST(UniqueFd, ClosesOnceAndHandsOverOnMove)
{
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    {
        UniqueFd reader(ends[0]);
        UniqueFd moved(std::move(reader));
        EXPECT_FALSE(reader);
        EXPECT_EQ(moved.get(), ends[0]);
        UniqueFd writer(ends[1]);
        writer = std::move(moved); // closes the write end it held
        EXPECT_FALSE(Open(ends[1]));
        EXPECT_TRUE(Open(ends[0]));
        const int kept = writer.release();
        EXPECT_EQ(kept, ends[0]);
    }
    EXPECT_TRUE(Open(ends[0])) << "a released descriptor is the caller's";
    close(ends[0]);
}
