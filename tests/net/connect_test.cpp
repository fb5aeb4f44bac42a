// Connection set-up (stream and datagram) and the server side, against real loopback peers.
#include "line_wsocket.h"
#include "raised_text.h"

#include "event_loop.h"
#include "posix_peer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const char* StateName(TSocketState s) {
    static const char* const names[] = {"invalid",   "opened",    "bound",
                                        "connecting", "socks",     "connected",
                                        "accepting", "listening", "closed"};
    return names[s];
}

// A socket that logs its state changes and session events, and opens its fields to the test.
class ConnectSocket : public TWSocket {
public:
    ConnectSocket() {
        OnChangeState = [this](QObject*, TSocketState Old, TSocketState New) {
            Log.push_back(std::string(StateName(Old)) + ">" + StateName(New));
        };
        OnSessionConnected = [this](QObject*, uint16_t Error) {
            Log.push_back("session connected " + std::to_string(Error));
        };
        OnDataAvailable = [this](QObject*, uint16_t) { Received += ReceiveStr(); };
    }

    void Configure(const std::string& Proto, const std::string& Addr, const std::string& Port) {
        SetProto(Proto);
        SetAddr(Addr);
        SetPort(Port);
    }

    int IntOption(int Level, int Name) {
        int value = -1;
        int len = sizeof value;
        if (winsock::getsockopt(Handle, Level, Name, reinterpret_cast<char*>(&value), &len) != 0)
            return -2;
        return value;
    }

    std::vector<std::string> Log;
    std::string Received;

    using TWSocket::AddrResolved;
    using TWSocket::Handle;
    using TWSocket::PortResolved;
    using TWSocket::ProtoResolved;
    using TWSocket::SendBufferSize;
};

bool Connected(TCustomWSocket& s) {
    return RunUntil([&] { return s.State() == wsConnected; });
}

// --- Stream connections ------------------------------------------------------------------------

TEST(ConnectTest, EachSetUpFailureNamesItsStep) {
    ConnectSocket s;
    EXPECT_EQ(RaisedText([&] { s.Connect(); }), "Connect: No Port Specified");
    s.SetPort("23");
    EXPECT_EQ(RaisedText([&] { s.Connect(); }), "Connect: No IP Address Specified");

    struct Row {
        const char *Proto, *Addr, *Port, *LocalPort, *Text;
    };
    const Row rows[] = {
        {"nosuch", "127.0.0.1", "23", "0",
         "connect: WSocketResolveProto: Cannot convert protocol 'nosuch', Error #11004"},
        {"tcp", "127.0.0.1", "nosuchservice", "0",
         "connect: WSocketResolvePort: Cannot convert port 'nosuchservice', Error #11004"},
        {"tcp", "127.0.0.1", "23", "abc",
         "connect: WSocketResolvePort: Cannot convert port 'abc', Error #11004"},
        {"tcp", "127.0.0.1", "23", "00000000000000000000000000000000",
         "connect: WSocketResolvePort: Invalid Port."},
        {"tcp", "1.2.3.08", "23", "0",
         "connect: WSocketResolveHost: '1.2.3.08' Invalid IP address."},
    };
    for (const auto& r : rows) {
        s.Configure(r.Proto, r.Addr, r.Port);
        s.SetLocalPort(r.LocalPort);
        EXPECT_EQ(RaisedText([&] { s.Connect(); }), r.Text);
        EXPECT_EQ(s.State(), wsClosed);
        EXPECT_EQ(s.Handle, winsock::INVALID_SOCKET);
    }
    EXPECT_TRUE(s.Log.empty());

    // What was resolved before the failing item stays resolved.
    EXPECT_TRUE(s.ProtoResolved);
    EXPECT_TRUE(s.PortResolved);
    EXPECT_FALSE(s.AddrResolved);
    PosixListener listener;
    s.SetPort(std::to_string(listener.Port()));
    s.SetAddr("127.0.0.1");
    s.Connect();
    EXPECT_TRUE(Connected(s));
}

