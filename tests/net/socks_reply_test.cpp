// The SOCKS reply reader on its own: replies that are malformed or cut in pieces.
#include "socks_reply.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Row {
    const char* Name;
    TSocksReplyKind Kind;
    std::vector<std::vector<int>> Pieces;  // fed one Added call each
    TSocksOutcome Outcome;
    int Code;
    const char* Text;
    const char* Quote;
};

void PrintTo(const Row& R, std::ostream* Os) { *Os << R.Name; }

class SocksReplyTest : public ::testing::TestWithParam<Row> {};

TEST_P(SocksReplyTest, JudgesTheReply) {
    const Row& row = GetParam();
    TSocksReplyReader reader;
    reader.Start(row.Kind);
    TSocksOutcome outcome = soNeedMore;
    for (const auto& piece : row.Pieces) {
        ASSERT_EQ(outcome, soNeedMore) << "judged before the last piece";
        ASSERT_LE(static_cast<int>(piece.size()), reader.Room());
        for (size_t i = 0; i < piece.size(); ++i) reader.Free()[i] = static_cast<char>(piece[i]);
        outcome = reader.Added(static_cast<int>(piece.size()));
    }
    EXPECT_EQ(outcome, row.Outcome);
    if (outcome == soFailed) {
        EXPECT_EQ(reader.FailCode(), row.Code);
        EXPECT_EQ(reader.FailText(), row.Text);
        EXPECT_EQ(reader.Quote(), row.Quote);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Replies, SocksReplyTest,
    ::testing::Values(
        Row{"method choice in two pieces", srMethodChoice, {{5}, {2}}, soUserPassword, 0, "", ""},
        Row{"method choice of another version", srMethodChoice, {{4, 0}}, soFailed, 20002,
            "socks version error", "04 00"},
        Row{"empty read keeps waiting", srAuthResult, {{}}, soNeedMore, 0, "", ""},
        Row{"authentication refused", srAuthResult, {{1, 1}}, soFailed, 20015,
            "socks authentication failed", "01 01"},
        Row{"authentication answer too long", srAuthResult, {{1, 0, 0}}, soFailed, 20001,
            "too much data availaible", "01 00 00"},
        Row{"authentication answer of another version", srAuthResult, {{5}}, soFailed, 20002,
            "socks version error", "05"},
        Row{"connect reply with an address of an unknown type", srConnectReply5, {{5, 0, 0, 2, 0}},
            soFailed, 20011, "address type not supported", "05 00 00 02 00"},
        Row{"connect reply with an IPv6 address short of its port", srConnectReply5,
            {{5, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0}}, soNeedMore, 0, "", ""},
        Row{"connect reply with an IPv6 address", srConnectReply5,
            {{5, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 80}}, soConnected, 0,
            "", ""},
        Row{"connect reply of another version", srConnectReply5, {{4}}, soFailed, 20002,
            "socks version error", "04"},
        Row{"connect reply short of its port", srConnectReply5,
            {{5, 0, 0, 1, 1, 2, 3, 4, 0}}, soNeedMore, 0, "", ""},
        Row{"connect reply with an empty name", srConnectReply5, {{5, 0, 0, 3, 0, 0, 80}},
            soConnected, 0, "", ""},
        Row{"version 4 reply in pieces", srConnectReply4, {{0, 90, 0}, {0, 0, 0, 0, 0}},
            soConnected, 0, "", ""}),
    [](const auto& Info) {
        std::string name;
        for (const char* p = Info.param.Name; *p; ++p)
            name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
        return name;
    });

TEST(SocksRequestTest, ValuesThatFitAreAccepted) {
    EXPECT_EQ(SocksRequestProblem(svSocks5, std::string(121, 'a'), "", "", false), "");
    EXPECT_EQ(SocksRequestProblem(svSocks4, "", std::string(119, 'u'), "", false), "");
    EXPECT_EQ(SocksRequestProblem(svSocks4A, std::string(100, 'a'), std::string(18, 'u'), "", false), "");
    EXPECT_EQ(SocksRequestProblem(svSocks5, "t", std::string(100, 'u'), std::string(25, 'p'), true), "");
}

}  // namespace
