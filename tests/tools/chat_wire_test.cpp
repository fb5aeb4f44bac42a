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
    // What else was taken out: "S" option payload for a subnegotiation, "A" option and the
    // bytes dropped for one given up, "C" and the byte for a two-byte command.
    std::vector<std::string> Items;
};

void PrintTo(const FilterRow& Row, std::ostream* Out) { *Out << Row.Name; }

std::vector<std::string> Describe(const std::vector<TTelnetItem>& Items) {
    std::vector<std::string> out;
    for (const auto& t : Items) {
        switch (t.Kind) {
        case TTelnetItem::TKind::Subnegotiation: out.push_back("S" + (char(t.Code) + t.Payload)); break;
        case TTelnetItem::TKind::Abandoned:
            out.push_back("A" + (char(t.Code) + std::to_string(t.Dropped)));
            break;
        case TTelnetItem::TKind::Command: out.push_back("C"s + char(t.Code)); break;
        }
    }
    return out;
}

const std::string Line = "~SC=A-B\r\n";  // the first line end closes the initial negotiation
const std::string Cut = std::string(TTelnetFilter::MaxSubnegotiation, 'a');

const FilterRow FilterRows[] = {
    {"plain data passes unchanged", "~SC=A-B\r\n\0x"s, "~SC=A-B\r\n\0x"s, {}},
    {"IAC IAC is one data byte", "a\xFF\xFFz" + Line + "\xFF\xFF", "a\xFFz" + Line + "\xFF", {}},
    {"negotiation answers are dropped", "\xFF\xFB\x18" "a\xFF\xFD\x01\xFF\xFC\x05" "b", "ab", {}},
    {"two-byte commands are dropped at first", "a\xFF\xF1" "b\xFF\xF9" "c\xFF\x41" "d", "abcd",
     {"C\xF1", "C\xF9", "C\x41"}},
    {"terminal type reply is reported", "\xFF\xFA\x18\x00VT100\xFF\xF0ok"s, "ok",
     {"S\x18\x00VT100"s}},
    {"IAC IAC inside a subnegotiation", "\xFF\xFA\x17" "a\xFF\xFF" "b\xFF\xF0", "",
     {"S\x17" "a\xFF" "b"}},
    {"unclosed subnegotiation ends at the next command", "\xFF\xFA\x18xy\xFF\xFB\x01" "data",
     "data", {"A\x18" "5"}},
    {"long subnegotiation is given up at the bound", "\xFF\xFA\x18" + Cut + "bc\xFF\xF0", "bc",
     {"A\x18" + std::to_string(3 + Cut.size()), "C\xF0"}},
    // Later the user's bytes arrive unchanged: "aÿ" "b", "endÿ", "ÿú" (ÿú).
    {"later a lone IAC is data", Line + "a\xFF" "b\xFF\xF1\xFF\xF9\xFF\r\n",
     Line + "a\xFF" "b\xFF\xF1\xFF\xF9\xFF\r\n", {}},
    {"later only negotiated options are answers", Line + "\xFF\xFD\x01\xFF\xFB" "a\xFF\xFE>",
     Line + "\xFF\xFB" "a\xFF\xFE>", {}},
    {"later only terminal type and location subnegotiate",
     Line + "\xFF\xFA>\r\n\xFF\xFA\x17" "here\xFF\xF0!", Line + "\xFF\xFA>\r\n!", {"S\x17" "here"}},
    {"later a subnegotiation given up leaves data", Line + "\xFF\xFA\x18" + Cut + "\xFF\xFF" "b\n",
     Line + "b\n", {"A\x18" + std::to_string(5 + Cut.size())}},
};

class TelnetFilterTest : public ::testing::TestWithParam<FilterRow> {};

TEST_P(TelnetFilterTest, GivesTheSameResultWholeAndSplitAtEveryByte) {
    const FilterRow& row = GetParam();
    for (std::size_t split = 0; split <= row.Input.size(); ++split) {
        TTelnetFilter filter;
        std::string data;
        std::vector<TTelnetItem> items;
        filter.Feed(std::string_view(row.Input).substr(0, split), data, items);
        filter.Feed(std::string_view(row.Input).substr(split), data, items);
        ASSERT_EQ(data, row.Data) << "split at " << split;
        ASSERT_EQ(Describe(items), row.Items) << "split at " << split;
        ASSERT_EQ(filter.Pending(), 0u) << "split at " << split;
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