TEST(ConnectTest, AStreamConnectOpensThenConnectsLater) {
    PosixListener listener;
    ConnectSocket s;
    s.Configure("tcp", "localhost", std::to_string(listener.Port()));
    s.Connect();
    EXPECT_EQ(s.Log, (std::vector<std::string>{"closed>opened", "opened>connecting"}));
    EXPECT_EQ(s.LocalPort(), "0") << "nothing asked for, so nothing bound";
    EXPECT_GT(s.SendBufferSize, 0);

    // Until the outcome arrives there is no peer to show, and no second connection.
    EXPECT_EQ(s.GetPeerAddr(), "error");
    EXPECT_EQ(s.PeerPort(), "error");
    EXPECT_EQ(RaisedText([&] { s.Connect(); }), "Connect: Socket already in use");

    ASSERT_TRUE(Connected(s));
    EXPECT_EQ(s.Log, (std::vector<std::string>{"closed>opened", "opened>connecting",
                                               "connecting>connected", "session connected 0"}));
    EXPECT_EQ(s.PeerAddr(), "127.0.0.1");
    EXPECT_EQ(s.PeerPort(), std::to_string(listener.Port()));
    EXPECT_EQ(s.GetBoundAddr(), "127.0.0.1");
    EXPECT_EQ(RaisedText([&] { s.Connect(); }), "Connect: Socket already in use");
}

TEST(ConnectTest, TheNewSocketCarriesTheConnectOptions) {
    PosixListener listener;
    ConnectSocket plain, tuned;
    plain.Configure("tcp", "127.0.0.1", std::to_string(listener.Port()));
    plain.Connect();
    tuned.Configure("tcp", "127.0.0.1", std::to_string(listener.Port()));
    tuned.SetComponentOptions({wsoTcpNoDelay});
    tuned.SetLingerTimeout(7);
    tuned.Connect();

    using namespace winsock;
    for (ConnectSocket* s : {&plain, &tuned}) {
        EXPECT_EQ(s->IntOption(SOL_SOCKET, SO_REUSEADDR), 1) << "whatever ReuseAddr holds";
        EXPECT_EQ(s->IntOption(SOL_SOCKET, SO_KEEPALIVE), 1);
    }
    EXPECT_EQ(plain.IntOption(IPPROTO_TCP, TCP_NODELAY), 0);
    EXPECT_EQ(tuned.IntOption(IPPROTO_TCP, TCP_NODELAY), 1);

    auto lingerOf = [](ConnectSocket& s) {
        linger l{9, 9};
        int len = sizeof l;
        getsockopt(s.Handle, SOL_SOCKET, SO_LINGER, reinterpret_cast<char*>(&l), &len);
        return std::to_string(l.l_onoff) + "/" + std::to_string(l.l_linger);
    };
    EXPECT_EQ(lingerOf(plain), "1/0") << "by default a close is abortive";
    EXPECT_EQ(lingerOf(tuned), "1/7");
}

TEST(ConnectTest, ALocalAddressOrPortIsBoundAndReadsAsTheBoundPort) {
    PosixListener listener;
    ConnectSocket anyPort;
    anyPort.Configure("tcp", "127.0.0.1", std::to_string(listener.Port()));
    anyPort.SetLocalAddr("127.0.0.1");
    anyPort.Connect();
    EXPECT_NE(anyPort.LocalPort(), "0") << "the port the platform chose";
    ASSERT_TRUE(Connected(anyPort));
    EXPECT_EQ(anyPort.LocalPort(), anyPort.GetBoundPort());

    const std::string chosen = std::to_string(peer::UnusedPort());
    ConnectSocket fixedPort;
    fixedPort.Configure("tcp", "127.0.0.1", std::to_string(listener.Port()));
    fixedPort.SetLocalPort(chosen);
    fixedPort.Connect();
    EXPECT_EQ(fixedPort.LocalPort(), chosen);
    ASSERT_TRUE(Connected(fixedPort));
    EXPECT_EQ(fixedPort.GetBoundPort(), chosen);
}

