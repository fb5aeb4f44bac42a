// The chat server's lines: reading what arrives and building what is sent.
#include "chat_protocol.h"
#include "settings_values.h"

#include <QApplication>
#include <QFile>
#include <QLocale>
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
    EXPECT_EQ(ReceivedText(std::string("ab\0cd", 5)), "ab") << "text ends at a zero byte";
    EXPECT_EQ(ReceivedText("caf\xe9 \x80"), QString::fromUtf8("café €"));
    // A user list with names from clients of both kinds: each entry is read on its own.
    EXPECT_EQ(ReceivedText("~JOS\xc9-A,\"\xce\x96\xce\xa9 \xe2\x82\xac\",\"\"\"x\xe9\"\"\""),
              QString::fromUtf8("~JOSÉ-A,\"ΖΩ €\",\"\"\"xé\"\"\""));
    EXPECT_EQ(ParseCommaText(ReceivedText("~A!,\"\"\"x\xe9").mid(1)), (QStringList{"A!", QString::fromUtf8("\"xé")}));
}

TEST(ChatLineTest, StampAndOutgoingBytes) {
    EXPECT_EQ(ChatTimeStamp(QTime(14, 5), ":"), " 14:05 ");
    EXPECT_EQ(ChatTimeStamp(QTime(0, 0), "."), " 00.00 ");
    EXPECT_EQ(LoginLine("CALL", "NAME"), "~SC=CALL-NAME\r\n");
    EXPECT_EQ(ChatLineBytes("CALL", "NAME", "Hello"), "&<CALL-NAME><Hello>\r\n");
    EXPECT_EQ(ChatLineBytes("C", "N", " two\r\nlines\r\n"), "&<C-N>< two\x02\x01lines\x02\x01>\r\n");
    EXPECT_EQ(ChatLineBytes("C", "N", "lone\rcr\nlf"), "&<C-N><lone\rcr\nlf>\r\n");
    EXPECT_EQ(ChatLineBytes("C", "N", QString::fromUtf8("€ <&>")), "&<C-N><\x80 <&>>\r\n");
    EXPECT_EQ(ChatLineBytes("C", "N", QString::fromUtf8("€ ж\r\n"), TWireCode::Utf8),
              "&<C-N><\xe2\x82\xac \xd0\xb6\x02\x01>\r\n");
    EXPECT_EQ(ExitLine(), "~Exit=KORVEL\r\n");
}

struct ReadsCase {
    const char* Name;
    std::vector<std::string> Reads;
    std::vector<std::string> Lines;  // handed on, TakeRest's included
};
void PrintTo(const ReadsCase& c, std::ostream* os) { *os << c.Name; }

class LineSplitterTest : public ::testing::TestWithParam<ReadsCase> {};

TEST_P(LineSplitterTest, Lines) {
    TReceivedLines s;
    std::vector<std::string> lines;
    for (const std::string& read : GetParam().Reads)
        for (std::string& line : s.Feed(read)) lines.push_back(std::move(line));
    for (std::string& line : s.TakeRest()) lines.push_back(std::move(line));
    EXPECT_EQ(lines, GetParam().Lines);
    EXPECT_FALSE(s.Holding());
}

INSTANTIATE_TEST_SUITE_P(
    Reads, LineSplitterTest,
    ::testing::Values(
        ReadsCase{"SeveralLinesInOneRead", {"&<A><one>\r\n&<B><two>\r\n"}, {"&<A><one>", "&<B><two>"}},
        ReadsCase{"LineSplitAcrossReads", {"&<A><sp", "lit>\r", "\n*w\r\n~A,B\r\n"}, {"&<A><split>", "*w", "~A,B"}},
        ReadsCase{"EmptyLine", {"\r\n"}, {""}},
        ReadsCase{"BareLfEndsALine", {"&<A-A><one>\n", "&<B-B><two>\r\n"}, {"&<A-A><one>", "&<B-B><two>"}},
        ReadsCase{"LoneCrIsData", {"*x\ry\r\n"}, {"*x\ry"}},
        ReadsCase{"WelcomeWithoutLineEndThenList", {"*w", "~ALICE,BOB\r\n"}, {"*w", "~ALICE,BOB"}},
        ReadsCase{"FinishedChatLineThenNext", {"&<A-A><one>", "&<B-B><two>"}, {"&<A-A><one>", "&<B-B><two>"}},
        ReadsCase{"UnfinishedMessageWaitsForItsEnd", {"&<A-A><x ", "~y>\r\n"}, {"&<A-A><x ~y>"}},
        ReadsCase{"ListOverSeveralLines", {"~ALICE\r\nBOB\r\n\r\n&<A><b>\r\nCAROL\r\n"},
                  {"~ALICE\nBOB", "", "&<A><b>", "CAROL"}},
        ReadsCase{"ListContinuedByTheNextRead", {"~ALICE\r\n", "BOB, CAROL\r\n", "DAVE"},
                  {"~ALICE", "~ALICE\nBOB, CAROL", "~ALICE\nBOB, CAROL\nDAVE"}},
        ReadsCase{"ListEndsAtTheNextMessage", {"~A\r\n*w\r\nB\r\n~C\r\nD\r\n"}, {"~A", "*w", "B", "~C\nD"}}),
    [](const auto& info) { return std::string(info.param.Name); });

