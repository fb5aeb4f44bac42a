// The korvel-chatd program itself: it answers, and it stops cleanly on SIGTERM.
#include "event_loop.h"
#include "line_wsocket.h"
#include "posix_peer.h"
#include "tls_peers.h"

#include <QProcess>

#include <gtest/gtest.h>

namespace {

// Starts the server and waits for it to end, collecting both output streams.
struct ChatdProcess {
    QProcess Process;
    std::string Out, Err;

    explicit ChatdProcess(const QStringList& Args) { Process.start(KORVEL_CHATD_BINARY, Args); }
    ~ChatdProcess() {
        if (Process.state() != QProcess::NotRunning) {
            Process.kill();
            Process.waitForFinished(5000);
        }
    }
    void Collect() {
        Out += Process.readAllStandardOutput().toStdString();
        Err += Process.readAllStandardError().toStdString();
    }
    // The port from the "listening on" line, 0 while it has not appeared.
    uint16_t ListeningPort(const std::string& Host = "127.0.0.1") {
        Collect();
        const std::string mark = "listening on " + Host + ":";
        const auto at = Out.find(mark);
        if (at == std::string::npos || Out.find('\n', at) == std::string::npos) return 0;
        return static_cast<uint16_t>(std::stoi(Out.substr(at + mark.size())));
    }
    bool WaitFinished() {
        const bool done = RunUntil([&] {
            Collect();
            return Process.state() == QProcess::NotRunning;
        }, 10000);
        Collect();
        return done;
    }
};

TEST(ChatdProcessTest, AnswersThenStopsCleanlyOnSigtermAndListensAgainAtOnce) {
    ChatdProcess chatd({"--port", "0", "--max-per-address", "1"});
    uint16_t port = 0;
    ASSERT_TRUE(RunUntil([&] { return (port = chatd.ListeningPort()) != 0; }, 10000))
        << chatd.Out << chatd.Err;

    const int fd = peer::Connect(port);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(peer::RecvExactly(fd, 18),
              "\xFF\xFD\x18\xFF\xFA\x18\x01\xFF\xF0\xFF\xFB\x01\xFF\xFB\x03\xFF\xFD\x17");
    ASSERT_TRUE(peer::SendAll(fd, "~SC=AB1-Anna\r\n"));
    const std::string welcome = "*wWelcome to the local chat server\r\n";
    EXPECT_EQ(peer::RecvExactly(fd, welcome.size()), welcome);
    // Two connections beyond the limit may still replace a user's old one; a third is refused at
    // once, the server closing first.
    int extra[3];
    for (int& e : extra) e = peer::Connect(port);
    EXPECT_TRUE(peer::WaitEof(extra[2]));

    chatd.Process.terminate();  // SIGTERM
    ASSERT_TRUE(chatd.WaitFinished());
    EXPECT_EQ(chatd.Process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(chatd.Process.exitCode(), 0) << chatd.Err;
    EXPECT_TRUE(peer::WaitEof(fd)) << "clients are closed on the way out";
    peer::Close(fd);
    for (int e : extra) peer::Close(e);
    EXPECT_NE(chatd.Out.find("login AB1-Anna\n"), std::string::npos) << chatd.Out;
    EXPECT_NE(chatd.Out.find(" - stopped\n"), std::string::npos) << chatd.Out;

    // Started again at once on the same port, while the connections it closed wait in TIME_WAIT.
    ChatdProcess again({"--port", QString::number(port)});
    ASSERT_TRUE(RunUntil([&] { return again.ListeningPort() == port || again.Process.state() == QProcess::NotRunning; }, 10000));
    EXPECT_EQ(again.ListeningPort(), port) << again.Err;
}

// With a certificate and key it serves TLS on a port of its own: a client of the socket layer
// gets the telnet greeting through it, and a plain client on that port is dropped. Bad TLS
// options are refused before it listens.
TEST(ChatdProcessTest, ServesTlsOnItsOwnPort) {
    const TlsTestFiles& f = TlsFiles();
    for (const QStringList& bad : {QStringList{"--tls-cert", QString::fromStdString(f.GoodCert)},
                                   QStringList{"--tls-cert", QString::fromStdString(f.GoodCert), "--tls-key",
                                               QString::fromStdString(f.SelfKey)}}) {
        ChatdProcess refused(QStringList{"--port", "0"} + bad);
        ASSERT_TRUE(refused.WaitFinished());
        EXPECT_EQ(refused.Process.exitCode(), 2) << refused.Err;
    }
    ChatdProcess chatd({"--port", "0", "--tls-port", "0", "--tls-cert", QString::fromStdString(f.GoodCert),
                        "--tls-key", QString::fromStdString(f.GoodKey)});
    uint16_t port = 0;
    const std::string mark = "listening for TLS on 127.0.0.1:";
    ASSERT_TRUE(RunUntil([&] {
        chatd.Collect();
        const auto at = chatd.Out.find(mark);
        if (at == std::string::npos || chatd.Out.find('\n', at) == std::string::npos) return false;
        port = static_cast<uint16_t>(std::stoi(chatd.Out.substr(at + mark.size())));
        return true;
    }, 10000)) << chatd.Out << chatd.Err;

    TWSocket s;
    std::string got;
    uint16_t connected = 1;
    s.OnSessionConnected = [&](QObject*, uint16_t e) { connected = e; };
    s.OnDataAvailable = [&](QObject*, uint16_t) { got += s.ReceiveStr(); };
    s.SetTls(true);
    s.SetTlsHostName("localhost");
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(port));
    s.Connect();
    ASSERT_TRUE(RunUntil([&] { return got.size() >= 18; })) << "connected " << connected;
    EXPECT_EQ(connected, 0);
    EXPECT_EQ(got.substr(0, 18), "\xFF\xFD\x18\xFF\xFA\x18\x01\xFF\xF0\xFF\xFB\x01\xFF\xFB\x03\xFF\xFD\x17");
    s.SendStr("~SC=AB1-Anna\r\n");
    ASSERT_TRUE(RunUntil([&] { return got.find("Welcome") != std::string::npos; }));
    s.Close();

    const int plain = peer::Connect(port);
    ASSERT_GE(plain, 0);
    peer::SendAll(plain, "~SC=AB2-Bert\r\n");
    EXPECT_TRUE(peer::WaitEof(plain));
    peer::Close(plain);
}

TEST(ChatdProcessTest, RefusesAPortInUseWithAMessage) {
    PosixListener taken;
    const std::string port = std::to_string(taken.Port());
    ChatdProcess busy({"--port", QString::fromStdString(port)});
    ASSERT_TRUE(busy.WaitFinished());
    EXPECT_NE(busy.Process.exitCode(), 0);
    EXPECT_NE(busy.Err.find("cannot listen on 127.0.0.1:" + port + ": "), std::string::npos)
        << busy.Err;
}

// On "::" the server takes both families, and counts each caller's address on its own.
TEST(ChatdProcessTest, ListensOnBothFamiliesOnTheAnyAddress) {
    ChatdProcess chatd({"--host", "::", "--port", "0", "--max-per-address", "1"});
    uint16_t port = 0;
    ASSERT_TRUE(RunUntil([&] { return (port = chatd.ListeningPort("[::]")) != 0; }, 10000))
        << chatd.Out << chatd.Err;
    const std::string negotiation =
        "\xFF\xFD\x18\xFF\xFA\x18\x01\xFF\xF0\xFF\xFB\x01\xFF\xFB\x03\xFF\xFD\x17";
    const int v4 = peer::Connect(port, PeerFamily::V4);
    const int v6 = peer::Connect(port, PeerFamily::V6);
    ASSERT_GE(v4, 0);
    ASSERT_GE(v6, 0);
    EXPECT_EQ(peer::RecvExactly(v4, negotiation.size()), negotiation);
    EXPECT_EQ(peer::RecvExactly(v6, negotiation.size()), negotiation);
    ASSERT_TRUE(RunUntil([&] {
        chatd.Collect();
        return chatd.Out.find("[::1]:") != std::string::npos &&
               chatd.Out.find(" 127.0.0.1:") != std::string::npos;
    })) << chatd.Out;
    EXPECT_EQ(chatd.Out.find("beyond the limit"), std::string::npos) << "two addresses, one each";
    peer::Close(v4);
    peer::Close(v6);
}

}  // namespace
