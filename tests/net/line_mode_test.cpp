// Line mode against a scripted peer on 127.0.0.1: assembly across reads, the line limit,
// editing and echo, the last line at close and switching modes with bytes held.
#include "socket_probe.h"

#include "event_loop.h"
#include "posix_peer.h"

#include <gtest/gtest.h>

#include <memory>

using Lines = std::vector<std::string>;

namespace {

// Records what each data handler call reads, with a buffer of ReadSize bytes.
class LineProbe : public RecordingSocket {
public:
    LineProbe() {
        OnChangeState = nullptr;
        OnDataSent = nullptr;
        OnDataAvailable = [this](QObject*, uint16_t) {
            ++Calls;
            if (!Reading) return;
            std::string buf(static_cast<size_t>(ReadSize), '\0');
            const int n = Receive(buf.data(), ReadSize);
            if (n <= 0) return;
            Current.append(buf.data(), static_cast<size_t>(n));
            // A whole line (or, in raw mode, whatever came) ends an entry.
            if (!LineMode() || RcvdCount() == 0) {
                Got.push_back(Current);
                Log.push_back("data " + Current);
                Current.clear();
            }
            if (AfterRead) AfterRead();
        };
    }
    int Held() const { return LineHeldCount(); }

    int ReadSize = 1024;
    bool Reading = true;
    int Calls = 0;
    std::string Current;
    Lines Got;
    std::function<void()> AfterRead;
};

class LineModeTest : public ::testing::Test {
protected:
    void SetUp() override {
        S = std::make_unique<LineProbe>();
        S->ConnectTo(Listener.Port());
        PeerFd = Listener.Accept();
        ASSERT_GE(PeerFd, 0);
        ASSERT_TRUE(RunUntil([&] { return S->State() == wsConnected; }));
        S->SetLineMode(true);
        S->Log.clear();
    }
    void TearDown() override {
        S.reset();
        if (PeerFd >= 0) peer::Close(PeerFd);
    }
    void Send(const std::string& Bytes) { ASSERT_TRUE(peer::SendAll(PeerFd, Bytes)); }
    // Sends bytes that hold no complete line and waits until the socket holds them.
    void SendHeld(const std::string& Bytes) {
        const int before = S->Held();
        Send(Bytes);
        ASSERT_TRUE(RunUntil([&] { return S->Held() == before + static_cast<int>(Bytes.size()); }));
    }
    bool Got(size_t Count) { return RunUntil([&] { return S->Got.size() >= Count; }); }

