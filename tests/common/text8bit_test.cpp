#include "text8bit.h"

#include <gtest/gtest.h>

TEST(EightBitText, ValidUtf8IsUtf8AndAnythingElseWindows1252)
{
    EXPECT_EQ(TextToUtf8("Gr\xC3\xBC\xC3\x9F" "e"), "Gr\xC3\xBC\xC3\x9F" "e");
    // One invalid byte makes the whole text Windows-1252.
    EXPECT_EQ(TextToUtf8("\x80 \xE4 \xC3\xBC"), "\xE2\x82\xAC \xC3\xA4 \xC3\x83\xC2\xBC");
    EXPECT_EQ(EncodingOf("plain"), TextEncoding::Utf8);

    // Every Windows-1252 byte survives the way to UTF-8 and back.
    std::string all;
    for (int b = 1; b < 256; ++b)
        all.push_back(static_cast<char>(b));
    EXPECT_EQ(EncodeText(DecodeText(all, TextEncoding::Windows1252), TextEncoding::Windows1252), all);
    EXPECT_EQ(EncodeText("\xC5\x81\xC3\xB6", TextEncoding::Windows1252), "?\xF6");  // Ł lacks a byte
    EXPECT_EQ(EncodeText("\xC5\x81\xC3\xB6", TextEncoding::Utf8), "\xC5\x81\xC3\xB6");
}

TEST(EightBitText, CaseFoldingAgreesAcrossEncodings)
{
    EXPECT_EQ(FoldCase("\xC3\x84\xC3\x96Z", TextEncoding::Utf8), "\xC3\xA4\xC3\xB6z");  // ÄÖZ
    EXPECT_EQ(FoldCase("\xC4\xD6Z", TextEncoding::Windows1252), "\xE4\xF6z");
    EXPECT_EQ(FoldCase("\xC5\x81\xC5\xBD\xD0\x96", TextEncoding::Utf8), "\xC5\x82\xC5\xBE\xD0\xB6");  // ŁŽЖ
    EXPECT_EQ(FoldCase("\xC3\x9F", TextEncoding::Utf8), "\xC3\x9F");  // ß has no single capital here
}

TEST(EightBitText, QuotedTextIsCutAtACharacterBoundary)
{
    EXPECT_EQ(ShortenUtf8("short"), "short");
    const std::string cut = ShortenUtf8(std::string(9, 'x') + "\xC3\xA4", 10);
    EXPECT_EQ(cut, std::string(9, 'x') + "\xE2\x80\xA6");
    EXPECT_TRUE(IsValidUtf8(cut));
}
