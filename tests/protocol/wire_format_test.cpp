#include "protocol/wire_format.h"

#include <gtest/gtest.h>

#include <vector>

using namespace korvel;

TEST(WireFormat, ReadersStayInsideTheBytesTheyAreGiven)
{
    const std::vector<std::uint8_t> none;
    EXPECT_EQ(GetMessageCode(none), 0);
    EXPECT_EQ(GetSequenceNumber(none), 0);
    EXPECT_EQ(ReadField(none, 6, 32), "");

    const std::vector<std::uint8_t> five = { 0x0B, 0x03, 0x00, 0x46, 0x12 };
    EXPECT_EQ(GetMessageCode(five), 3);
    // Only the high byte of the sequence number was received.
    EXPECT_EQ(GetSequenceNumber(five), 0x1200);
    EXPECT_EQ(ReadU16(five, 4), 0x1200);
    EXPECT_EQ(ReadU16(five, 5), 0);
}

TEST(WireFormat, FieldTextStopsAtNulFieldEndOrPacketEnd)
{
    std::vector<std::uint8_t> buffer(40, 0);
    WriteField(buffer, 6, 32, std::string(32, 'A'));
    EXPECT_NE(buffer[37], 0);
    EXPECT_EQ(ReadField(buffer, 6, 32), std::string(32, 'A'));

    WriteField(buffer, 6, 32, std::string(33, 'B'));
    EXPECT_EQ(ReadField(buffer, 6, 32), std::string(32, 'B'));
    EXPECT_EQ(buffer[38], 0) << "a 33rd character must not spill past the field";

    WriteField(buffer, 6, 32, "QVX300");
    EXPECT_EQ(ReadField(buffer, 6, 32), "QVX300");
    EXPECT_EQ(buffer[12], 0);
    EXPECT_EQ(buffer[37], 0) << "a shorter text is NUL-padded to the field's end";

    // An empty view without data, as an unset dialog field gives, clears the
    // field (the sanitizer suite caught memcpy being handed its null pointer).
    WriteField(buffer, 6, 32, std::string_view());
    EXPECT_EQ(ReadField(buffer, 6, 32), "");
    EXPECT_EQ(buffer[6], 0);

    const std::vector<std::uint8_t> cut = { 0, 0, 0, 0, 0, 0, '4', '1', '1' };
    EXPECT_EQ(ReadField(cut, 6, 32), "411");
}

TEST(WireFormat, OnlyStatusReportsAndMultiAcksLackASequenceNumber)
{
    for (int code = 1; code <= 16; ++code)
        EXPECT_EQ(HasSequenceNumber(code), code != 8 && code != 14 && code != 16) << code;
    EXPECT_FALSE(HasSequenceNumber(0));
    EXPECT_FALSE(HasSequenceNumber(17));
}