TEST(ConnectTest, AFailureAfterOpeningLeavesTheSocketOpenUntilClosed) {
    PosixListener listener, busy;
    ConnectSocket s;
    s.Configure("tcp", "127.0.0.1", std::to_string(listener.Port()));
    s.SetLocalAddr("127.0.0.1");
    s.SetLocalPort(std::to_string(busy.Port()));
    EXPECT_EQ(RaisedText([&] { s.Connect(); }), "winsock.bind failed, error #10048");
    EXPECT_EQ(s.State(), wsOpened);
    EXPECT_EQ(RaisedText([&] { s.Connect(); }), "Connect: Socket already in use");
    s.Close();
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_EQ(s.Handle, winsock::INVALID_SOCKET);

    s.Configure("tcp", "127.0.0.1", std::to_string(listener.Port()));
    s.Connect();
    EXPECT_TRUE(Connected(s));
}

TEST(ConnectTest, AHandlerThatClosesTheOpenedSocketEndsTheConnect) {
    PosixListener listener;
    ConnectSocket s;
    s.Configure("tcp", "127.0.0.1", std::to_string(listener.Port()));
    s.OnChangeState = [&](QObject*, TSocketState, TSocketState New) {
        s.Log.push_back(StateName(New));
        if (New == wsOpened) s.Close();
    };
    EXPECT_EQ(RaisedText([&] { s.Connect(); }),
              "Error 10022 in function Connect (Invalid operation in OnChangeState)\r\n"
              "Invalid argument");
    EXPECT_EQ(s.Log, (std::vector<std::string>{"opened", "closed"}));
    EXPECT_EQ(s.LastError(), 10022);
    EXPECT_EQ(s.Handle, winsock::INVALID_SOCKET);
    EXPECT_EQ(listener.Accept(100), -1) << "no connection was attempted";
}

// --- Datagram sockets --------------------------------------------------------------------------

TEST(DatagramTest, ConnectIsImmediateAndDatagramsGoBothWays) {
    ConnectSocket server;
    server.Configure("udp", "127.0.0.1", "0");
    server.SetReuseAddr(true);
    server.Listen();
    EXPECT_EQ(server.Log, (std::vector<std::string>{"closed>bound", "bound>listening"}));
    EXPECT_EQ(server.IntOption(winsock::SOL_SOCKET, winsock::SO_REUSEADDR), 1);
    const std::string port = server.GetBoundPort();
    ASSERT_NE(port, "0");
    ASSERT_NE(port, "error");

    std::string got;
    winsock::sockaddr_in from{};
    server.OnDataAvailable = [&](QObject*, uint16_t) {
        char buf[64];
        int fromLen = sizeof from;
        const int n = server.ReceiveFrom(buf, sizeof buf, from, fromLen);
        if (n > 0) got.append(buf, static_cast<size_t>(n));
    };

    ConnectSocket client;
    client.Configure("udp", "127.0.0.1", port);
    client.Connect();
    EXPECT_EQ(client.Log, (std::vector<std::string>{"closed>opened", "opened>connected",
                                                    "session connected 0"}))
        << "connected before Connect returned";
    EXPECT_NE(client.LocalPort(), "0") << "a datagram socket is always bound";
    EXPECT_EQ(client.IntOption(winsock::SOL_SOCKET, winsock::SO_REUSEADDR), 0);

    EXPECT_EQ(client.SendStr("ping"), 4);
    ASSERT_TRUE(RunUntil([&] { return got == "ping"; }));
    EXPECT_EQ(std::to_string(winsock::ntohs(from.sin_port)), client.LocalPort());

    const std::string reply = "pong";
    EXPECT_EQ(server.SendTo(from, sizeof from, reply.data(), static_cast<int>(reply.size())), 4);
    EXPECT_TRUE(RunUntil([&] { return client.Received == "pong"; }));
}

