// Handlers that send, close, abort, reconnect or release the socket from inside each of its
// events: the wire carries every byte once and in order, exactly the bytes OnSendData reported,
// each connection reports its close at most once, a connection started from a handler stays
// up, and no descriptor is left behind.
#include "socket_probe.h"
#include "winsock_binding.h"

#include "event_loop.h"
#include "posix_peer.h"

#include <gtest/gtest.h>

#include <QPointer>

#include <map>

namespace {

enum class Event {
    ConnectedOk, ConnectedError, DataAvailable, SendDataOneBlock, SendDataSeveralBlocks,
    DataSent, ClosedByUser, ClosedByPeer, ClosedByReset
};
enum class Call { Send, Close, Abort, Reconnect, Release };

const char* Name(Event E) {
    static const char* const names[] = {"ConnectedOk",  "ConnectedError", "DataAvailable",
                                        "SendDataOne",  "SendDataSeveral", "DataSent",
                                        "ClosedByUser", "ClosedByPeer",   "ClosedByReset"};
    return names[static_cast<int>(E)];
}
const char* Name(Call C) {
    static const char* const names[] = {"Send", "Close", "Abort", "Reconnect", "Release"};
    return names[static_cast<int>(C)];
}

void PrintTo(Event E, std::ostream* Out) { *Out << Name(E); }
void PrintTo(Call C, std::ostream* Out) { *Out << Name(C); }

// Reads what the peer receives until the other side has gone (or the time is up).
std::string ReadToEnd(int Fd) {
    std::string out;
    RunUntil([&] {
        int n;
        while ((n = peer::RecvNow(Fd, out)) > 0) {
        }
        return n == 0;
    });
    return out;
}

using Row = std::tuple<Event, Call>;

class ReentryTest : public ::testing::TestWithParam<Row> {
protected:
    void SetUp() override {
        S = new RecordingSocket;
        S->OnError = [](QObject*) {};  // refused calls report here instead of throwing
        S->OnChangeState = [this](QObject*, TSocketState, TSocketState New) {
            if (New == wsOpened) ++Connection;
        };
        S->OnSessionClosed = [this](QObject*, uint16_t) {
            ++Closes[Connection];
            Trigger(Event::ClosedByUser) || Trigger(Event::ClosedByPeer) ||
                Trigger(Event::ClosedByReset);
        };
        S->OnSessionConnected = [this](QObject*, uint16_t Err) {
            Trigger(Err == 0 ? Event::ConnectedOk : Event::ConnectedError);
        };
        S->OnDataAvailable = [this](QObject*, uint16_t) {
            char buf[64];
            S->Receive(buf, sizeof buf);
            Trigger(Event::DataAvailable);
        };
        S->OnSendData = [this](QObject*, int Count) {
            Reported[Connection] += Count;
            Trigger(Event::SendDataOneBlock) || Trigger(Event::SendDataSeveralBlocks);
        };
        S->OnDataSent = [this](QObject*, uint16_t) { Trigger(Event::DataSent); };
        RunFor(10);
        // The started library's own descriptor (its readiness watcher) is no socket's.
        GetWinsockProc("");
        DescriptorsBefore = peer::OpenDescriptors();
    }

    void TearDown() override {
        delete S.data();
        for (int fd : Peers) peer::Close(fd);
    }

    // Runs the call under test the first time the armed event comes; true when it was that one.
    bool Trigger(Event E) {
        if (!Armed || std::get<Event>(GetParam()) != E) return false;
        Armed = false;
        Fired = true;
        switch (std::get<Call>(GetParam())) {
        case Call::Send: S->SendStr("X"); break;
        case Call::Close: S->Close(); break;
        case Call::Abort: S->Abort(); break;
        case Call::Reconnect:
            if (S->State() != wsClosed) S->Close();
            S->ConnectTo(Listener.Port());
            break;
        case Call::Release: S->Release(); break;
        }
        return true;
    }

    // A connection to the listener that is up, its connect events over.
    int ConnectAndAccept() {
        S->ConnectTo(Listener.Port());
        const int fd = Listener.Accept();
        Peers.push_back(fd);
        EXPECT_TRUE(RunUntil([&] { return S->State() == wsConnected; }));
        RunFor(20);
        return fd;
    }

