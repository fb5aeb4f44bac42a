// The chat server in this process on 127.0.0.1, driven by scripted POSIX clients.
#include "chat_server.h"

#include "chat_lines.h"
#include "log_sink.h"

#include "event_loop.h"
#include "posix_peer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include <unistd.h>

using namespace std::string_literals;
using Reads = std::vector<std::string>;

namespace {

const std::string Negotiation = "\xFF\xFD\x18\xFF\xFA\x18\x01\xFF\xF0\xFF\xFB\x01\xFF\xFB\x03\xFF\xFD\x17";
const std::string Welcome = "*wWelcome to the local chat server\r\n";

// A chat client on a POSIX socket. Every live peer is read between event-loop turns; what
// arrives is cut into messages: the telnet negotiation, then one message per line.
class ChatPeer {
public:
    explicit ChatPeer(uint16_t Port) : Fd(peer::Connect(Port)) { Live().push_back(this); }
    ~ChatPeer() {
        std::erase(Live(), this);
        if (Fd >= 0) peer::Close(Fd);
    }
    bool Send(const std::string& Bytes) { return peer::SendAll(Fd, Bytes); }
    void Reset() {
        peer::Reset(Fd);
        Fd = -1;
    }

    // The next Count messages (fewer when the time runs out).
    Reads Next(std::size_t Count) {
        Reads out;
        RunUntil([&] {
            PollAll();
            for (std::string m; out.size() < Count && !(m = TakeMessage()).empty();) out.push_back(m);
            return out.size() >= Count;
        });
        return out;
    }
    // Lets the server run for a while, reading all the time.
    static void Settle(int Ms) { RunUntil([] { return PollAll(), false; }, Ms); }
    // What arrives meanwhile (normally nothing).
    Reads Quiet() {
        Settle(150);
        Reads out;
        for (std::string m; !(m = TakeMessage()).empty();) out.push_back(m);
        return out;
    }

private:
    static std::vector<ChatPeer*>& Live() {
        static std::vector<ChatPeer*> peers;
        return peers;
    }
    static void PollAll() {
        for (ChatPeer* p : Live())
            while (p->Fd >= 0 && peer::RecvNow(p->Fd, p->Stream) > 0) {
            }
    }
    std::string TakeMessage() {
        std::size_t n = Stream.starts_with(Negotiation) ? Negotiation.size() : Stream.find('\n') + 1;
        if (n == 0) return {};
        std::string m = Stream.substr(0, n);
        Stream.erase(0, n);
        return m;
    }

    int Fd;
    std::string Stream;
};

class ChatServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        Server.OnLog = [this](const std::string& Line) { Log.push_back(Line); };
        Server.Start("127.0.0.1", "0");
        Port = static_cast<uint16_t>(std::stoi(Server.BoundPort()));
    }

    // A client logged in as Name that has read everything up to its user list.
    std::unique_ptr<ChatPeer> LoggedIn(const std::string& Name, const std::string& List) {
        auto p = std::make_unique<ChatPeer>(Port);
        EXPECT_EQ(p->Next(1), Reads{Negotiation});
        p->Send("~SC=" + Name + "\r\n");
        EXPECT_EQ(p->Next(2), (Reads{Welcome, List}));
        return p;
    }
    bool Logged(const std::string& Text) const {
        return std::any_of(Log.begin(), Log.end(),
                           [&](const std::string& l) { return l.find(Text) != std::string::npos; });
    }

    std::vector<std::string> Log;
    TChatServer Server;
    uint16_t Port = 0;
};

TEST_F(ChatServerTest, ClientsSeeEachOtherInLoginOrderAndASecondLoginRenames) {
    auto a = LoggedIn("AB1-Anna", "~AB1-Anna\r\n");
    EXPECT_TRUE(Logged("127.0.0.1:")) << "events name the client's address and port";
    EXPECT_TRUE(Logged("login AB1-Anna"));
    const std::string both = "~AB1-Anna,\"CD2-Bo \"\"B\"\"\"\r\n";
    auto b = LoggedIn("CD2-Bo \"B\"", both);
    EXPECT_EQ(a->Next(1), Reads{both});

    a->Send("~SC=AB1-Ann\r\n");
    const std::string renamed = "~AB1-Ann,\"CD2-Bo \"\"B\"\"\"\r\n";
    EXPECT_EQ(a->Next(2), (Reads{Welcome, renamed}));
    EXPECT_EQ(b->Next(1), Reads{renamed});
    EXPECT_EQ(Server.Users(), (std::vector<std::string>{"AB1-Ann", "CD2-Bo \"B\""}));
}

