// The chat server's lines: reading what arrives and building what is sent.
#include "chat_protocol.h"
#include "settings_values.h"

#include <QApplication>
#include <QPalette>

#include <gtest/gtest.h>

namespace {

struct CommaCase {
    const char* Name;
    QString Text;
    QStringList Entries;
};
void PrintTo(const CommaCase& c, std::ostream* os) { *os << c.Name; }

class CommaTextTest : public ::testing::TestWithParam<CommaCase> {};

TEST_P(CommaTextTest, Entries) { EXPECT_EQ(ParseCommaText(GetParam().Text), GetParam().Entries); }

INSTANTIATE_TEST_SUITE_P(
    UserList, CommaTextTest,
    ::testing::Values(
        CommaCase{"TwoEntriesEndedByCrLf", "ONE-A,TWO-B\r\n", {"ONE-A", "TWO-B"}},
        CommaCase{"OnlyCrLfIsEmpty", "\r\n", {}},
        CommaCase{"TwoCommasGiveAnEmptyEntry", "A,,B", {"A", "", "B"}},
        CommaCase{"BlanksSeparateToo", "A B\tC", {"A", "B", "C"}},
        CommaCase{"QuotedWithBlankAndComma", "\"A B,C\",D", {"A B,C", "D"}},
        CommaCase{"DoubledQuoteInsideQuotes", "\"say \"\"hi\"\"\",X", {"say \"hi\"", "X"}},
        CommaCase{"MissingClosingQuoteKeepsEarlierEntries", "A,B,\"C D", {"A", "B", "C D"}},
        CommaCase{"TrailingCommaAddsNothing", "A,", {"A"}}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(ChatLineTest, SenderAndMessageWithLineBreaks) {
    TChatLine line = ParseChatLine(QString("&<CALL-NAME><Hello>\r\n"));
    EXPECT_EQ(line.Sender, "CALL-NAME");
    EXPECT_EQ(line.Message, "Hello");
    line = ParseChatLine(QString("&<A-B><one") + QChar(2) + QChar(1) + "two>");
    EXPECT_EQ(line.Message, "one\r\ntwo");
    line = ParseChatLine("&<A-B><a > b>");
    EXPECT_EQ(line.Message, "a ") << "a message is cut at its first >";
    line = ParseChatLine("&no brackets at all");
    EXPECT_EQ(line.Sender, "");
    EXPECT_EQ(line.Message, "");
    line = ParseChatLine("&<A-B><first>&<C-D><second>");
    EXPECT_EQ(line.Message, "first");
}

TEST(ChatLineTest, Classification) {
    EXPECT_EQ(ClassifyChunk("~A,B"), TChunkKind::UserList);
    EXPECT_EQ(ClassifyChunk("~&<x>"), TChunkKind::UserList);
    EXPECT_EQ(ClassifyChunk("&<A><b>"), TChunkKind::ChatLine);
    EXPECT_EQ(ClassifyChunk("*welcome"), TChunkKind::Welcome);
    EXPECT_EQ(ClassifyChunk("*x"), TChunkKind::Other);
    EXPECT_EQ(ClassifyChunk(""), TChunkKind::Other);
    EXPECT_EQ(FromAnsiLine(std::string("ab\0cd", 5)), "ab") << "text ends at a zero byte";
    EXPECT_EQ(FromAnsiLine("caf\xe9 \x80"), QString::fromUtf8("café €"));
}

TEST(ChatLineTest, StampAndOutgoingBytes) {
    EXPECT_EQ(ChatTimeStamp(QTime(14, 5), ":"), " 14:05 ");
    EXPECT_EQ(ChatTimeStamp(QTime(0, 0), "."), " 00.00 ");
    EXPECT_EQ(LoginLine("CALL", "NAME"), "~SC=CALL-NAME\r\n");
    EXPECT_EQ(ChatLineBytes("CALL", "NAME", "Hello"), "&<CALL-NAME><Hello>\r\n");
    EXPECT_EQ(ChatLineBytes("C", "N", " two\r\nlines\r\n"), "&<C-N>< two\x02\x01lines\x02\x01>\r\n");
    EXPECT_EQ(ChatLineBytes("C", "N", "lone\rcr\nlf"), "&<C-N><lone\rcr\nlf>\r\n");
    EXPECT_EQ(ChatLineBytes("C", "N", QString::fromUtf8("€ <&>")), "&<C-N><\x80 <&>>\r\n");
    EXPECT_EQ(ExitLine(), "~Exit=KORVEL\r\n");
}

TEST(LineSplitterTest, LinesAcrossReads) {
    TReceivedLines s;
    EXPECT_EQ(s.Feed("&<A><one>\r\n&<B><two>\r\n"), (std::vector<std::string>{"&<A><one>", "&<B><two>"}));
    EXPECT_TRUE(s.Feed("&<A><sp").empty());
    EXPECT_TRUE(s.Holding());
    EXPECT_EQ(s.Feed("lit>\r"), std::vector<std::string>{});
    EXPECT_EQ(s.Feed("\n*w\r\n~A,B\r\n"), (std::vector<std::string>{"&<A><split>", "*w", "~A,B"}));
    EXPECT_FALSE(s.Holding());
    EXPECT_EQ(s.Feed("\r\n"), std::vector<std::string>{""});
}

TEST(LineSplitterTest, AnEndlessLineIsHandedOnAtTheBound) {
    TReceivedLines s;
    std::vector<std::string> out;
    const std::string chunk(4096, 'x');
    for (int i = 0; i < 17 && out.empty(); ++i) out = s.Feed(chunk);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_GT(out[0].size(), TReceivedLines::MaxLine);
    EXPECT_FALSE(s.Holding());
}

TEST(SettingsValuesTest, IntegersStylesAndColours) {
    EXPECT_EQ(ParseSettingInteger("16", 0), 16);
    EXPECT_EQ(ParseSettingInteger("0x10", 0), 16);
    EXPECT_EQ(ParseSettingInteger("0X1f", 0), 31);
    EXPECT_EQ(ParseSettingInteger("$FF", 0), 255);
    EXPECT_EQ(ParseSettingInteger("0x", 7), 7);
    EXPECT_EQ(ParseSettingInteger("12abc", 7), 7);
    EXPECT_EQ(ParseSettingInteger("-2147483643", 0), static_cast<int32_t>(0x80000005u));
    EXPECT_EQ(ParseSettingInteger("0xFFFFFFFF", 0), -1);
    EXPECT_EQ(ParseSettingInteger("99999999999", 7), 7);

    for (int bits = 0; bits < 16; ++bits) EXPECT_EQ(TextToFontStyle(FontStyleToText(bits)), bits) << bits;
    EXPECT_EQ(TextToFontStyle("bOLDiTALIC"), 3);
    EXPECT_EQ(TextToFontStyle(" Bold"), 0) << "not trimmed";
    EXPECT_EQ(TextToFontStyle("Heavy"), 0);
    EXPECT_EQ(FontStyleToText(13), "BoldStrikeUnderLine");

    EXPECT_EQ(ColorFromValue(255), QColor(255, 0, 0));
    EXPECT_EQ(ColorToValue(QColor(0, 255, 0)), 65280);
    EXPECT_EQ(ColorFromValue(SystemWindowColor), QApplication::palette().color(QPalette::Base));
}

}  // namespace