    QPointer<RecordingSocket> S;
    PosixListener Listener;
    std::vector<int> Peers;
    std::map<int, int> Closes;  // OnSessionClosed per connection
    std::map<int, size_t> Reported;  // bytes OnSendData reported per connection
    int Connection = 0;
    bool Armed = false;
    bool Fired = false;
    int DescriptorsBefore = 0;
};

TEST_P(ReentryTest, HandlerCallsKeepTheWireTheClosesAndTheDescriptorsRight) {
    const auto [event, call] = GetParam();
    TWSocket keeper;  // keeps the library started, so that the descriptor count compares
    std::string payload;
    int first = -1, second = -1;
    Armed = event == Event::ConnectedOk || event == Event::ConnectedError;
    switch (event) {
    case Event::ConnectedOk:
        S->ConnectTo(Listener.Port());
        first = Listener.Accept();
        Peers.push_back(first);
        break;
    case Event::ConnectedError: S->ConnectTo(peer::UnusedPort()); break;
    case Event::DataAvailable:
        first = ConnectAndAccept();
        Armed = true;
        peer::SendAll(first, "ping");
        break;
    case Event::SendDataOneBlock:
    case Event::SendDataSeveralBlocks:
    case Event::DataSent:
        first = ConnectAndAccept();
        Armed = true;
        for (int i = 0; payload.size() < (event == Event::SendDataSeveralBlocks ? 5000u : 5u); ++i)
            payload += static_cast<char>('a' + i % 26);
        S->SendStr(payload);
        break;
    case Event::ClosedByUser:
        first = ConnectAndAccept();
        Armed = true;
        S->Close();
        break;
    case Event::ClosedByPeer:
    case Event::ClosedByReset:
        first = ConnectAndAccept();
        Armed = true;
        if (event == Event::ClosedByPeer)
            peer::Close(first);
        else
            peer::Reset(first);
        Peers.pop_back();
        first = -1;
        break;
    }
    ASSERT_TRUE(RunUntil([&] { return Fired; })) << "the event never came";

    if (call == Call::Release) {
        ASSERT_TRUE(RunUntil([&] { return S.isNull(); })) << "released socket never freed";
    } else if (call == Call::Reconnect) {
        second = Listener.Accept();
        ASSERT_GE(second, 0) << "the new connection never reached the listener";
        Peers.push_back(second);
        RunUntil([&] { return S->State() == wsConnected; });
        RunFor(50);
        EXPECT_EQ(S->State(), wsConnected) << "the connection started by the handler was lost";
    }
    RunFor(30);

    // The socket's last connection ends with exactly one report, and so does a fresh one.
    if (S) {
        if (S->State() != wsClosed) S->Close();
        const int fresh = ConnectAndAccept();
        const int freshConnection = Connection;
        S->Close();
        ReadToEnd(fresh);
        EXPECT_EQ(Closes[freshConnection], 1) << "a later connection's close went unreported";
    }
    for (const auto& [connection, count] : Closes)
        EXPECT_LE(count, 1) << "connection " << connection << " reported its close " << count
                            << " times";

    if (first >= 0) {
        const std::string expected = payload + (call == Call::Send ? "X" : "");
        const std::string wire = ReadToEnd(first);
        EXPECT_EQ(wire, expected.substr(0, wire.size())) << "bytes repeated or out of order";
        EXPECT_EQ(wire.size(), Reported[1]) << "the peer got other bytes than were reported";
        const bool stillConnected = event == Event::ConnectedOk ||
                                    event == Event::DataAvailable || event == Event::DataSent ||
                                    event == Event::SendDataOneBlock ||
                                    event == Event::SendDataSeveralBlocks;
        if (call == Call::Send && stillConnected) {
            EXPECT_EQ(wire.size(), expected.size());
        }
    }

    if (second >= 0) {
        EXPECT_EQ(ReadToEnd(second), "") << "old bytes went to the new peer";
    }

    delete S.data();
    for (int fd : Peers) peer::Close(fd);
    Peers.clear();
    RunFor(10);
    EXPECT_EQ(peer::OpenDescriptors(), DescriptorsBefore) << "a descriptor was leaked";
}

INSTANTIATE_TEST_SUITE_P(
    EventsByCalls, ReentryTest,
    ::testing::Combine(::testing::Values(Event::ConnectedOk, Event::ConnectedError,
                                         Event::DataAvailable, Event::SendDataOneBlock,
                                         Event::SendDataSeveralBlocks, Event::DataSent,
                                         Event::ClosedByUser, Event::ClosedByPeer,
                                         Event::ClosedByReset),
                       ::testing::Values(Call::Send, Call::Close, Call::Abort, Call::Reconnect,
                                         Call::Release)),
    [](const ::testing::TestParamInfo<Row>& I) {
        return std::string(Name(std::get<Event>(I.param))) + "_" + Name(std::get<Call>(I.param));
    });

}  // namespace
