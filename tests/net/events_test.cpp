// The socket object's events in their order, against scripted peers on 127.0.0.1.
#include "socket_exception.h"
#include "socket_probe.h"

#include "event_loop.h"
#include "posix_peer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <utility>

using Lines = std::vector<std::string>;

namespace {

// A data handler that reads at most 10 bytes per call and counts its calls.
void ReadTenBytesPerCall(RecordingSocket& S, std::string& Received, int& Calls) {
    S.OnDataAvailable = [&S, &Received, &Calls](QObject*, uint16_t) {
        ++Calls;
        char buf[10];
        const int n = S.Receive(buf, sizeof buf);
        if (n > 0) Received.append(buf, static_cast<size_t>(n));
    };
}

class EventsTest : public ::testing::Test {
protected:
    // A socket connected to the listener, with the connect's events cleared from its log.
    std::unique_ptr<RecordingSocket> Connected() {
        auto s = std::make_unique<RecordingSocket>();
        s->ConnectTo(Listener.Port());
        PeerFd = Listener.Accept();
        EXPECT_GE(PeerFd, 0);
        EXPECT_TRUE(RunUntil([&] { return s->Log.size() >= 5; }));
        s->Log.clear();
        return s;
    }
    void TearDown() override {
        if (PeerFd >= 0) peer::Close(PeerFd);
    }

