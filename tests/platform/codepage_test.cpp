#include "codepage.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string AllBytes() {
    std::string bytes;
    for (int b = 0; b < 256; ++b) bytes += static_cast<char>(b);
    return bytes;
}

TEST(CodepageTest, EveryByteSurvivesTheTripThroughUnicode) {
    const std::string bytes = AllBytes();
    const QString text = FromAnsi(bytes);
    ASSERT_EQ(text.size(), 256);
    for (int b = 0; b < 256; ++b) {
        const char16_t c = text[b].unicode();
        if (b < 0x80 || b >= 0xA0) {
            EXPECT_EQ(int(c), b) << "byte " << b << " is Latin-1";
        }
        for (int other = 0; other < b; ++other)
            EXPECT_NE(text[other], text[b]) << "bytes " << other << " and " << b;
    }
    EXPECT_EQ(ToAnsi(text), bytes);
}

TEST(CodepageTest, HighRangeFollowsWindows1252) {
    struct Row {
        unsigned char Byte;
        char16_t Char;
    };
    const Row rows[] = {
        {0x80, u'€'},    {0x82, u'‚'},    {0x85, u'…'},    {0x8A, u'Š'},    {0x8C, u'Œ'},
        {0x91, u'‘'},    {0x93, u'“'},    {0x96, u'–'},    {0x99, u'™'},    {0x9F, u'Ÿ'},
        // The five bytes the code page leaves undefined stand for the C1 controls.
        {0x81, 0x0081}, {0x8D, 0x008D}, {0x8F, 0x008F}, {0x90, 0x0090}, {0x9D, 0x009D},
    };
    for (const Row& row : rows) {
        const std::string byte(1, static_cast<char>(row.Byte));
        EXPECT_EQ(FromAnsi(byte), QString(QChar(row.Char))) << "byte " << int(row.Byte);
        EXPECT_EQ(ToAnsi(QString(QChar(row.Char))), byte) << "byte " << int(row.Byte);
    }
}

TEST(CodepageTest, CharactersOutsideTheCodePageBecomeOneQuestionMarkEach) {
    // U+0080 is a C1 control the code page has no byte for (0x80 is the euro sign).
    EXPECT_EQ(ToAnsi(QString(QChar(0x0080))), "?");
    EXPECT_EQ(ToAnsi(QStringLiteral("A\u0100B\u4E2D")), "A?B?");
    EXPECT_EQ(ToAnsi(QStringLiteral("x\U0001F600y")), "x?y") << "a surrogate pair is one character";
    EXPECT_EQ(ToAnsi(QString(QChar(0xD800)) + u'z'), "?z") << "a lone surrogate";
    EXPECT_EQ(ToAnsi(QStringLiteral("caf\u00E9 \u20AC5")), "caf\xE9 \x80" "5");
}

TEST(CodepageTest, ZeroBytesAreText) {
    const std::string bytes("a\0b", 3);
    EXPECT_EQ(FromAnsi(bytes).size(), 3);
    EXPECT_EQ(ToAnsi(FromAnsi(bytes)), bytes);
}

}  // namespace