TEST_F(ChatServerTest, RelaysChatLinesByteExactToEveryoneLoggedIn) {
    auto a = LoggedIn("AB1-Anna", "~AB1-Anna\r\n");
    auto b = LoggedIn("CD2-Bob", "~AB1-Anna,CD2-Bob\r\n");
    a->Next(1);
    ChatPeer stranger(Port);
    stranger.Next(1);

    const std::string line = "&<AB1-Anna><line one\x02\x01 line two >\r\n";
    a->Send(line);
    EXPECT_EQ(a->Next(1), Reads{line});
    EXPECT_EQ(b->Next(1), Reads{line});
    b->Send("&<CD2-Bob><one>\r\n&<CD2-Bob><two>\n");
    EXPECT_EQ(a->Next(2), (Reads{"&<CD2-Bob><one>\r\n", "&<CD2-Bob><two>\n"}))
        << "two lines in one read go out as two lines";
    b->Next(2);

    stranger.Send("&<EF3-Eve><not logged in>\r\n");
    EXPECT_EQ(a->Quiet(), Reads{});
    EXPECT_EQ(b->Quiet(), Reads{});
    EXPECT_EQ(stranger.Quiet(), Reads{}) << "no lists or chat before a login";
    EXPECT_TRUE(Logged("dropped a chat line"));
}

TEST_F(ChatServerTest, StripsTelnetCommandsSplitAcrossReads) {
    ChatPeer a(Port);
    a.Next(1);
    for (const std::string& piece : {"\xFF\xFB\x18\xFF\xFA\x18\x00VT"s, "100\xFF"s, "\xF0~SC=AB"s,
                                    "1-Anna\xFF"s, "\xF1\r\n"s}) {
        a.Send(piece);
        ChatPeer::Settle(20);
    }
    EXPECT_EQ(a.Next(2), (Reads{Welcome, "~AB1-Anna\r\n"}));
    EXPECT_TRUE(Logged("terminal type VT100"));

    // A data byte 255 arrives as IAC IAC and leaves as IAC IAC, never as a command.
    a.Send("&<AB1-Anna><a\xFF");
    ChatPeer::Settle(20);
    a.Send("\xFF\xFF\xFB\x01>\r\n");
    EXPECT_EQ(a.Next(1), Reads{"&<AB1-Anna><a\xFF\xFF>\r\n"});

    // The client sends the user's bytes unchanged: a lone 255 is text, whatever follows it.
    const Reads typed = {"&<AB1-Anna><a\xFF" "b>\r\n", "&<AB1-Anna><end\xFF>\r\n",
                         "&<AB1-Anna><\xFF\xFA>\r\n", "&<AB1-Anna><after>\r\n"};
    for (const std::string& line : typed) a.Send(line);
    Reads relayed;
    for (const std::string& line : typed) relayed.push_back(EscapeIac(line));
    EXPECT_EQ(a.Next(4), relayed);

    a.Send("\xFF\xFA\x18" + std::string(1000, 'q') + "\r\n");
    ASSERT_TRUE(RunUntil([&] { return Logged("dropped an over-long") || Logged("dropped a line"); }));
    EXPECT_TRUE(Logged("dropped an unfinished subnegotiation for option 24 (259 bytes)"));
}

