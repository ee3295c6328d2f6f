#include "cluster/cluster_message.h"

#include <gtest/gtest.h>

using namespace korvel;
using namespace std::string_literals;

TEST(ClusterMessage, RoundTripsEveryKindAndRefusesWhatNoHubWrites)
{
    const std::uint8_t packet[] = { 0x0B, 0x08, 0x00, 0x05, 0x00 };
    const struct {
        ClusterEvent kind;
        const char* system;
        RelayStep step;
        Bytes packet;
    } kinds[] = {
        { ClusterEvent::Report, "127.0.0.2", RelayStep::Tcp, packet },
        { ClusterEvent::Report, "127.0.0.2", RelayStep::Velka, {} },
        { ClusterEvent::Claim, "127.0.0.3", RelayStep::Udp, {} },
        { ClusterEvent::Changed, "127.0.0.4", RelayStep::Udp, packet },
        { ClusterEvent::Removed, "127.0.0.5", RelayStep::Udp, {} },
        { ClusterEvent::Cleared, "", RelayStep::Udp, {} },
    };
    for (const auto& k : kinds) {
        const std::string bytes = EncodeClusterMessage(k.kind, "east", k.system, k.packet, k.step);
        const auto message = DecodeClusterMessage(bytes);
        ASSERT_TRUE(message) << static_cast<char>(k.kind);
        EXPECT_EQ(message->kind, k.kind);
        EXPECT_EQ(message->node, "east");
        EXPECT_EQ(message->system, k.system);
        EXPECT_EQ(message->packet, std::string_view(reinterpret_cast<const char*>(k.packet.data()), k.packet.size()));
        if (k.kind == ClusterEvent::Report) {
            EXPECT_EQ(message->step, k.step);
        }
    }

    // Octal escapes: a length byte, then the text.
    const std::string refused[] = {
        ""s,
        "Q\004east\001a"s, // unknown kind
        "C\000\001a"s, // no node
        "C\004east\000"s, // no system
        "Z\004east\001a"s, // a clear names no system
        "R\004east\001a"s, // a report without its step
        "R\004east\001aX\013"s, // an unknown step
        "C\011east\001a"s, // a length past the end
    };
    for (const std::string& bytes : refused)
        EXPECT_FALSE(DecodeClusterMessage(bytes)) << testing::PrintToString(bytes);
}