    PosixListener Listener;
    int PeerFd = -1;
    std::unique_ptr<LineProbe> S;
};

TEST_F(LineModeTest, LinesAreAssembledAcrossAndWithinReads) {
    struct Row {
        const char* Name;
        std::string LineEnd;
        std::vector<std::string> Reads;  // each arrives in a read of its own
        Lines Expected;
        int HeldAfter;
    };
    const Row rows[] = {
        {"line end split across reads", "\r\n", {"abc\r", "\n"}, {"abc\r\n"}, 0},
        {"two lines in one read", "\r\n", {"one\r\ntwo\r\n"}, {"one\r\n", "two\r\n"}, 0},
        {"rest held for the next line", "\r\n", {"abc\r\ndef"}, {"abc\r\n"}, 3},
        {"line built from three reads", "\r\n", {"ab", "c", "d\r\nx"}, {"abcd\r\n"}, 1},
        {"longer line end split", "END", {"aEN", "Db"}, {"aEND"}, 1},
        {"bare CR is no line end", "\r\n", {"a\rb\r\n"}, {"a\rb\r\n"}, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Name);
        S->Got.clear();
        S->SetLineEnd(row.LineEnd);
        for (size_t i = 0; i + 1 < row.Reads.size(); ++i) SendHeld(row.Reads[i]);
        Send(row.Reads.back());
        ASSERT_TRUE(Got(row.Expected.size()));
        RunFor(20);
        EXPECT_EQ(S->Got, row.Expected);
        EXPECT_EQ(S->Held(), row.HeldAfter);
        // Finish any partial line so that the next row starts empty.
        if (row.HeldAfter) {
            S->Got.clear();
            Send(row.LineEnd);
            ASSERT_TRUE(Got(1));
        }
    }
}

TEST_F(LineModeTest, HandlerWithASmallBufferIsCalledUntilTheLineIsRead) {
    S->ReadSize = 2;
    std::vector<int> counts;
    S->AfterRead = [&] { counts.push_back(S->RcvdCount()); };
    Send("hello\r\nnext");
    ASSERT_TRUE(Got(1));
    EXPECT_EQ(S->Got, (Lines{"hello\r\n"}));
    EXPECT_EQ(counts, (std::vector<int>{5, 3, 1, 0})) << "RcvdCount is what is left of the line";
    EXPECT_EQ(S->Held(), 4);
    EXPECT_EQ(S->ReadCount(), 7) << "only what the owner received counts";
}

TEST_F(LineModeTest, LineLimitReportsAndClearsUnlessTheOwnerKeepsTheBytes) {
    S->SetLineLimit(10);
    std::vector<int> reported;
    bool keep = false;
    S->OnLineLimitExceeded = [&](QObject*, int Length, bool& ClearData) {
        reported.push_back(Length);
        if (keep) ClearData = false;
    };
    SendHeld("0123456789");
    EXPECT_TRUE(reported.empty()) << "ten bytes are within the limit";
    Send("a");
    ASSERT_TRUE(RunUntil([&] { return reported.size() == 1; }));
    EXPECT_EQ(reported, (std::vector<int>{11}));
    EXPECT_EQ(S->Held(), 0) << "cleared";

    keep = true;
    Send("0123456789ab");
    ASSERT_TRUE(RunUntil([&] { return reported.size() == 2; }));
    EXPECT_EQ(S->Held(), 12) << "kept";
    Send("cd\r\n");
    ASSERT_TRUE(Got(1));
    EXPECT_EQ(S->Got, (Lines{"0123456789abcd\r\n"}));
}

// Behind a line the owner leaves unread, the limit counts the bytes after the last line end and
// clears only them; a flood of lines stays with the platform until the owner reads that line.
TEST_F(LineModeTest, AnUnreadLineKeepsTheLimitAndHoldsBackReading) {
    struct Row {
        std::string Behind;
        std::vector<int> Reported;
        Lines Expected;  // once the owner reads, with "\r\n" sent last
    } const rows[] = {{"a\r\nb\r\n0123456789ab", {12}, {"first\r\n", "a\r\n", "b\r\n", "\r\n"}},
                      {"a\r\n0123456789", {}, {"first\r\n", "a\r\n", "0123456789\r\n"}}};
    auto sendUnreadLine = [&] {
        S->Got.clear();
        S->Reading = false;
        S->Calls = 0;
        Send("first\r\n");
        ASSERT_TRUE(RunUntil([&] { return S->Calls == 1; }));
    };
    S->SetLineLimit(10);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Behind);
        std::vector<int> reported;
        S->OnLineLimitExceeded = [&](QObject*, int Length, bool&) { reported.push_back(Length); };
        sendUnreadLine();
        Send(row.Behind);
        ASSERT_TRUE(RunUntil([&] { return S->Calls == 2; }));
        EXPECT_EQ(reported, row.Reported);
        S->Reading = true;
        Send("\r\n");
        ASSERT_TRUE(Got(row.Expected.size()));
        EXPECT_EQ(S->Got, row.Expected);
    }
    S->SetLineLimit(0);
    sendUnreadLine();
    std::string flood;
    // 8 MiB, in lines longer than one read.
    for (int i = 0; i < 80; ++i) flood += std::string(100 * 1024, 'x') + "\r\n";
    size_t sent = 0;
    auto pump = [&] {  // true when the socket took some
        const int n = peer::SendNow(PeerFd, flood.substr(sent, 1 << 18));
        return n > 0 && (sent += static_cast<size_t>(n)) > 0;
    };
    for (int idle = 0; idle < 30 && sent < flood.size(); RunFor(10)) idle = pump() ? 0 : idle + 1;
    EXPECT_LE(S->Held(), 256 * 1024) << sent << " bytes sent";
    S->Reading = true;
    ASSERT_EQ(S->ReceiveStr(), "first\r\n");
    EXPECT_TRUE(RunUntil([&] { return !pump() && S->Got.size() == 80; }, 20000));
    EXPECT_EQ(S->Got.back(), flood.substr(0, 100 * 1024 + 2));
}

