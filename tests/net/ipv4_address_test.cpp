#include "net/ipv4_address.h"

#include <arpa/inet.h>

#include <gtest/gtest.h>

using namespace korvel;

TEST(ParseIPv4, TakesOnlyThePlainDottedQuad)
{
    const struct {
        const char* text;
        const char* address; // nullptr: refused
        const char* reason = "";
    } cases[] = {
        { "127.0.0.1", "127.0.0.1" },
        { "0.0.0.0", "0.0.0.0" },
        { "10.0.0.100", "10.0.0.100" },
        { "255.255.255.255", "255.255.255.255" },
        { "127.002.48.3", nullptr, "leading zero of 002" },
        { "010.0.0.1", nullptr, "leading zero of 010 reads as octal to some tools: write 10" },
        { "1.2.3.00", nullptr, "leading zero of 00" },
        { "127.1", nullptr, "four numbers" },
        { "1.2.3.4.5", nullptr, "four numbers" },
        { "1.2.3.256", nullptr, "four numbers" },
        { "0x7f.0.0.1", nullptr, "four numbers" },
        { "1.2.3.4 ", nullptr, "four numbers" },
        { "1..3.4", nullptr, "four numbers" },
        { "", nullptr, "four numbers" },
        { "::1", nullptr, "four numbers" },
    };
    for (const auto& c : cases) {
        const auto parsed = ParseIPv4(c.text);
        ASSERT_EQ(parsed.ok(), c.address != nullptr) << c.text;
        if (parsed) {
            char shown[INET_ADDRSTRLEN];
            EXPECT_STREQ(inet_ntop(AF_INET, &*parsed, shown, sizeof shown), c.address);
        } else {
            EXPECT_NE(parsed.error().find(c.reason), std::string::npos) << c.text << ": " << parsed.error();
        }
    }
    EXPECT_FALSE(ParseIPv4(std::string_view("1.2.3.4\0", 8))) << "an embedded NUL ends nothing";
    EXPECT_FALSE(NumericIPv4("127.000.0.1", 9000));
}
