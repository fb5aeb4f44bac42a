// The chat server's byte parsers: the telnet filter, the line splitter, line kinds, comma text.
#include "chat_lines.h"
#include "telnet_filter.h"

#include <gtest/gtest.h>

using namespace std::string_literals;

namespace {

struct FilterRow {
    const char* Name;
    std::string Input;
    std::string Data;
    std::vector<std::string> Subs;  // option byte followed by the payload, "+" when cut short
};

void PrintTo(const FilterRow& Row, std::ostream* Out) { *Out << Row.Name; }

std::vector<std::string> Describe(const std::vector<TSubnegotiation>& Subs) {
    std::vector<std::string> out;
    for (const auto& s : Subs)
        out.push_back(char(s.Option) + s.Payload + (s.Truncated ? "+" : ""));
    return out;
}

const std::string LongSub = "\xFF\xFA\x18"s + std::string(1000, 'a') + "\xFF\xF0z";

const FilterRow FilterRows[] = {
    {"plain data passes unchanged", "~SC=A-B\r\n\0x"s, "~SC=A-B\r\n\0x"s, {}},
    {"IAC IAC is one data byte", "a\xFF\xFFz", "a\xFFz", {}},
    {"negotiation answers are dropped", "\xFF\xFB\x18" "a\xFF\xFD\x01\xFF\xFC\x05" "b", "ab", {}},
    {"two-byte commands are dropped", "a\xFF\xF1" "b\xFF\xF9" "c\xFF\x41" "d", "abcd", {}},
    {"terminal type reply is reported", "\xFF\xFA\x18\x00VT100\xFF\xF0ok"s, "ok",
     {"\x18\x00VT100"s}},
    {"IAC IAC inside a subnegotiation", "\xFF\xFA\x17" "a\xFF\xFF" "b\xFF\xF0", "",
     {"\x17" "a\xFF" "b"}},
    {"unclosed subnegotiation ends at the next command", "\xFF\xFA\x18xy\xFF\xFB\x01" "data",
     "data", {}},
    {"long subnegotiation is cut, not kept", LongSub, "z",
     {"\x18" + std::string(TTelnetFilter::MaxSubnegotiation, 'a') + "+"}},
};

class TelnetFilterTest : public ::testing::TestWithParam<FilterRow> {};

TEST_P(TelnetFilterTest, GivesTheSameResultWholeAndSplitAtEveryByte) {
    const FilterRow& row = GetParam();
    for (std::size_t split = 0; split <= row.Input.size(); ++split) {
        TTelnetFilter filter;
        std::string data;
        std::vector<TSubnegotiation> subs;
        filter.Feed(std::string_view(row.Input).substr(0, split), data, subs);
        filter.Feed(std::string_view(row.Input).substr(split), data, subs);
        ASSERT_EQ(data, row.Data) << "split at " << split;
        ASSERT_EQ(Describe(subs), row.Subs) << "split at " << split;
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, TelnetFilterTest, ::testing::ValuesIn(FilterRows),
                         [](const auto& info) {
                             std::string name = info.param.Name;
                             for (char& c : name)
                                 if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                             return name;
                         });

std::vector<std::string> Split(TLineSplitter& s, const std::string& data) {
    std::vector<TSplitLine> lines;
    s.Feed(data, lines);
    std::vector<std::string> out;
    for (const auto& l : lines)
        out.push_back(l.Kind == TSplitLine::TKind::Line ? l.Bytes
                                                        : "dropped " + std::to_string(l.Length));
    return out;
}

TEST(LineSplitterTest, CutsAtLfKeepingTheLineEndAndDropsOverlongLines) {
    TLineSplitter s;
    EXPECT_EQ(Split(s, "one\r\ntwo\nthr"), (std::vector<std::string>{"one\r\n", "two\n"}));
    EXPECT_EQ(s.Pending(), 3u);
    EXPECT_EQ(Split(s, "ee\r"), std::vector<std::string>{});
    EXPECT_EQ(Split(s, "\n\r\n"), (std::vector<std::string>{"three\r\n", "\r\n"}));

    // Over the limit: dropped, also when fed in pieces far past it, with the next line kept.
    const std::string longest(TLineSplitter::MaxLine, 'a');
    EXPECT_EQ(Split(s, longest + "\r\n"), std::vector<std::string>{longest + "\r\n"});
    EXPECT_EQ(Split(s, longest + "b\n"), std::vector<std::string>{"dropped 4097"});
    for (int i = 0; i < 100; ++i) EXPECT_TRUE(Split(s, std::string(1000, 'x')).empty());
    EXPECT_EQ(Split(s, "\r"), std::vector<std::string>{});
    EXPECT_EQ(Split(s, "\nok\r\n"), (std::vector<std::string>{"dropped 100000", "ok\r\n"}));
}

TEST(ChatLinesTest, ClassifiesClientLines) {
    struct Row {
        std::string Line;
        TClientLineKind Kind;
        std::string Name;
    };
    const Row rows[] = {
        {"~SC=AB1-Anna", TClientLineKind::Login, "AB1-Anna"},
        {"~Exit=KORVEL", TClientLineKind::Exit, ""},
        {"~Exit=KORVELX", TClientLineKind::Other, ""},
        {"&<AB1-Anna><hi\x02\x01there>", TClientLineKind::Chat, "AB1-Anna"},
        {"&<A><a>b>", TClientLineKind::Chat, "A"},
        {"&<A>x<b>", TClientLineKind::Other, ""},
        {"&<A><b", TClientLineKind::Other, ""},
    };
    for (const Row& r : rows) {
        const TClientLine l = ClassifyLine(r.Line);
        EXPECT_EQ(l.Kind, r.Kind) << r.Line;
        EXPECT_EQ(l.Name, r.Name) << r.Line;
    }
}

TEST(ChatLinesTest, UserListQuotesWhatTheCommaTextWouldSplit) {
    EXPECT_EQ(UserListLine({}), "~\r\n");
    EXPECT_EQ(UserListLine({"AB1-Anna", "CD2-Bo b", "x,y", "say \"hi\"", "t\tab", "\xE9t\xE9"}),
              "~AB1-Anna,\"CD2-Bo b\",\"x,y\",\"say \"\"hi\"\"\",\"t\tab\",\xE9t\xE9\r\n");
    EXPECT_EQ(EscapeIac("a\xFF" "b\xFF"), "a\xFF\xFF" "b\xFF\xFF");
}

}  // namespace
