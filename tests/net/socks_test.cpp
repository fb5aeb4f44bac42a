// The SOCKS client layer against a proxy scripted byte by byte on 127.0.0.1.
#include "raised_text.h"
#include "socket_probe.h"

#include "event_loop.h"
#include "posix_peer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <utility>

using Lines = std::vector<std::string>;

namespace {

std::string Bytes(std::initializer_list<int> Values) {
    std::string s;
    for (int v : Values) s += static_cast<char>(v);
    return s;
}

// A socket that also logs the SOCKS events and what its data handler reads.
class SocksProbe : public RecordingSocket {
public:
    SocksProbe() {
        OnChangeState = nullptr;
        OnDataSent = nullptr;
        OnSocksConnected = [this](QObject*, uint16_t e) {
            Log.push_back("socks connected " + std::to_string(e));
        };
        OnSocksError = [this](QObject*, int e, const std::string& m) {
            Log.push_back("socks error " + std::to_string(e) + " " + m);
        };
        OnSocksAuthState = [this](QObject*, TSocksAuthState a) {
            static const char* const names[] = {"starting", "succeeded", "failed", "not required"};
            Log.push_back(std::string("auth ") + names[a]);
        };
        OnDataAvailable = [this](QObject*, uint16_t) {
            char buf[4];  // small on purpose: leftover bytes must survive several reads
            const int n = Receive(buf, sizeof buf);
            if (n > 0) Data.append(buf, static_cast<size_t>(n));
        };
    }
    std::string Data;
};

// The proxy's side of one connection.
class ScriptedProxy {
public:
    ~ScriptedProxy() {
        if (Fd >= 0) peer::Close(Fd);
    }
    uint16_t Port() const { return Listener.Port(); }
    bool Accept() {
        Fd = Listener.Accept();
        return Fd >= 0;
    }
    // The next Count bytes the client sends; the event loop runs while waiting.
    std::string Expect(size_t Count) {
        RunUntil([&] {
            peer::RecvNow(Fd, In);
            return In.size() >= Count;
        });
        std::string head = In.substr(0, Count);
        In.erase(0, head.size());
        return head;
    }
    void Reply(const std::string& Bytes) { ASSERT_TRUE(peer::SendAll(Fd, Bytes)); }
    void Close() {
        peer::Close(Fd);
        Fd = -1;
    }

    PosixListener Listener;
    int Fd = -1;
    std::string In;
};

class SocksTest : public ::testing::Test {
protected:
    // Target "target.example" port 4321 (0x10E1) through the proxy.
    void Configure(SocksProbe& S, const std::string& Level) {
        S.SetSocksServer("127.0.0.1");
        S.SetSocksPort(std::to_string(Proxy.Port()));
        S.SetSocksLevel(Level);
        S.SetAddr("target.example");
        S.SetPort("4321");
    }
    void Start(SocksProbe& S, const std::string& Level) {
        Configure(S, Level);
        S.Connect();
        ASSERT_TRUE(Proxy.Accept());
    }
    // A version-5 success reply with an IPv4 bound address.
    static std::string Granted5() { return Bytes({5, 0, 0, 1, 10, 0, 0, 1, 0x10, 0xE1}); }
    static std::string Request5() {
        return Bytes({5, 1, 0, 3, 14}) + "target.example" + Bytes({0x10, 0xE1});
    }