TEST(DatagramTest, BroadcastAndMulticastOptionsFollowTheSettings) {
    using namespace winsock;
    ConnectSocket broadcast, unicast, multicast;
    broadcast.Configure("udp", "255.255.255.255", "9");
    broadcast.Connect();
    EXPECT_EQ(broadcast.IntOption(SOL_SOCKET, SO_BROADCAST), 1);
    unicast.Configure("udp", "127.0.0.1", "9");
    unicast.Connect();
    EXPECT_EQ(unicast.IntOption(SOL_SOCKET, SO_BROADCAST), 0);
    EXPECT_EQ(unicast.State(), wsConnected);

    multicast.Configure("udp", "239.1.2.3", "9");
    multicast.SetMultiCast(true);
    multicast.SetMultiCastIpTTL(4);
    multicast.SetLocalAddr("127.0.0.1");
    multicast.Connect();
    EXPECT_EQ(multicast.IntOption(IPPROTO_IP, IP_MULTICAST_TTL), 4);
    EXPECT_EQ(static_cast<winsock::u_long>(multicast.IntOption(IPPROTO_IP, IP_MULTICAST_IF)),
              inet_addr("127.0.0.1"));
}

// --- The server side ---------------------------------------------------------------------------

TEST(ServerTest, AListeningSocketHandsItsConnectionsToDuplicates) {
    ConnectSocket server;
    server.Configure("tcp", "127.0.0.1", "0");
    server.Listen();
    EXPECT_EQ(server.Log, (std::vector<std::string>{"closed>bound", "bound>listening"}));
    const std::string port = server.GetBoundPort();
    ASSERT_NE(port, "0");
    EXPECT_EQ(server.GetBoundAddr(), "127.0.0.1");

    ConnectSocket accepted;
    server.OnSessionAvailable = [&](QObject*, uint16_t Error) {
        EXPECT_EQ(Error, 0);
        accepted.Dup(server.Accept());
    };
    ConnectSocket client;
    client.Configure("tcp", "127.0.0.1", port);
    client.Connect();
    ASSERT_TRUE(RunUntil([&] {
        return client.State() == wsConnected && accepted.State() == wsConnected;
    }));
    EXPECT_EQ(accepted.Log, std::vector<std::string>{"closed>connected"});
    EXPECT_EQ(accepted.PeerAddr(), "127.0.0.1");
    EXPECT_EQ(accepted.PeerPort(), client.GetBoundPort());
    EXPECT_EQ(accepted.GetBoundPort(), port);
    EXPECT_EQ(server.State(), wsListening);

    client.SendStr("ping\r\n");
    EXPECT_TRUE(RunUntil([&] { return accepted.Received == "ping\r\n"; }));
    accepted.SendStr("pong\r\n");
    EXPECT_TRUE(RunUntil([&] { return client.Received == "pong\r\n"; }));
}

TEST(ServerTest, ADuplicateStartsWithNothingOfThePastAndSeesAnEarlyClose) {
    ConnectSocket server;
    server.Configure("tcp", "127.0.0.1", "0");
    server.Listen();
    const uint16_t port = static_cast<uint16_t>(std::stoi(server.GetBoundPort()));
    std::vector<SOCKET> accepted;
    server.OnSessionAvailable = [&](QObject*, uint16_t) { accepted.push_back(server.Accept()); };

    // A session that ends with much still unsent: its peer reads nothing.
    ConnectSocket reused;
    PosixListener stalled;
    reused.Configure("tcp", "127.0.0.1", std::to_string(stalled.Port()));
    reused.Connect();
    const int stalledFd = stalled.Accept();
    peer::SetReceiveBuffer(stalledFd, 4096);
    ASSERT_TRUE(Connected(reused));
    reused.SendStr(std::string(4 << 20, 'o'));
    reused.Close();
    peer::Close(stalledFd);

    // The same object takes a newly accepted connection: only new bytes go to its peer.
    const int newPeer = peer::Connect(port);
    ASSERT_TRUE(RunUntil([&] { return accepted.size() == 1; }));
    reused.Dup(accepted[0]);
    reused.SendStr("new");
    EXPECT_EQ(peer::RecvExactly(newPeer, 3), "new");
    peer::Close(newPeer);
    ASSERT_TRUE(RunUntil([&] { return reused.State() == wsClosed; }));

    // A peer that closed before its connection was handed on: the duplicate still sees it.
    const int early = peer::Connect(port);
    ASSERT_TRUE(RunUntil([&] { return accepted.size() == 2; }));
    peer::Close(early);
    RunFor(50);  // the close goes to the listening socket's window, which ignores it
    ConnectSocket late;
    late.Dup(accepted[1]);
    EXPECT_TRUE(RunUntil([&] { return late.State() == wsClosed; })) << "the close was lost";
}