TEST_F(ChatServerTest, BadInputAndAResetDoNotDisturbOthers) {
    auto a = LoggedIn("AB1-Anna", "~AB1-Anna\r\n");
    auto b = LoggedIn("CD2-Bob", "~AB1-Anna,CD2-Bob\r\n");
    a->Next(1);
    const std::string line = "&<AB1-Anna><after the long one>\r\n";
    a->Send(std::string(100000, 'x') + "\r\n" + line);
    EXPECT_EQ(a->Next(2), (Reads{"&<korvel-chatd><Your line of 100000 bytes was not relayed: a line "
                                 "may hold at most 4096 bytes.>\r\n",
                                 line}));
    EXPECT_EQ(b->Next(1), Reads{line});
    EXPECT_TRUE(Logged("dropped an over-long line (100000 bytes)"));

    std::string garbage = "~SC=\r\n~SC=X\0Y\r\n\0\0\r\n"s;
    for (int i = 0; i < 50000; ++i) garbage += static_cast<char>((i * 7919) >> 3);
    garbage += "\xFF\xFA\x18" + std::string(100000, 'q');  // a subnegotiation never closed
    b->Send(garbage);
    ASSERT_TRUE(RunUntil([&] { return Logged("the name holds a NUL byte"); }));
    EXPECT_EQ(Server.Users(), (std::vector<std::string>{"AB1-Anna", "CD2-Bob"}));
    b->Reset();

    EXPECT_EQ(a->Next(1), Reads{"~AB1-Anna\r\n"});
    ASSERT_TRUE(RunUntil([&] { return Server.ClientCount() == 1; }));
    a->Send("&<AB1-Anna><still here>\r\n");
    EXPECT_EQ(a->Next(1), Reads{"&<AB1-Anna><still here>\r\n"});
    EXPECT_TRUE(Logged("dropped a login line: no name"));
    EXPECT_TRUE(Logged("dropped a login line: the name holds a NUL byte"));
    EXPECT_TRUE(Logged("logout CD2-Bob (connection ended)"));
}

TEST_F(ChatServerTest, ExitLineAndDisconnectUpdateTheOthersLists) {
    auto a = LoggedIn("AB1-Anna", "~AB1-Anna\r\n");
    auto b = LoggedIn("CD2-Bob", "~AB1-Anna,CD2-Bob\r\n");
    auto c = LoggedIn("EF3-Cy", "~AB1-Anna,CD2-Bob,EF3-Cy\r\n");
    const Reads lists = a->Quiet();  // one list per login, or the newer one alone
    ASSERT_FALSE(lists.empty());
    EXPECT_EQ(lists.back(), "~AB1-Anna,CD2-Bob,EF3-Cy\r\n");
    b->Next(1);

    b->Send("~Exit=KORVEL\r\n");
    EXPECT_EQ(a->Next(1), Reads{"~AB1-Anna,EF3-Cy\r\n"});
    EXPECT_EQ(c->Next(1), Reads{"~AB1-Anna,EF3-Cy\r\n"});
    b->Send("&<CD2-Bob><after the exit>\r\n");
    EXPECT_EQ(b->Quiet(), Reads{}) << "no list for the one who left, and no relay from it";

    c.reset();
    EXPECT_EQ(a->Next(1), Reads{"~AB1-Anna\r\n"});
    EXPECT_EQ(Server.Users(), std::vector<std::string>{"AB1-Anna"});
    EXPECT_TRUE(Logged("logout CD2-Bob"));
    EXPECT_TRUE(Logged("disconnect (closed by the client)"));
}

}  // namespace

namespace {

// A log reader that stalls never stalls the server: lines beyond the queue are counted, and the
// count follows the lines that waited once the reader comes back.
TEST(LogSinkTest, AStalledReaderCostsLinesNotTime) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const std::string line(99, 'x');
    {
        TLogSink sink(fds[1], 8192);
        for (int i = 0; i < 5000; ++i) sink.Write(line);  // five times what the pipe holds
        EXPECT_GT(sink.Dropped(), 0u);
        std::string out;
        char buffer[65536];
        for (ssize_t n = 1; n > 0 && out.find("dropped") == std::string::npos;)
            if ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<size_t>(n));
        ASSERT_NE(out.find("korvel-chatd: "), std::string::npos) << "no note of the dropped lines";
        out.resize(out.find("korvel-chatd: "));
        EXPECT_EQ(out.size() % 100, 0u) << "whole lines only";
        EXPECT_EQ(out.size() / 100 + sink.Dropped(), 5000u);
    }
    ::close(fds[0]);
    ::close(fds[1]);
}

}  // namespace