    ScriptedProxy Proxy;
};

TEST_F(SocksTest, Version5WithoutAuthenticationReachesTheTargetByName) {
    SocksProbe s;
    Start(s, "5");
    EXPECT_EQ(Proxy.Expect(3), Bytes({5, 1, 0}));
    EXPECT_EQ(s.Log, (Lines{"socks connected 0"})) << "the owner waits for the tunnel";
    Proxy.Reply(Bytes({5, 0}));
    EXPECT_EQ(Proxy.Expect(21), Request5());
    Proxy.Reply(Granted5());
    ASSERT_TRUE(RunUntil([&] { return s.Log.size() == 2; }));
    EXPECT_EQ(s.Log, (Lines{"socks connected 0", "connected 0"}));
    EXPECT_EQ(s.State(), wsConnected);

    Proxy.Reply("through the tunnel");
    ASSERT_TRUE(RunUntil([&] { return s.Data.size() == 18; }));
    EXPECT_EQ(s.Data, "through the tunnel");
    s.SendStr("back");
    EXPECT_EQ(Proxy.Expect(4), "back");
}

TEST_F(SocksTest, Version5WithAuthenticationSendsTheCredentials) {
    SocksProbe s;
    s.SetSocksAuthentication(socksAuthenticateUsercode);
    s.SetSocksUsercode("user");
    s.SetSocksPassword("secret");
    Start(s, "5");
    EXPECT_EQ(Proxy.Expect(3), Bytes({5, 1, 2}));
    Proxy.Reply(Bytes({5, 2}));
    EXPECT_EQ(Proxy.Expect(13), Bytes({1, 4}) + "user" + Bytes({6}) + "secret");
    EXPECT_EQ(s.Log, (Lines{"socks connected 0", "auth starting"}));
    Proxy.Reply(Bytes({1, 0}));
    EXPECT_EQ(Proxy.Expect(21), Request5());
    Proxy.Reply(Granted5());
    ASSERT_TRUE(RunUntil([&] { return s.Log.size() == 4; }));
    EXPECT_EQ(s.Log, (Lines{"socks connected 0", "auth starting", "auth succeeded", "connected 0"}));
}

TEST_F(SocksTest, ProxyThatWantsNoAuthenticationSkipsTheCredentials) {
    SocksProbe s;
    s.SetSocksAuthentication(socksAuthenticateUsercode);
    s.SetSocksUsercode("user");
    Start(s, "5");
    EXPECT_EQ(Proxy.Expect(3), Bytes({5, 1, 2}));
    Proxy.Reply(Bytes({5, 0}));
    EXPECT_EQ(Proxy.Expect(21), Request5()) << "the connect request, no credentials";
    EXPECT_EQ(s.Log, (Lines{"socks connected 0", "auth not required"}));
}

TEST_F(SocksTest, ProxyChoosingAMethodNotOfferedGetsNoCredentials) {
    SocksProbe s;
    s.SetSocksUsercode("user");
    s.SetSocksPassword("secret");
    Start(s, "5");
    EXPECT_EQ(Proxy.Expect(3), Bytes({5, 1, 0}));
    Proxy.Reply(Bytes({5, 2}));
    ASSERT_TRUE(RunUntil([&] { return s.State() == wsClosed; }));
    EXPECT_EQ(s.Log, (Lines{"socks connected 0",
                            "socks error 20003 authentification method not acceptable",
                            "connected 20003", "closed 20003 in closed"}));
    EXPECT_EQ(peer::RecvExactly(Proxy.Fd, 1), "") << "the password never left";
    EXPECT_EQ(s.LastSocksFailure().Reply, "05 02");
}

TEST_F(SocksTest, MethodRefusalFailsTheConnectAndCloses) {
    SocksProbe s;
    Start(s, "5");
    Proxy.Expect(3);
    Proxy.Reply(Bytes({5, 255}));
    ASSERT_TRUE(RunUntil([&] { return s.State() == wsClosed; }));
    RunFor(30);
    EXPECT_EQ(s.Log, (Lines{"socks connected 0",
                            "socks error 20003 authentification method not acceptable",
                            "connected 20003", "closed 20003 in closed"}));
    EXPECT_EQ(s.SocksServer(), "") << "the proxy setting lasts one connection";
}

TEST_F(SocksTest, EveryVersion5ReplyCodeHasItsCodeAndText) {
    struct Row {
        int Reply;
        int Code;
        const char* Text;
    };
    const Row rows[] = {
        {1, 20004, "general SOCKS server failure"},
        {2, 20005, "connection not allowed by ruleset"},
        {3, 20006, "network unreachable"},
        {4, 20007, "host unreachable"},
        {5, 20008, "connection refused"},
        {6, 20009, "time to live expired"},
        {7, 20010, "command not supported"},
        {8, 20011, "address type not supported"},
        {9, 20012, "unassigned error #9"},
        {255, 20012, "unassigned error #255"},
    };
    SocksProbe s;
    for (const Row& row : rows) {
        SCOPED_TRACE("reply code " + std::to_string(row.Reply));
        s.Log.clear();
        Start(s, "5");  // the settings are cleared by each close, so they are set again
        Proxy.Expect(3);
        Proxy.Reply(Bytes({5, 0}));
        Proxy.Expect(21);
        Proxy.Reply(Bytes({5, row.Reply}));  // the code alone decides; the rest never comes
        ASSERT_TRUE(RunUntil([&] { return s.State() == wsClosed; }));
        const std::string code = std::to_string(row.Code);
        EXPECT_EQ(s.Log, (Lines{"socks connected 0", "socks error " + code + " " + row.Text,
                                "connected " + code, "closed " + code + " in closed"}));
        Proxy.Close();
    }
}

TEST_F(SocksTest, Version4SendsTheResolvedAddressAndUserCode) {
    SocksProbe s;
    s.SetSocksUsercode("bob");
    Configure(s, "4");
    s.SetAddr("127.0.0.2");
    s.Connect();
    ASSERT_TRUE(Proxy.Accept());
    EXPECT_EQ(Proxy.Expect(12), Bytes({4, 1, 0x10, 0xE1, 127, 0, 0, 2}) + "bob" + Bytes({0}));
    Proxy.Reply(Bytes({0, 90, 0, 0, 0, 0, 0, 0}) + "first");
    ASSERT_TRUE(RunUntil([&] { return s.Data == "first"; }));
    EXPECT_EQ(s.Log, (Lines{"socks connected 0", "connected 0"}));
}

TEST_F(SocksTest, Version4ALetsTheProxyResolveTheName) {
    SocksProbe s;
    s.SetSocksUsercode("bob");
    Start(s, "4a");
    const std::string expected =
        Bytes({4, 1, 0x10, 0xE1, 0, 0, 0, 1}) + "bob" + Bytes({0}) + "target.example" + Bytes({0});
    EXPECT_EQ(Proxy.Expect(expected.size()), expected);
    Proxy.Reply(Bytes({0, 90, 0, 0, 0, 0, 0, 0}));
    ASSERT_TRUE(RunUntil([&] { return s.Log.size() == 2; }));
    EXPECT_EQ(s.Log.back(), "connected 0");
}

// An IPv6 target: version 5 sends its 16 bytes (address type 4) and takes a reply with an IPv6
// bound address; version 4A sends it as the name; version 4 cannot carry it and says so.
TEST_F(SocksTest, IPv6TargetsByVersion) {
    const std::string v6 = Bytes({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5});
    {
        SocksProbe s;
        Configure(s, "5");
        s.SetAddr("[2001:db8::5]");
        s.Connect();
        ASSERT_TRUE(Proxy.Accept());
        EXPECT_EQ(Proxy.Expect(3), Bytes({5, 1, 0}));
        Proxy.Reply(Bytes({5, 0}));
        EXPECT_EQ(Proxy.Expect(22), Bytes({5, 1, 0, 4}) + v6 + Bytes({0x10, 0xE1}));
        Proxy.Reply(Bytes({5, 0, 0, 4}) + v6 + Bytes({0x10, 0xE1}) + "data");
        ASSERT_TRUE(RunUntil([&] { return s.Data == "data"; }));
        EXPECT_EQ(s.Log, (Lines{"socks connected 0", "connected 0"}));
        Proxy.Close();
    }
    {
        SocksProbe s;
        Configure(s, "4A");
        s.SetAddr("2001:db8::5");
        s.Connect();
        ASSERT_TRUE(Proxy.Accept());
        const std::string expected =
            Bytes({4, 1, 0x10, 0xE1, 0, 0, 0, 1, 0}) + "2001:db8::5" + Bytes({0});
        EXPECT_EQ(Proxy.Expect(expected.size()), expected);
        Proxy.Close();
    }
    SocksProbe s;
    Configure(s, "4");
    s.SetAddr("2001:db8::5");
    s.Connect();
    ASSERT_TRUE(Proxy.Accept());
    ASSERT_TRUE(RunUntil([&] { return s.State() == wsClosed; }));
    const std::string text = "socks 4 cannot reach an IPv6 address, use socks 4A or 5";
    EXPECT_EQ(s.Log, (Lines{"socks connected 0", "socks error 20019 " + text, "connected 20019",
                            "closed 20019 in closed"}));
    EXPECT_EQ(peer::Recv(Proxy.Fd), "") << "nothing went to the proxy";
}

TEST_F(SocksTest, Version4RefusalsHaveTheirCodes) {
    struct Row {
        int First, Status, Code;
        const char* Text;
    };
    const Row rows[] = {
        {0, 91, 20016, "request rejected or failed"},
        {0, 92, 20008, "connection refused"},
        {0, 93, 20015, "authentification failed"},
        {0, 94, 20012, "unassigned error #94"},
        {4, 90, 20002, "socks version error"},
    };
    SocksProbe s;
    for (const Row& row : rows) {
        SCOPED_TRACE("status " + std::to_string(row.Status));
        s.Log.clear();
        Start(s, "4A");
        Proxy.Expect(24);
        Proxy.Reply(Bytes({row.First, row.Status, 0, 0, 0, 0, 0, 0}));
        ASSERT_TRUE(RunUntil([&] { return s.State() == wsClosed; }));
        const std::string code = std::to_string(row.Code);
        EXPECT_EQ(s.Log, (Lines{"socks connected 0", "socks error " + code + " " + row.Text,
                                "connected " + code, "closed " + code + " in closed"}));
        Proxy.Close();
    }
}

TEST_F(SocksTest, RepliesArrivingOneByteAtATimeAreActedOnWhenComplete) {
    SocksProbe s;
    s.SetSocksAuthentication(socksAuthenticateUsercode);
    Start(s, "5");
    Proxy.Expect(3);
    auto trickle = [&](const std::string& Reply) {
        for (char c : Reply) {
            const int before = s.ReadCount();
            Proxy.Reply(std::string(1, c));
            ASSERT_TRUE(RunUntil([&] { return s.ReadCount() == before + 1; }));
        }
    };
    trickle(Bytes({5, 2}));
    Proxy.Expect(3);  // empty credentials: 1, 0, 0
    trickle(Bytes({1}));
    EXPECT_EQ(s.Log.back(), "auth starting") << "one byte of the answer is not enough";
    trickle(Bytes({0}));
    EXPECT_EQ(s.Log.back(), "auth succeeded");
    Proxy.Expect(21);
    const std::string reply = Granted5();
    trickle(reply.substr(0, 9));
    EXPECT_EQ(s.Log.back(), "auth succeeded");
    trickle(reply.substr(9));
    EXPECT_EQ(s.Log.back(), "connected 0");
}

TEST_F(SocksTest, DataInTheSameReadAsTheReplyIsReceivedAndCounted) {
    SocksProbe s;
    int countAtConnect = -1;
    s.OnSessionConnected = [&](QObject*, uint16_t) { countAtConnect = s.RcvdCount(); };
    Start(s, "5");
    Proxy.Expect(3);
    Proxy.Reply(Bytes({5, 0}));
    Proxy.Expect(21);
    // A reply with a bound name (address type 3) and eleven bytes of data behind it.
    Proxy.Reply(Bytes({5, 0, 0, 3, 5}) + "proxy" + Bytes({0, 80}) + "hello world");
    ASSERT_TRUE(RunUntil([&] { return s.Data.size() == 11; }));
    EXPECT_EQ(countAtConnect, 11);
    EXPECT_EQ(s.Data, "hello world") << "read four bytes at a time, nothing lost";
}

TEST_F(SocksTest, ReplyWithTheLongestBoundNameCompletes) {
    SocksProbe s;
    Start(s, "5");
    Proxy.Expect(3);
    Proxy.Reply(Bytes({5, 0}));
    Proxy.Expect(21);
    Proxy.Reply(Bytes({5, 0, 0, 3, 255}) + std::string(255, 'n') + Bytes({0, 80}) + "x");
    ASSERT_TRUE(RunUntil([&] { return s.Data == "x"; }));
    EXPECT_EQ(s.Log.back(), "connected 0");
}

TEST_F(SocksTest, UnresolvableVersion4TargetClosesWithoutSessionConnected) {
    SocksProbe s;
    Configure(s, "4");
    s.SetAddr(std::string(300, 'h'));  // refused by the resolver before any look-up
    s.Connect();
    ASSERT_TRUE(Proxy.Accept());
    ASSERT_TRUE(RunUntil([&] { return s.State() == wsClosed; }));
    ASSERT_EQ(s.Log.size(), 3u);
    EXPECT_EQ(s.Log[0], "socks connected 0");
    EXPECT_EQ(s.Log[1].rfind("socks error 20017 ESocketException WSocketResolveHost: '", 0), 0u)
        << s.Log[1];
    EXPECT_EQ(s.Log[2], "closed 20017 in closed");
    EXPECT_EQ(peer::RecvExactly(Proxy.Fd, 1), "") << "no request was sent";
}

TEST_F(SocksTest, UnreachableProxyIsReportedTwiceWithTheSocketError) {
    SocksProbe s;
    s.SetSocksServer("127.0.0.1");
    s.SetSocksPort(std::to_string(peer::UnusedPort()));
    s.SetAddr("target.example");
    s.SetPort("4321");
    s.Connect();
    ASSERT_TRUE(RunUntil([&] { return s.State() == wsClosed; }));
    EXPECT_EQ(s.Log, (Lines{"socks connected 10061", "connected 10061", "closed 0 in closed"}));
}

TEST_F(SocksTest, SettingsAreGuardedWhileOpenAndClearedByTheClose) {
    SocksProbe s;
    s.SetSocksLevel("4a");
    EXPECT_EQ(s.SocksLevel(), "4A");
    EXPECT_EQ(RaisedText([&] { s.SetSocksLevel("6"); }), "Invalid socks level. Must be 4, 4A or 5.");
    EXPECT_EQ(s.SocksLevel(), "4A");
    s.SetSocksServer("  proxy.example  ");
    EXPECT_EQ(s.SocksServer(), "proxy.example");

    s.SetSocksUsercode("kept");
    Start(s, "5");
    Proxy.Expect(3);
    EXPECT_EQ(RaisedText([&] { s.SetSocksLevel("4"); }), "Can't change socks level if not closed");
    EXPECT_EQ(RaisedText([&] { s.SetSocksServer("other"); }),
              "Can't change socks server if not closed");
    EXPECT_EQ(RaisedText([&] { s.SetSocksPort("1"); }), "Can't change socks port if not closed");
    EXPECT_EQ(s.SocksServer(), "127.0.0.1");
    s.Close();
    EXPECT_EQ(s.SocksServer(), "");
    EXPECT_EQ(s.SocksPort(), "");
    EXPECT_EQ(s.SocksLevel(), "5");
    EXPECT_EQ(s.SocksUsercode(), "kept");
}

TEST_F(SocksTest, OnlyTcpConnectsThroughAProxyAndNothingListensThere) {
    SocksProbe s;
    Configure(s, "5");
    s.SetProto("udp");
    EXPECT_EQ(RaisedText([&] { s.Connect(); }), "tcp is the only protocol supported thru socks server");
    EXPECT_EQ(RaisedText([&] { s.Listen(); }), "Listening is not supported thru socks server");
    EXPECT_EQ(s.State(), wsClosed);
}

TEST_F(SocksTest, ValuesThatDoNotFitARequestAreRefusedBeforeConnecting) {
    struct Row {
        const char* Name;
        const char* Level;
        std::string Addr, User, Password;
        bool Auth;
        const char* Text;
    };
    const Row rows[] = {
        {"version 5 name", "5", std::string(122, 'a'), "", "", false,
         "Socks target address too long: 122 bytes, at most 121 fit in the request"},
        {"version 4 user code", "4", "127.0.0.1", std::string(120, 'u'), "", false,
         "Socks user code too long: 120 bytes, at most 119 fit in the request"},
        {"version 4A name and user code", "4A", std::string(100, 'a'), std::string(19, 'u'), "",
         false, "Socks user code and target address too long: 119 bytes, at most 118 fit in the request"},
        {"version 5 credentials", "5", "t", std::string(100, 'u'), std::string(26, 'p'), true,
         "Socks user code and password too long: 126 bytes, at most 125 fit in the request"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Name);
        SocksProbe s;
        Configure(s, row.Level);
        s.SetAddr(row.Addr);
        s.SetSocksUsercode(row.User);
        s.SetSocksPassword(row.Password);
        s.SetSocksAuthentication(row.Auth ? socksAuthenticateUsercode : socksNoAuthentication);
        EXPECT_EQ(RaisedText([&] { s.Connect(); }), row.Text);
        EXPECT_EQ(s.State(), wsClosed);
        EXPECT_TRUE(s.Log.empty());
    }
    // Long credentials are no concern when authentication is not offered.
    SocksProbe s;
    Configure(s, "5");
    s.SetSocksUsercode(std::string(200, 'u'));
    s.Connect();
    EXPECT_EQ(s.State(), wsConnecting);
}

TEST_F(SocksTest, NameThatExactlyFillsTheRequestIsSent) {
    SocksProbe s;
    Configure(s, "5");
    s.SetAddr(std::string(121, 'a'));
    s.Connect();
    ASSERT_TRUE(Proxy.Accept());
    Proxy.Expect(3);
    Proxy.Reply(Bytes({5, 0}));
    const std::string request = Proxy.Expect(128);
    ASSERT_EQ(request.size(), 128u);
    EXPECT_EQ(request.substr(0, 5), Bytes({5, 1, 0, 3, 121}));
    EXPECT_EQ(request.substr(126), Bytes({0x10, 0xE1}));
}

}  // namespace

