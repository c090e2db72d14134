#include "cp1252.h"

#include <gtest/gtest.h>

TEST(Cp1252, EveryByteSurvivesTheTripThroughUnicode)
{
    for (int b = 0; b < 256; ++b)
        EXPECT_EQ(cp1252::FromUnicode(cp1252::ToUnicode(static_cast<unsigned char>(b))), b) << b;
    EXPECT_EQ(cp1252::ToUnicode(0x80), u'\u20AC');
    EXPECT_EQ(cp1252::ToUnicode(0x9F), u'\u0178');
    EXPECT_EQ(cp1252::ToUnicode(0xC4), u'\u00C4');
    EXPECT_EQ(cp1252::FromUnicode(U'\u0100'), -1);
    EXPECT_EQ(cp1252::FromUnicode(U'\U0001F600'), -1);
    // C1 controls the code page redefines have no byte of their own.
    EXPECT_EQ(cp1252::FromUnicode(U'\u0080'), -1);
}

TEST(Cp1252, FoldsUpperToLowerOnlyForLetters)
{
    EXPECT_EQ(cp1252::FoldCase("\xC4\xD6\xDC\xC0\xDE"), "\xE4\xF6\xFC\xE0\xFE");
    EXPECT_EQ(cp1252::FoldCase("\x8A\x8C\x8E\x9F"), "\x9A\x9C\x9E\xFF");
    EXPECT_EQ(cp1252::FoldCase("FMS-12 Z"), "fms-12 z");
    // The multiplication sign is not the capital of the division sign.
    EXPECT_NE(cp1252::FoldCase("\xD7"), cp1252::FoldCase("\xF7"));
    EXPECT_EQ(cp1252::FoldCase("\xDF"), "\xDF");
    for (int b = 0; b < 256; ++b) {
        const auto once = cp1252::FoldCase(static_cast<unsigned char>(b));
        EXPECT_EQ(cp1252::FoldCase(once), once) << b;
    }
}
