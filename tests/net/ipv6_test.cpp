// IPv6 on ::1: literals, names of either family (through a scripted resolver answer), the race
// of attempts when the first address does not answer, and a listener on "::" for both families.
#include "socket_probe.h"
#include "winsock_binding.h"

#include "event_loop.h"
#include "posix_peer.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>

#include <algorithm>
#include <utility>
#include <optional>

using Lines = std::vector<std::string>;

namespace {

int Connects(const RecordingSocket& S) {
    return static_cast<int>(std::count_if(S.Log.begin(), S.Log.end(), [](const std::string& L) {
        return L.rfind("connected", 0) == 0;
    }));
}

struct Row {
    const char* Name;
    const char* Addr;
    std::vector<TSocketAddress> Answer;  // empty: the real resolver
    bool ServeV6;
    const char* PeerAddr;
};

// A row reads as its name in test names and failures.
void PrintTo(const Row& R, std::ostream* Out) { *Out << R.Name; }

class Ipv6Connect : public ::testing::TestWithParam<Row> {};

TEST_P(Ipv6Connect, ReachesThePeerOnceAndTellsItsAddress) {
    const Row& row = GetParam();
    PosixListener v4(16, PeerFamily::V4);
    PosixListener v6(16, PeerFamily::V6, v4.Port());
    if (!v6.Listening()) GTEST_SKIP() << "no IPv6 on this machine";
    ScriptedSocket s;
    s.Answer = row.Answer;
    // Without an IPv6 peer: a port nobody listens on at ::1.
    std::optional<PosixListener> onlyV4;
    if (!row.ServeV6) onlyV4.emplace(16, PeerFamily::V4);
    PosixListener& v4Server = onlyV4 ? *onlyV4 : v4;
    const uint16_t port = v4Server.Port();
    PosixListener* server = std::string(row.PeerAddr) == "::1" ? &v6 : &v4Server;
    s.SetAddr(row.Addr);
    s.SetPort(std::to_string(port));
    s.Connect();
    ASSERT_TRUE(RunUntil([&] { return Connects(s) > 0; }));
    ASSERT_EQ(std::count(s.Log.begin(), s.Log.end(), "connected 0"), 1) << s.Log.back();
    const int fd = server->Accept();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(s.PeerAddr(), row.PeerAddr);
    EXPECT_EQ(s.GetBoundAddr(), row.PeerAddr) << "loopback to loopback";
    EXPECT_EQ(s.PeerPort(), std::to_string(port));
    s.SendStr("over v6?");
    EXPECT_EQ(peer::RecvExactly(fd, 8), "over v6?");
    RunFor(50);
    EXPECT_EQ(Connects(s), 1);
    peer::Close(fd);
}

INSTANTIATE_TEST_SUITE_P(
    Targets, Ipv6Connect,
    ::testing::Values(
        Row{"ipv6_literal", "::1", {}, true, "::1"},
        Row{"ipv6_literal_in_brackets", " [::1] ", {}, true, "::1"},
        Row{"dotted_ipv4_as_before", "127.0.0.1", {}, false, "127.0.0.1"},
        Row{"ipv6_only_name", "six.example", {V6Loopback}, true, "::1"},
        // A scoped address is no plain literal: the system's resolver answers for it.
        Row{"scoped_ipv6_through_the_resolver", "::1%1", {}, true, "::1"},
        Row{"both_families_ipv6_answers", "both.example", {V6Loopback, V4Loopback}, true, "::1"},
        Row{"both_families_ipv6_refused", "both.example", {V6Loopback, V4Loopback}, false, "127.0.0.1"},
        Row{"ipv4_first_in_the_answer", "both.example", {V4Loopback, V6Loopback}, true, "127.0.0.1"}),
    [](const auto& Info) { return std::string(Info.param.Name); });

// The IPv6 address never answers: the IPv4 one, tried after the attempt delay, wins, and the
// owner hears of one attempt only.
TEST(Ipv6Race, FallsBackToIPv4WhenIPv6NeverAnswers) {
    PosixListener v4(16, PeerFamily::V4);
    PosixListener silent(0, PeerFamily::V6, v4.Port());
    if (!silent.Listening()) GTEST_SKIP() << "no IPv6 on this machine";
    silent.Silence();
    RecordingSocket library;  // keeps the library (and its one descriptor) while counting
    GetWinsockProc("");
    const int before = peer::OpenDescriptors();
    {
        ScriptedSocket s;
        s.Answer = {V6Loopback, V4Loopback};
        s.OnChangeState = nullptr;
        s.SetAddr("both.example");
        s.SetPort(std::to_string(v4.Port()));
        QElapsedTimer clock;
        clock.start();
        s.Connect();
        ASSERT_TRUE(RunUntil([&] { return Connects(s) > 0; }));
        // Not a timing assertion: a socket that waited for the IPv6 attempt would wait minutes.
        std::printf("connected after %lld ms\n", static_cast<long long>(clock.elapsed()));
        EXPECT_EQ(s.PeerAddr(), "127.0.0.1");
        const int fd = v4.Accept();
        ASSERT_GE(fd, 0);
        RunFor(300);  // the losing attempt is closed: nothing of it reaches the owner
        EXPECT_EQ(s.Log, (Lines{"connected 0", "sent 0"}));
        EXPECT_EQ(peer::OpenDescriptors(), before + 2) << "the socket and the peer's side only";
        peer::Close(fd);
    }
    EXPECT_EQ(peer::OpenDescriptors(), before);
}

// Every address fails: one OnSessionConnected with the last address's error, then the close.
TEST(Ipv6Race, ReportsOneFailureWithTheLastError) {
    const uint16_t port = peer::UnusedPort();
    ScriptedSocket s;
    s.Answer = {V6Loopback, V4Loopback, V6Loopback};
    s.OnChangeState = nullptr;
    s.SetAddr("both.example");
    s.SetPort(std::to_string(port));
    s.Connect();
    ASSERT_TRUE(RunUntil([&] { return s.State() == wsClosed; }));
    RunFor(300);
    EXPECT_EQ(s.Log, (Lines{"connected 10061", "closed 0 in closed"}));
}

// A close while attempts are in flight ends them all, and none speaks up later.
TEST(Ipv6Race, CloseDuringTheRaceEndsEveryAttempt) {
    PosixListener silent4(0, PeerFamily::V4);
    PosixListener silent6(0, PeerFamily::V6, silent4.Port());
    if (!silent6.Listening()) GTEST_SKIP() << "no IPv6 on this machine";
    silent4.Silence();
    silent6.Silence();
    RecordingSocket library;
    GetWinsockProc("");
    const int before = peer::OpenDescriptors();
    ScriptedSocket s;
    s.Answer = {V6Loopback, V4Loopback};
    s.OnChangeState = nullptr;
    s.SetAddr("both.example");
    s.SetPort(std::to_string(silent4.Port()));
    s.Connect();
    RunFor(300);  // the second attempt has started
    EXPECT_EQ(peer::OpenDescriptors(), before + 2);
    s.Close();
    EXPECT_EQ(peer::OpenDescriptors(), before);
    RunFor(300);
    EXPECT_EQ(Connects(s), 0);
    EXPECT_EQ(s.State(), wsClosed);
}

// A connection started from OnSessionClosed of one closed mid-race races again, rather than
// going to the address the closed one tried first.
TEST(Ipv6Race, AConnectFromTheCloseOfAnUndecidedRaceRacesAgain) {
    PosixListener v4(16, PeerFamily::V4);
    PosixListener silent(0, PeerFamily::V6, v4.Port());
    if (!silent.Listening()) GTEST_SKIP() << "no IPv6 on this machine";
    silent.Silence();
    ScriptedSocket s;
    s.Answer = {V6Loopback, V4Loopback};
    s.OnChangeState = nullptr;
    bool again = true;
    s.OnSessionClosed = [&](QObject*, uint16_t) {
        if (!std::exchange(again, false)) return;
        s.SetAddr("both.example");
        s.SetPort(std::to_string(v4.Port()));
        s.Connect();
    };
    s.SetAddr("both.example");
    s.SetPort(std::to_string(v4.Port()));
    s.Connect();
    s.Close();  // before the IPv4 attempt has started
    ASSERT_TRUE(RunUntil([&] { return Connects(s) > 0; }));
    EXPECT_EQ(s.Log.front(), "connected 0");
    EXPECT_EQ(s.PeerAddr(), "127.0.0.1");
}

// A listener on "::" takes both families; each accepted peer's address is in its usual form.
TEST(Ipv6Listen, AnyAddressTakesBothFamilies) {
    RecordingSocket server;
    server.SetAddr("::");
    server.SetPort("0");
    server.Listen();
    if (server.State() != wsListening) GTEST_SKIP() << "no IPv6 on this machine";
    EXPECT_EQ(server.GetBoundAddr(), "::");
    const auto port = static_cast<uint16_t>(std::stoi(server.GetBoundPort()));
    std::vector<std::unique_ptr<RecordingSocket>> accepted;
    server.OnSessionAvailable = [&](QObject*, uint16_t) {
        accepted.push_back(std::make_unique<RecordingSocket>());
        accepted.back()->Dup(server.Accept());
    };
    const int c4 = peer::Connect(port, PeerFamily::V4);
    ASSERT_TRUE(RunUntil([&] { return accepted.size() == 1; }));
    const int c6 = peer::Connect(port, PeerFamily::V6);
    ASSERT_TRUE(RunUntil([&] { return accepted.size() == 2; }));
    EXPECT_EQ(accepted[0]->PeerAddr(), "127.0.0.1");
    EXPECT_EQ(accepted[1]->PeerAddr(), "::1");
    peer::Close(c4);
    peer::Close(c6);
}

}  // namespace