namespace {

// Where the handshake stands when the proxy drops the connection instead of replying.
struct DroppedHandshake {
    const char* Name;
    const char* Level;
    bool Credentials;
    Lines LogBeforeTheDrop;
};

void PrintTo(const DroppedHandshake& Row, std::ostream* Out) { *Out << Row.Name; }

class SocksDropTest : public SocksTest, public ::testing::WithParamInterface<DroppedHandshake> {};

TEST_P(SocksDropTest, AProxyThatClosesInsteadOfReplyingFailsTheAttempt) {
    const DroppedHandshake& row = GetParam();
    SocksProbe s;
    if (row.Credentials) {
        s.SetSocksAuthentication(socksAuthenticateUsercode);
        s.SetSocksUsercode("user");
        s.SetSocksPassword("secret");
    }
    Start(s, row.Level);
    const std::string level = row.Level;
    if (level == "5") {
        Proxy.Expect(3);
        if (std::string(row.Name) == "AuthResult") {
            Proxy.Reply(Bytes({5, 2}));
            Proxy.Expect(13);
        } else if (std::string(row.Name) == "ConnectReply5") {
            Proxy.Reply(Bytes({5, 0}));
            Proxy.Expect(21);
        }
    } else {
        Proxy.Expect(9);
    }
    EXPECT_EQ(s.Log, row.LogBeforeTheDrop);
    s.Log.clear();
    Proxy.Close();
    ASSERT_TRUE(RunUntil([&] { return s.State() == wsClosed; }));
    RunFor(30);
    Lines expected;
    if (std::string(row.Name) == "AuthResult") expected.push_back("auth failed");
    expected.insert(expected.end(), {"socks error 20018 socks server closed the connection",
                                     "connected 20018", "closed 20018 in connected"});
    EXPECT_EQ(s.Log, expected);
}

INSTANTIATE_TEST_SUITE_P(
    EachWait, SocksDropTest,
    ::testing::Values(
        DroppedHandshake{"MethodChoice", "5", false, {"socks connected 0"}},
        DroppedHandshake{"AuthResult", "5", true, {"socks connected 0", "auth starting"}},
        DroppedHandshake{"ConnectReply5", "5", false, {"socks connected 0"}},
        DroppedHandshake{"ConnectReply4A", "4A", false, {"socks connected 0"}}),
    [](const ::testing::TestParamInfo<DroppedHandshake>& I) { return std::string(I.param.Name); });

TEST_F(SocksTest, TheOwnerHearsOfNoHandshakeSendAndOfOneDataSentOnceTheTunnelStands) {
    SocksProbe s;
    s.OnDataSent = [&](QObject*, uint16_t e) {
        s.Log.push_back("sent " + std::to_string(e));
        if (s.State() == wsConnected) s.SendStr("queued");  // an owner sending its queue
    };
    Start(s, "5");
    EXPECT_EQ(Proxy.Expect(3), Bytes({5, 1, 0}));
    Proxy.Reply(Bytes({5, 0}));
    EXPECT_EQ(Proxy.Expect(21), Request5());
    Proxy.Reply(Granted5());
    EXPECT_EQ(Proxy.Expect(6), "queued");
    RunFor(30);
    ASSERT_GE(s.Log.size(), 3u);
    EXPECT_EQ(Lines(s.Log.begin(), s.Log.begin() + 3),
              (Lines{"socks connected 0", "connected 0", "sent 0"}));
}

}  // namespace

