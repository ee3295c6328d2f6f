#include "protocol/text_render.h"

#include <gtest/gtest.h>

#include <vector>

using namespace korvel;

TEST(TextRender, MessageNamesCoverOneToSixteenOnly)
{
    EXPECT_STREQ(MessageName(1), "MSG_ACK");
    EXPECT_STREQ(MessageName(12), "MSG_REGISTERv2");
    EXPECT_STREQ(MessageName(13), "MSG_GETDATAv2");
    EXPECT_STREQ(MessageName(16), "MSG_UNREG_MULTACK");
    EXPECT_EQ(MessageName(0), nullptr);
    EXPECT_EQ(MessageName(17), nullptr);
    EXPECT_EQ(MessageName(255), nullptr);
}

TEST(TextRender, EntryLabelsArePaddedAndUndefinedValuesShowQuestionMarks)
{
    EXPECT_STREQ(StationStatusLabel(0), ":IDLE ");
    EXPECT_STREQ(StationStatusLabel(2), ":DND  ");
    EXPECT_STREQ(StationStatusLabel(4), ":OOS  ");
    EXPECT_STREQ(StationStatusLabel(5), ":???? ");
    EXPECT_STREQ(StationStatusLabel(0xFF), ":???? ");
    EXPECT_STREQ(ResultLabel(1), ":ACK ");
    EXPECT_STREQ(ResultLabel(2), ":NAK ");
    EXPECT_STREQ(ResultLabel(7), ":???? ");
}

TEST(TextRender, HexAndPrintableRenderings)
{
    const std::vector<std::uint8_t> ack = { 0x0B, 0x01, 0x00, 0x06, 0x00, 0x2A };
    EXPECT_EQ(HexText(ack), "0B 01 00 06 00 2A ");
    EXPECT_EQ(HexText(ack, 4), "00 2A ");
    EXPECT_EQ(HexText(ack, 6), "");
    EXPECT_EQ(HexText(ack, 60), "");

    const std::vector<std::uint8_t> body = { 'V', 'E', 0, 0x7E, 0x7F, 0x1F, 0x20, 0xFF };
    EXPECT_EQ(PrintableText(body), "VE.~.. .");
    EXPECT_EQ(PrintableText(body, 8), "");

    const std::vector<std::uint8_t> big(1500, 0xAB);
    EXPECT_EQ(HexText(big, 4).size(), 4488u);
}

TEST(TextRender, FieldTextShowsControlCharactersAsEscapesAndKeepsTheRest)
{
    const struct {
        std::string field;
        std::string shown;
    } cases[] = {
        { "QVX300", "QVX300" },
        { "A\nRefused from: 6.6.6.6", "A\\x0aRefused from: 6.6.6.6" },
        { "\x1b[2J\r\t", "\\x1b[2J\\x0d\\x09" },
        { "del\x7f", "del\\x7f" },
        { "back\\slash ~", "back\\slash ~" },
        { "\xb0\xa1\x80\xff", "\xb0\xa1\x80\xff" },
        { std::string("cut\0\n", 5), "cut" },
    };
    for (const auto& c : cases) {
        std::vector<std::uint8_t> packet(4 + 32, 0);
        std::copy(c.field.begin(), c.field.end(), packet.begin() + 4);
        EXPECT_EQ(FieldText(packet, 4, 32), c.shown) << c.shown;
    }
    const std::vector<std::uint8_t> short_ = { 'a', '\n', 'b' };
    EXPECT_EQ(FieldText(short_, 0, 2), "a\\x0a");
    EXPECT_EQ(FieldText(short_, 1, 16), "\\x0ab");
    EXPECT_EQ(FieldText(short_, 3, 16), "");
}