// What a session leaves on screen: the last user list, and every message in order.
std::string SessionOutcome(const std::vector<std::string_view>& Reads) {
    TReceivedLines s;
    QStringList users, shown;
    auto show = [&](const std::vector<std::string>& lines) {
        for (const std::string& line : lines) {
            const QString text = ReceivedText(line);
            switch (ClassifyChunk(text)) {
            case TChunkKind::UserList: users = ParseCommaText(text.mid(1)); break;
            case TChunkKind::ChatLine: {
                const TChatLine chat = ParseChatLine(text);
                shown << chat.Sender + ": " + chat.Message;
                break;
            }
            case TChunkKind::Welcome: shown << "welcome"; break;
            case TChunkKind::Other: break;
            }
        }
    };
    for (std::string_view read : Reads) show(s.Feed(read));
    show(s.TakeRest());
    return (users.join(u',') + " | " + shown.join(u'|')).toStdString();
}

// A session as the local chat server sent it to one client (telnet commands removed), then
// lines from a server that ends them with LF alone and breaks its user list over lines.
TEST(LineSplitterTest, ReadsSplitAtEveryByteOfARecordedSessionLoseNothing) {
    QFile file(QStringLiteral(KORVEL_TEST_DATA "/chatd_session.bin"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    const std::string_view all(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    const std::string whole = SessionOutcome({all});
    EXPECT_EQ(whole, "ALICE-A,BOB-B,CAROL-C,DAVE-D | welcome|ALICE-A: hello|BOB-B: hi Alice|"
                     "ALICE-A: two\r\nlines|BOB-B: tom & jerry|CAROL-C: first|CAROL-C: second|"
                     "CAROL-C: third");
    for (std::size_t cut = 0; cut <= all.size(); ++cut)
        ASSERT_EQ(SessionOutcome({all.substr(0, cut), all.substr(cut)}), whole) << "cut at " << cut;
    std::vector<std::string_view> bytewise;
    for (std::size_t i = 0; i < all.size(); ++i) bytewise.push_back(all.substr(i, 1));
    EXPECT_EQ(SessionOutcome(bytewise), whole) << "one byte per read";
}

// The time stamp's separator comes from the locale's time format, never from a quoted literal.
TEST(ChatLineTest, TimeSeparatorOfEveryLocale) {
    EXPECT_EQ(TimeSeparatorOf("HH:mm"), ":");
    EXPECT_EQ(TimeSeparatorOf("HH.mm"), ".");
    EXPECT_EQ(TimeSeparatorOf("HH 'h' mm"), ":") << "fr_CA";
    EXPECT_EQ(TimeSeparatorOf("'kl'. HH.mm"), ".");
    EXPECT_EQ(TimeSeparatorOf("h:mm AP"), ":");
    for (const QLocale& locale : QLocale::matchingLocales(QLocale::AnyLanguage, QLocale::AnyScript, QLocale::AnyTerritory)) {
        const QString sep = TimeSeparatorOf(locale.timeFormat(QLocale::ShortFormat));
        EXPECT_TRUE(sep.size() == 1 && sep != "'" && !sep[0].isLetterOrNumber())
            << locale.name().toStdString() << ": " << sep.toStdString();
    }
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