    PosixListener Listener;
    int PeerFd = -1;
};

TEST_F(EventsTest, ConnectGoesThroughOpenedAndConnectingThenReportsOnce) {
    RecordingSocket s;
    s.ConnectTo(Listener.Port());
    EXPECT_EQ(s.Log, (Lines{"closed>opened", "opened>connecting"}));
    PeerFd = Listener.Accept();
    ASSERT_TRUE(RunUntil([&] { return s.Log.size() == 5; }));
    RunFor(50);
    EXPECT_EQ(s.Log, (Lines{"closed>opened", "opened>connecting", "connecting>connected",
                            "connected 0", "sent 0"}));
}

TEST_F(EventsTest, RefusedConnectPassesThroughConnectedThenCloses) {
    RecordingSocket s;
    s.ConnectTo(peer::UnusedPort());
    ASSERT_TRUE(RunUntil([&] { return s.State() == wsClosed; }));
    RunFor(50);
    EXPECT_EQ(s.Log, (Lines{"closed>opened", "opened>connecting", "connecting>connected",
                            "connected 10061", "connected>closed", "closed 0 in closed"}));
    EXPECT_FALSE(s.PortAssigned) << "defaults are restored after the close";
}

TEST_F(EventsTest, HandlerReadingPartOfTheDataIsCalledAgainUntilNothingIsPending) {
    auto s = Connected();
    std::string received;
    int calls = 0;
    ReadTenBytesPerCall(*s, received, calls);
    const std::string sent(100, 'q');
    ASSERT_TRUE(peer::SendAll(PeerFd, sent));
    ASSERT_TRUE(RunUntil([&] { return received.size() == 100; }));
    EXPECT_EQ(calls, 10) << "one notification, the handler called while bytes remain";
    EXPECT_EQ(s->ReadCount(), 100);
}

TEST_F(EventsTest, NoReceiveLoopCallsTheHandlerOncePerNotification) {
    auto s = Connected();
    s->SetComponentOptions({wsoNoReceiveLoop});
    std::string received;
    int calls = 0;
    ReadTenBytesPerCall(*s, received, calls);
    ASSERT_TRUE(peer::SendAll(PeerFd, std::string(30, 'z')));
    ASSERT_TRUE(RunUntil([&] { return received.size() == 30; }));
    EXPECT_EQ(calls, 3);
}

TEST_F(EventsTest, PeerCloseOffersPendingDataBeforeClosedWhileStillConnected) {
    auto s = Connected();
    s->SetComponentOptions({wsoNoReceiveLoop});
    std::string received;
    s->OnDataAvailable = [&](QObject*, uint16_t) {
        char buf[2];
        const int n = s->Receive(buf, sizeof buf);
        if (n > 0) received.append(buf, static_cast<size_t>(n));
        s->Log.push_back("data");
    };
    ASSERT_TRUE(peer::SendAll(PeerFd, "hello"));
    peer::Close(PeerFd);
    PeerFd = -1;
    ASSERT_TRUE(RunUntil([&] { return s->State() == wsClosed; }));
    RunFor(50);
    EXPECT_EQ(received, "hello");
    ASSERT_GE(s->Log.size(), 3u);
    const Lines tail(s->Log.end() - 2, s->Log.end());
    EXPECT_EQ(tail, (Lines{"closed 0 in connected", "connected>closed"}));
    int closedEvents = 0;
    for (auto& l : s->Log) closedEvents += l.rfind("closed ", 0) == 0;
    EXPECT_EQ(closedEvents, 1);
}

TEST_F(EventsTest, CloseInsideTheClosedHandlerRaisesNoSecondEvent) {
    auto s = Connected();
    s->OnSessionClosed = [&](QObject*, uint16_t e) {
        s->Log.push_back("closed " + std::to_string(e));
        s->Close();
    };
    peer::Close(PeerFd);
    PeerFd = -1;
    ASSERT_TRUE(RunUntil([&] { return s->State() == wsClosed; }));
    RunFor(50);
    EXPECT_EQ(s->Log, (Lines{"closed 0", "connected>closed"}));
}

TEST_F(EventsTest, ADataHandlerThatClosesDuringThePeersCloseHasItReportedOnce) {
    auto s = Connected();
    s->OnDataAvailable = [&](QObject*, uint16_t) {
        s->ReceiveStr();
        s->Close();
    };
    ASSERT_TRUE(peer::SendAll(PeerFd, "last words"));
    // The close notification is handled while the data still waits: the data handler runs
    // inside the close handling and closes the socket itself.
    msgwindow::PostMessage(s->WindowHandle, WM_SOCKET_SELECT, s->Handle,
                           winsock::WSAMAKESELECTREPLY(winsock::FD_CLOSE, 0));
    ASSERT_TRUE(RunUntil([&] { return s->State() == wsClosed; }));
    RunFor(50);
    int closedEvents = 0;
    for (auto& l : s->Log) closedEvents += l.rfind("closed ", 0) == 0;
    EXPECT_EQ(closedEvents, 1);
    EXPECT_FALSE(s->CloseReported) << "nothing carried into the next connection";
}

TEST_F(EventsTest, UserCloseAndAbortReportOnceAndRestoreDefaults) {
    auto s = Connected();
    s->Close();
    EXPECT_EQ(s->Log, (Lines{"connected>closed", "closed 0 in closed"}));
    s->Close();
    EXPECT_EQ(s->Log.size(), 2u) << "closing a closed socket does nothing";
    EXPECT_TRUE(peer::WaitEof(PeerFd));
    peer::Close(PeerFd);

    s->Log.clear();
    s->ConnectTo(Listener.Port());
    PeerFd = Listener.Accept();
    ASSERT_TRUE(RunUntil([&] { return s->State() == wsConnected; }));
    s->QueueSendData("unsent", 6);
    s->Log.clear();
    s->Abort();
    EXPECT_EQ(s->Log, (Lines{"connected>closed", "closed 0 in closed"}));
    EXPECT_TRUE(s->SendChain.empty()) << "abort discards what was queued";
    EXPECT_EQ(s->Proto(), "tcp");
    EXPECT_EQ(s->LocalPort(), "0");
    EXPECT_EQ(s->LingerOnOff(), wsLingerOn);
}

TEST_F(EventsTest, PartlyAcceptedSendsDrainThroughTheChainAndReportOnceDone) {
    auto s = Connected();
    const int small = 4096;
    winsock::setsockopt(s->Handle, winsock::SOL_SOCKET, winsock::SO_SNDBUF,
                        reinterpret_cast<const char*>(&small), 4);
    int sendCalls = 0;
    std::string received;
    bool waited = false;
    s->OnSendData = [&](QObject*, int bytes) {
        ++sendCalls;
        EXPECT_LE(bytes, 1460);
        // At the first short send the handler waits while the peer reads: the platform's one
        // notice of free space comes during the wait, and the drain must not wait for another.
        if (bytes < 1460 && !std::exchange(waited, true)) {
            const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
            RunUntil([&] { return (received += peer::Recv(PeerFd, 1)), std::chrono::steady_clock::now() > until; });
        }
    };
    std::string data(4 << 20, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 31 + (i >> 8));
    EXPECT_EQ(s->Send(data.data(), static_cast<int>(data.size())), static_cast<int>(data.size()));
    EXPECT_FALSE(s->AllSent);
    EXPECT_GT(s->SendChain.size(), 1u);
    EXPECT_TRUE(s->Log.empty()) << "nothing is reported from inside Send";
    // Now let the rest move quickly.
    const int large = 1 << 20;
    winsock::setsockopt(s->Handle, winsock::SOL_SOCKET, winsock::SO_SNDBUF,
                        reinterpret_cast<const char*>(&large), 4);

    ASSERT_TRUE(RunUntil([&] {
        received += peer::Recv(PeerFd, 1);
        return received.size() >= data.size();
    }, 20000));
    EXPECT_TRUE(received == data) << "bytes arrive complete and in order";
    ASSERT_TRUE(RunUntil([&] { return !s->Log.empty(); }));
    RunFor(50);
    EXPECT_EQ(s->Log, (Lines{"sent 0"}));
    EXPECT_TRUE(s->AllSent);
    EXPECT_GE(sendCalls, static_cast<int>(data.size() / 1460));
}

TEST_F(EventsTest, SendAcceptedAtOnceReportsFromTheMessageLoop) {
    auto s = Connected();
    EXPECT_EQ(s->SendStr("hello"), 5);
    EXPECT_TRUE(s->Log.empty());
    ASSERT_TRUE(RunUntil([&] { return !s->Log.empty(); }));
    EXPECT_EQ(s->Log, (Lines{"sent 0"}));
    EXPECT_EQ(peer::Recv(PeerFd), "hello");

    // Zero bytes: the kept empty block is found drained, so OnDataSent follows again.
    s->Log.clear();
    EXPECT_EQ(s->Send("", 0), 0);
    ASSERT_TRUE(RunUntil([&] { return !s->Log.empty(); }));
    EXPECT_EQ(s->Log, (Lines{"sent 0"}));
}

TEST_F(EventsTest, ZeroBytesOnAFreshConnectionReportNothing) {
    auto s = Connected();
    EXPECT_EQ(s->Send("", 0), 0);
    ASSERT_TRUE(s->AllSent) << "nothing is queued, so Flush must not wait";
    s->Flush();
    RunFor(50);
    EXPECT_TRUE(s->Log.empty());
}

TEST_F(EventsTest, FlushReturnsOnceTheChainHasDrained) {
    auto s = Connected();
    const std::string sent(16 << 20, 'f');  // more than loopback buffers take before a read
    std::atomic<bool> sendReturned{false};
    std::string got;
    std::thread reader([&] {
        while (!sendReturned) std::this_thread::yield();
        got = peer::RecvExactly(PeerFd, sent.size(), 30000);
    });
    s->SendStr(sent);
    const bool queued = !s->AllSent;
    sendReturned = true;
    s->Flush();
    EXPECT_TRUE(s->AllSent);
    reader.join();
    EXPECT_TRUE(queued) << "the transport took everything at once: nothing was left to flush";
    EXPECT_EQ(got.size(), sent.size());
}

TEST_F(EventsTest, RcvdCountIsExactAfterAPartialRead) {
    auto s = Connected();
    std::vector<int> counts;
    s->OnDataAvailable = [&](QObject*, uint16_t) {
        char buf[10];
        s->Receive(buf, sizeof buf);
        counts.push_back(s->RcvdCount());
    };
    ASSERT_TRUE(peer::SendAll(PeerFd, std::string(100, 'r')));
    ASSERT_TRUE(RunUntil([&] { return s->ReadCount() == 100; }));
    ASSERT_FALSE(counts.empty());
    EXPECT_EQ(counts.front(), 90) << "a record of 100 bytes would never be seen whole";
    EXPECT_EQ(counts.back(), 0);
}

TEST_F(EventsTest, AHandlerThatTakesNothingWaitsForTheNextNotification) {
    for (const bool lineMode : {false, true}) {
        SCOPED_TRACE(lineMode ? "line mode" : "raw");
        auto s = Connected();
        s->SetLineMode(lineMode);
        int calls = 0;
        std::string received;
        s->OnDataAvailable = [&](QObject*, uint16_t) {
            if (++calls > 1000) received += s->ReceiveStr();  // ends the spin of a faulty loop
        };
        ASSERT_TRUE(peer::SendAll(PeerFd, "one\r\n"));
        ASSERT_TRUE(RunUntil([&] { return calls > 0; }));
        RunFor(50);
        EXPECT_LE(calls, 2) << "the handler was called again and again with the same bytes";
        // Nothing was lost: the owner reads it when it chooses (a read re-enables the
        // notifications), and what follows comes behind it.
        received += s->ReceiveStr();
        s->OnDataAvailable = [&](QObject*, uint16_t) { received += s->ReceiveStr(); };
        ASSERT_TRUE(peer::SendAll(PeerFd, "two\r\n"));
        EXPECT_TRUE(RunUntil([&] { return received == "one\r\ntwo\r\n"; })) << received;
        peer::Close(PeerFd);
        PeerFd = -1;
    }
}

TEST_F(EventsTest, LostConnectionDuringASendClosesThenReportsTheError) {
    auto s = Connected();
    peer::Reset(PeerFd);  // on loopback the reset has arrived when this returns
    PeerFd = -1;
    EXPECT_EQ(s->SendStr("x"), 1);
    EXPECT_EQ(s->Log, (Lines{"connected>closed", "closed 10054 in closed"}));
    RunFor(50);
    EXPECT_EQ(s->Log.size(), 2u) << "the close is reported once";
}

TEST_F(EventsTest, SendWhenNotConnectedReportsNotConnected) {
    RecordingSocket s;
    try {
        s.SendStr("x");
        ADD_FAILURE();
    } catch (const ESocketException& e) {
        EXPECT_STREQ(e.what(), "Error 10057 in function Send\r\nSocket is not connected");
    }
    EXPECT_TRUE(s.Log.empty());

    s.ConnectTo(Listener.Port());
    s.Log.clear();
    EXPECT_THROW(s.SendStr("x"), ESocketException);
    EXPECT_EQ(s.Log, (Lines{"closed 10057 in connecting", "connecting>closed"}));
    EXPECT_EQ(s.State(), wsClosed);
}

TEST_F(EventsTest, StaleNotificationsAfterAReconnectAreIgnored) {
    auto s = Connected();
    const SOCKET old = s->Handle;
    s->Close();
    peer::Close(PeerFd);
    s->ConnectTo(Listener.Port());
    PeerFd = Listener.Accept();
    ASSERT_TRUE(RunUntil([&] { return s->State() == wsConnected; }));
    ASSERT_NE(s->Handle, old);
    s->Log.clear();
    msgwindow::PostMessage(s->WindowHandle, WM_SOCKET_SELECT, old,
                           winsock::WSAMAKESELECTREPLY(winsock::FD_CLOSE, 10054));
    RunFor(50);
    EXPECT_TRUE(s->Log.empty());
    EXPECT_EQ(s->State(), wsConnected);
}

TEST_F(EventsTest, PausedNotificationsAreIgnoredEvenWhenAlreadyQueued) {
    auto s = Connected();
    std::string received;
    s->OnDataAvailable = [&](QObject*, uint16_t) { received += s->ReceiveStr(); };
    msgwindow::PostMessage(s->WindowHandle, WM_SOCKET_SELECT, s->Handle,
                           winsock::WSAMAKESELECTREPLY(winsock::FD_CLOSE, 0));
    s->Pause();
    ASSERT_TRUE(peer::SendAll(PeerFd, "while paused"));
    RunFor(100);
    EXPECT_TRUE(received.empty());
    EXPECT_EQ(s->State(), wsConnected);
    s->Resume();
    ASSERT_TRUE(RunUntil([&] { return received == "while paused"; }));
}

TEST_F(EventsTest, ACloseThatCameWhilePausedComesBackOnResume) {
    // Pauses just before the platform's close notification is handled: it arrives paused.
    struct PausingSocket : RecordingSocket {
        void HandleWindowMessage(TMessage& Msg) override {
            if (Msg.Msg == WM_SOCKET_SELECT && (Msg.LParam & winsock::FD_CLOSE) && !PausedOnce) {
                PausedOnce = true;
                Pause();
            }
            RecordingSocket::HandleWindowMessage(Msg);
        }
        bool PausedOnce = false;
    } s;
    s.ConnectTo(Listener.Port());
    PeerFd = Listener.Accept();
    ASSERT_TRUE(RunUntil([&] { return s.State() == wsConnected; }));
    peer::Close(PeerFd);
    PeerFd = -1;
    ASSERT_TRUE(RunUntil([&] { return s.Paused; }));
    RunFor(50);
    EXPECT_EQ(s.State(), wsConnected);
    s.Log.clear();
    s.Resume();
    ASSERT_TRUE(RunUntil([&] { return s.State() == wsClosed; })) << "the close was lost";
    ASSERT_GE(s.Log.size(), 2u);
    EXPECT_EQ(Lines(s.Log.end() - 2, s.Log.end()),
              (Lines{"closed 0 in connected", "connected>closed"}));
}

TEST_F(EventsTest, ExceptionsInHandlersReachOnBgExceptionOrAbort) {
    // No OnBgException: the socket is aborted.
    {
        RecordingSocket s;
        s.OnSessionConnected = [](QObject*, uint16_t) { throw Exception("boom"); };
        s.ConnectTo(Listener.Port());
        const int fd = Listener.Accept();
        EXPECT_TRUE(RunUntil([&] { return s.State() == wsClosed; }));
        peer::Close(fd);
    }
    // OnBgException sees the exception and keeps the connection.
    {
        RecordingSocket s;
        std::string seen;
        s.OnSessionConnected = [](QObject*, uint16_t) { throw Exception("boom"); };
        s.OnBgException = [&](QObject*, const std::exception& e, bool& CanClose) {
            seen = e.what();
            CanClose = false;
        };
        s.ConnectTo(Listener.Port());
        const int fd = Listener.Accept();
        ASSERT_TRUE(RunUntil([&] { return !seen.empty(); }));
        RunFor(50);
        EXPECT_EQ(seen, "boom");
        EXPECT_EQ(s.State(), wsConnected);
        peer::Close(fd);
    }
}

TEST_F(EventsTest, ExceptionsInTheDataHandlerAreSwallowed) {
    auto s = Connected();
    int bg = 0, calls = 0;
    s->OnBgException = [&](QObject*, const std::exception&, bool&) { ++bg; };
    s->OnDataAvailable = [&](QObject*, uint16_t) {
        ++calls;
        s->ReceiveStr();
        throw Exception("bad chunk");
    };
    ASSERT_TRUE(peer::SendAll(PeerFd, "one"));
    ASSERT_TRUE(RunUntil([&] { return calls == 1; }));
    ASSERT_TRUE(peer::SendAll(PeerFd, "two"));
    ASSERT_TRUE(RunUntil([&] { return calls == 2; }));
    EXPECT_EQ(bg, 0);
    EXPECT_EQ(s->State(), wsConnected);
}

TEST_F(EventsTest, DataWithoutAHandlerIsReadAndDropped) {
    auto s = Connected();
    ASSERT_TRUE(peer::SendAll(PeerFd, std::string(5000, 'd')));
    RunFor(100);
    winsock::u_long pending = 1;
    winsock::ioctlsocket(s->Handle, winsock::FIONREAD, &pending);
    EXPECT_EQ(pending, 0u);
    EXPECT_EQ(s->ReadCount(), 0) << "dropped bytes are not counted";
}

TEST_F(EventsTest, CloseDelayedAndReleaseActFromTheMessageLoop) {
    auto s = Connected();
    s->CloseDelayed();
    EXPECT_EQ(s->State(), wsConnected);
    ASSERT_TRUE(RunUntil([&] { return s->State() == wsClosed; }));

    bool destroyed = false;
    auto* owned = s.release();
    QObject::connect(owned, &QObject::destroyed, [&] { destroyed = true; });
    owned->OnSessionClosed = nullptr;
    owned->Release();
    EXPECT_FALSE(destroyed);
    EXPECT_TRUE(RunUntil([&] { return destroyed; }));
}

TEST_F(EventsTest, TestMessageRaisesItsExceptionThroughTheBackgroundPath) {
    auto s = Connected();
    std::string seen;
    s->OnBgException = [&](QObject*, const std::exception& e, bool&) { seen = e.what(); };
    msgwindow::PostMessage(s->WindowHandle, WM_SOCKET_TEST_EXCEPTION, 0, 0);
    ASSERT_TRUE(RunUntil([&] { return !seen.empty(); }));
    EXPECT_EQ(seen, "Test exception in WSocket");
    EXPECT_EQ(s->State(), wsClosed) << "CanClose left true: aborted";
}

TEST_F(EventsTest, APauseDuringTheConnectHoldsItsOutcomeUntilResume) {
    RecordingSocket s;
    s.ConnectTo(Listener.Port());
    s.Pause();
    PeerFd = Listener.Accept();
    RunFor(50);
    EXPECT_EQ(s.State(), wsConnecting);
    s.Resume();
    EXPECT_TRUE(RunUntil([&] { return s.State() == wsConnected; }));
}

// A connect held by a pause is reported before what Resume's selection brings, and before a
// write notification queued ahead of it: an owner that sends from OnDataSent stays connected.
TEST_F(EventsTest, AHeldConnectIsReportedBeforeTheFirstOnDataSent) {
    struct PausingAtConnect : RecordingSocket {
        void HandleWindowMessage(TMessage& Msg) override {
            if (Msg.Msg == WM_SOCKET_SELECT && (Msg.LParam & winsock::FD_CONNECT) &&
                std::exchange(Once, false))
                Pause();
            RecordingSocket::HandleWindowMessage(Msg);
        }
        bool Once = true;
    };
    for (const bool writeQueued : {false, true}) {
        PausingAtConnect s;
        bool replied = false;
        s.OnDataSent = [&](QObject*, uint16_t) { if (!std::exchange(replied, true)) s.SendStr("hi"); };
        s.ConnectTo(Listener.Port());
        const int fd = Listener.Accept();
        ASSERT_TRUE(RunUntil([&] { return s.Paused; }));
        if (writeQueued)
            msgwindow::PostMessage(s.WindowHandle, WM_SOCKET_SELECT, s.Handle,
                                   winsock::WSAMAKESELECTREPLY(winsock::FD_WRITE, 0));
        s.Resume();
        ASSERT_TRUE(RunUntil([&] { return replied; }));
        EXPECT_EQ(peer::Recv(fd), "hi") << writeQueued;
        EXPECT_EQ(s.State(), wsConnected);
        peer::Close(fd);
    }
}

TEST_F(EventsTest, ReadCountWrapsAroundAsA32BitCount) {
    auto s = Connected();
    s->ReadCount_ = 0x7FFFFFF0u;
    std::string received;
    int calls = 0;
    ReadTenBytesPerCall(*s, received, calls);
    ASSERT_TRUE(peer::SendAll(PeerFd, std::string(32, 'x')));
    ASSERT_TRUE(RunUntil([&] { return received.size() == 32; }));
    EXPECT_EQ(s->ReadCount(), static_cast<int>(0x80000010u - 0x100000000ll));
}

}  // namespace