TEST(ServerTest, MisuseIsRefusedWithItsText) {
    ConnectSocket s;
    EXPECT_EQ(RaisedText([&] { s.Accept(); }),
              "Error 10022 in function not a listening socket\r\nInvalid argument");
    EXPECT_EQ(RaisedText([&] { s.Dup(winsock::INVALID_SOCKET); }),
              "Error 10022 in function Dup\r\nInvalid argument");
    EXPECT_EQ(RaisedText([&] { s.Dup(0); }), "Error 10022 in function Dup\r\nInvalid argument");

    EXPECT_EQ(RaisedText([&] { s.Listen(); }),
              "Error 10022 in function listen: port not assigned\r\nInvalid argument");
    s.SetPort("0");
    EXPECT_EQ(RaisedText([&] { s.Listen(); }),
              "Error 10022 in function listen: address not assigned\r\nInvalid argument");
    s.SetProto(" ");
    EXPECT_EQ(RaisedText([&] { s.Listen(); }),
              "Error 10022 in function listen: protocol not assigned\r\nInvalid argument");
    s.Configure("tcp", "127.0.0.1", "nosuchservice");
    EXPECT_EQ(RaisedText([&] { s.Listen(); }),
              "listen: WSocketResolvePort: Cannot convert port 'nosuchservice', Error #11004");

    // With OnError assigned, Accept reports and returns no handle.
    s.OnError = [](QObject*) {};
    EXPECT_EQ(s.Accept(), winsock::INVALID_SOCKET);
    EXPECT_TRUE(s.Log.empty());
}

TEST(ServerTest, AFailedBindReleasesTheNewSocket) {
    PosixListener busy;
    ConnectSocket s;
    s.Configure("tcp", "127.0.0.1", std::to_string(busy.Port()));
    EXPECT_EQ(RaisedText([&] { s.Listen(); }),
              "Error 10048 in function Bind\r\nAddress already in use");
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_EQ(s.Handle, winsock::INVALID_SOCKET) << "left open, no Close would ever free it";

    s.Configure("tcp", "127.0.0.1", "0");
    s.Listen();
    EXPECT_EQ(s.State(), wsListening);
}

TEST(ServerTest, CapturingEveryPacketIsRefusedWithAClearText) {
    ConnectSocket s;
    s.Configure("raw_tcp", "127.0.0.1", "0");
    s.SetComponentOptions({wsoSIO_RCVALL});
    const std::string text = RaisedText([&] { s.Listen(); });
    if (text.find("in function socket\r\n") != std::string::npos) {
        // Raw sockets need privileges this run does not have.
        EXPECT_EQ(text.rfind("Error 100", 0), 0u) << text;
        EXPECT_EQ(s.State(), wsClosed);
        return;
    }
    EXPECT_EQ(text,
              "Error 10045 in function WSAIoctl(SIO_RCVALL)\r\nOperation not supported on socket");
    EXPECT_EQ(s.State(), wsBound);
    s.Close();
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_EQ(s.Handle, winsock::INVALID_SOCKET);
}

}  // namespace
