#include "gui/option_dialog.h"

#include <gtest/gtest.h>

namespace korvel {
namespace {

TEST(ParseIntegerField, AcceptsDecimalIntegersWithLeadingBlanksAndSign)
{
    EXPECT_EQ(ParseIntegerField(QStringLiteral("9000")), 9000);
    EXPECT_EQ(ParseIntegerField(QStringLiteral("  9001")), 9001);
    EXPECT_EQ(ParseIntegerField(QStringLiteral("-5")), -5);
    EXPECT_EQ(ParseIntegerField(QStringLiteral("+7")), 7);
    EXPECT_EQ(ParseIntegerField(QStringLiteral("2147483647")), 2147483647);
    EXPECT_EQ(ParseIntegerField(QStringLiteral("-2147483648")), -2147483647 - 1);
}

TEST(ParseIntegerField, RejectsAnythingElse)
{
    for (const char* text :
        { "", " ", "-", "90a0", "9000 ", "0x10", "1.5", "2147483648", "-2147483649", "99999999999999999999" })
        EXPECT_FALSE(ParseIntegerField(QString::fromLatin1(text)).has_value()) << text;
}

TEST(ParseIntegerField, MessageNamesTheFieldText)
{
    EXPECT_EQ(NotAnIntegerMessage(QStringLiteral("90a0")), QStringLiteral("'90a0' is not a valid integer value"));
}

} // namespace
} // namespace korvel