namespace {

// Handlers of the handshake's events that send, close or start another attempt: the owner hears
// nothing of the handshake's own bytes, each attempt ends with its own report, and an attempt
// started from a handler is left alone by the clean-up of the one that failed.
void ThroughProxy(SocksProbe& S, ScriptedProxy& Proxy, const char* Addr = "target.example",
                  const std::string& Port = "4321") {
    S.SetSocksServer("127.0.0.1");
    S.SetSocksPort(std::to_string(Proxy.Port()));
    S.SetAddr(Addr);
    S.SetPort(Port);
    S.Connect();
    ASSERT_TRUE(Proxy.Accept());
}

TEST_F(SocksTest, HandshakeBytesAreNeverReportedAsTheOwnersSends) {
    SocksProbe s;
    s.OnSendData = [&](QObject*, int n) { s.Log.push_back("send data " + std::to_string(n)); };
    ThroughProxy(s, Proxy);
    Proxy.Expect(3);
    Proxy.Reply(Bytes({5, 0}));
    Proxy.Expect(21);
    Proxy.Reply(Granted5());
    ASSERT_TRUE(RunUntil([&] { return s.State() == wsConnected && s.Log.size() == 2; }));
    s.SendStr("abc");
    EXPECT_EQ(s.Log, (Lines{"socks connected 0", "connected 0", "send data 3"}));
}

// The target refuses, the proxy closes, or it resets as the request goes out; an owner that
// closes on a failure report (OnSessionConnected, or OnSocksError), or runs a nested event loop
// in OnSocksError while the proxy's close arrives, still gets OnSessionConnected with the
// failure, then the close, once each.
TEST_F(SocksTest, AFailedHandshakeReportsSocksErrorConnectedAndClosedOnce) {
    enum { Nothing, Closes, Waits };
    const std::pair<const char*, int> rows[] = {
        {"refused", Nothing}, {"closed", Nothing}, {"reset", Nothing}, {"refused", Closes},
        {"closed", Closes},   {"reset", Closes},   {"refused", Waits},  {"closed", Waits},
        {"reset", Waits},     {"reset unanswered", Waits}};
    for (const auto& [ending, inSocksError] : rows) {
        const bool onSocksError = inSocksError == Closes;
        SCOPED_TRACE(std::string(ending) + " OnSocksError " + std::to_string(inSocksError));
        const std::string e = ending;
        ScriptedProxy proxy;
        SocksProbe s;
        s.OnSessionConnected = [&](QObject*, uint16_t err) {
            s.Log.push_back("connected " + std::to_string(err));
            if (err != 0 && e != "reset" && !onSocksError) s.Close();
        };
        s.OnSocksError = [&, log = s.OnSocksError](QObject* o, int err, const std::string& m) {
            log(o, err, m);
            if (onSocksError) s.Close();
            if (inSocksError == Waits) RunFor(50);
        };
        ThroughProxy(s, proxy);
        proxy.Expect(3);
        if (e != "reset unanswered") proxy.Reply(Bytes({5, 0}));
        if (e.rfind("reset", 0) == 0) {
            // The client's request meets a connection that is gone, or its offer is unanswered.
            peer::Reset(proxy.Fd);
            proxy.Fd = -1;
        } else {
            proxy.Expect(21);
            if (e == "refused") proxy.Reply(Bytes({5, 5, 0, 1, 0, 0, 0, 0, 0, 0}));
            else proxy.Close();
        }
        ASSERT_TRUE(RunUntil([&] { return s.State() == wsClosed; }));
        RunFor(30);
        ASSERT_EQ(s.Log.size(), 4u) << ::testing::PrintToString(s.Log);
        EXPECT_EQ(s.Log[1].rfind("socks error ", 0), 0u);
        EXPECT_EQ(s.Log[2], "connected " + s.Log[1].substr(12, s.Log[1].find(' ', 12) - 12));
        EXPECT_NE(s.Log[2], "connected 0");
        EXPECT_EQ(s.Log[3].rfind("closed ", 0), 0u);
    }
}

// A retry started from each handshake event, or from the close of a failed or unread tunnel: the
// new attempt stands as a direct connection, is not closed by what follows the handler and reads
// nothing of the old tunnel.
TEST_F(SocksTest, AnAttemptStartedFromAHandshakeHandlerIsLeftAlone) {
    for (const char* where : {"socks error", "socks connected", "auth state", "session closed",
                              "unread tunnel"}) {
        SCOPED_TRACE(where);
        const std::string w = where;
        ScriptedProxy proxy;
        PosixListener direct;
        SocksProbe s;
        bool retried = false;
        auto retryDirect = [&] {
            if (std::exchange(retried, true)) return;
            s.Close();
            s.SetAddr("127.0.0.1");
            s.SetPort(std::to_string(direct.Port()));
            s.Connect();
        };
        if (w == "socks error") s.OnSocksError = [&](QObject*, int, const std::string&) { retryDirect(); };
        if (w == "socks connected") s.OnSocksConnected = [&](QObject*, uint16_t) { retryDirect(); };
        if (w == "auth state") {
            s.SetSocksAuthentication(socksAuthenticateUsercode);
            s.SetSocksUsercode("u");
            s.SetSocksPassword("p");
            s.OnSocksAuthState = [&](QObject*, TSocksAuthState) { retryDirect(); };
        }
        if (w == "session closed" || w == "unread tunnel")
            s.OnSessionClosed = [&](QObject*, uint16_t) { retryDirect(); };
        if (w == "unread tunnel")  // closes before reading what came with the reply
            s.OnSessionConnected = [&](QObject*, uint16_t) { if (!retried) s.Close(); };
        ThroughProxy(s, proxy, "127.0.0.1", std::to_string(direct.Port()));  // where retries go
        if (w != "socks connected") {
            proxy.Expect(3);
            proxy.Reply(w == "auth state" ? Bytes({5, 2}) : Bytes({5, w == "unread tunnel" ? 0 : 0xFF}));
        }
        if (w == "unread tunnel") proxy.Expect(16);
        if (w == "unread tunnel") proxy.Reply(Granted5() + "stale");
        int fd = -1;
        ASSERT_TRUE(RunUntil([&] { return (fd = direct.Accept(0)) >= 0; }));
        ASSERT_TRUE(RunUntil([&] { return s.State() == wsConnected; }));
        RunFor(50);
        EXPECT_EQ(s.State(), wsConnected) << ::testing::PrintToString(s.Log);
        EXPECT_EQ(std::count(s.Log.begin(), s.Log.end(), "connected 0"), w != "unread tunnel");
        peer::SendAll(fd, "fresh");
        EXPECT_TRUE(RunUntil([&] { return s.Data == "fresh"; })) << s.Data;
        peer::Close(fd);
    }
}

}  // namespace