TEST_F(LineModeTest, EditingAndEcho) {
    struct Row {
        const char* Name;
        bool Edit, Echo;
        std::string Received;
        std::string Line;
        std::string Echoed;
    };
    const Row rows[] = {
        {"backspace erases", true, false, "ab\bc\r\n", "ac\r\n", ""},
        {"backspace echoed as erase", true, true, "ab\bc\r\n", "ac\r\n", "ab\b \bc\r\n"},
        {"tab fills to the next multiple of 8", true, true, "abc\td\r\n", "abc     d\r\n",
         "abc     d\r\n"},
        {"tab at a multiple of 8 still gives a blank", true, false, "12345678\tx\r\n",
         "12345678        x\r\n", ""},
        {"backspace with nothing before it is dropped", true, true, "\bx\r\n", "x\r\n", "x\r\n"},
        {"echo without editing sends what came", false, true, "a\bb\r\n", "a\bb\r\n",
         "a\bb\r\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Name);
        S->Got.clear();
        S->SetLineEdit(row.Edit);
        S->SetLineEcho(row.Echo);
        Send(row.Received);
        ASSERT_TRUE(Got(1));
        EXPECT_EQ(S->Got, (Lines{row.Line}));
        if (!row.Echoed.empty()) {
            EXPECT_EQ(peer::RecvExactly(PeerFd, row.Echoed.size()), row.Echoed);
        }
    }
    // Nothing else was echoed by the rows without echo.
    S->SetLineEcho(true);
    S->SetLineEdit(false);
    S->Got.clear();
    Send("!\r\n");
    ASSERT_TRUE(Got(1));
    EXPECT_EQ(peer::RecvExactly(PeerFd, 3), "!\r\n");
}

TEST_F(LineModeTest, BackspaceErasesBytesHeldFromAnEarlierRead) {
    S->SetLineEdit(true);
    SendHeld("abc");
    Send("\b\bX\r\n");
    ASSERT_TRUE(Got(1));
    EXPECT_EQ(S->Got, (Lines{"aX\r\n"}));
}

TEST_F(LineModeTest, HeldBytesAreTheLastLineBeforeTheClose) {
    SendHeld("xyz");
    peer::Close(PeerFd);
    PeerFd = -1;
    ASSERT_TRUE(RunUntil([&] { return S->State() == wsClosed; }));
    EXPECT_EQ(S->Log, (Lines{"data xyz", "closed 0 in connected"}));
    EXPECT_EQ(S->Held(), 0);
}

TEST_F(LineModeTest, EmptyLineEndDeliversRawChunks) {
    S->SetLineEnd("");
    Send("no\r\nlines");
    ASSERT_TRUE(RunUntil([&] { return S->Got.size() == 1 && S->Got[0].size() == 9; }));
    EXPECT_EQ(S->Got[0], "no\r\nlines");
}

TEST_F(LineModeTest, SwitchingOffDeliversTheHeldPartialLineFirst) {
    SendHeld("partial");
    S->SetLineMode(false);
    Send("NEW");
    ASSERT_TRUE(RunUntil([&] {
        std::string all;
        for (auto& g : S->Got) all += g;
        return all.size() == 10;
    }));
    std::string all;
    for (auto& g : S->Got) all += g;
    EXPECT_EQ(all, "partialNEW");
    EXPECT_EQ(S->Held(), 0);
}

TEST_F(LineModeTest, HandlerSwitchingOffMidLineLosesNothing) {
    S->ReadSize = 2;
    S->AfterRead = [&] {
        if (S->LineMode()) {
            S->Got.push_back(S->Current);  // the part read in line mode
            S->Current.clear();
            S->SetLineMode(false);
        }
    };
    Send("abcd\r\nsecond\r\n");
    ASSERT_TRUE(RunUntil([&] {
        std::string all;
        for (auto& g : S->Got) all += g;
        return all.size() == 14;
    }));
    std::string all;
    for (auto& g : S->Got) all += g;
    EXPECT_EQ(all, "abcd\r\nsecond\r\n");
    EXPECT_EQ(S->Got.front(), "ab");
}

TEST_F(LineModeTest, LinesHeldRawAreFoundWhenLineModeReturns) {
    // The first line switches line mode off; the handler then leaves raw bytes unread.
    S->AfterRead = [&] { S->SetLineMode(false); };
    S->OnDataAvailable = [inner = S->OnDataAvailable, this](QObject* o, uint16_t e) {
        if (S->LineMode() || S->Got.empty()) return inner(o, e);
    };
    Send("one\r\ntwo\r\nthr");
    ASSERT_TRUE(Got(1));
    RunFor(20);
    EXPECT_EQ(S->Got, (Lines{"one\r\n"}));
    ASSERT_EQ(S->Held(), 8);
    S->AfterRead = nullptr;
    S->SetLineMode(true);
    ASSERT_TRUE(Got(2));
    EXPECT_EQ(S->Got, (Lines{"one\r\n", "two\r\n"}));
    EXPECT_EQ(S->Held(), 3);
}

TEST_F(LineModeTest, HandlerClosingTheSocketMidDispatchGetsTheRestLineByLine) {
    S->AfterRead = [&] { S->Close(); };
    Send("one\r\ntwo\r\nthree\r\n");
    ASSERT_TRUE(RunUntil([&] { return S->State() == wsClosed; }));
    RunFor(20);
    EXPECT_EQ(S->Log, (Lines{"data one\r\n", "data two\r\n", "data three\r\n", "closed 0 in closed"}));
}

TEST_F(LineModeTest, WriteLineSendsTheTextAndItsLineEnd) {
    EXPECT_EQ(S->WriteLine(""), 0);
    EXPECT_EQ(S->WriteLine("hi"), 4);
    S->SetLineEnd("\n");
    EXPECT_EQ(S->WriteLine("there"), 6);
    S->SetLineEnd("");
    EXPECT_EQ(S->WriteLine("raw"), 3);
    EXPECT_EQ(peer::RecvExactly(PeerFd, 13), "hi\r\nthere\nraw");
}

TEST_F(LineModeTest, RawModeIsUntouchedByDefault) {
    LineProbe plain;
    EXPECT_FALSE(plain.LineMode());
    EXPECT_EQ(plain.LineEnd(), "\r\n");
    EXPECT_EQ(plain.LineLimit(), 65536);
    S->SetLineMode(false);
    Send("a\r\nb");
    ASSERT_TRUE(RunUntil([&] { return !S->Got.empty() && S->Got.back().size() == 4; }));
    EXPECT_EQ(S->Got, (Lines{"a\r\nb"}));
}

}  // namespace
