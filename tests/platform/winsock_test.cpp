// The notification contract of the Windows Sockets stand-in, against real loopback peers.
#include "winsock.h"

#include "event_loop.h"
#include "posix_peer.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <vector>

using namespace winsock;

namespace {

struct Note {
    SOCKET Socket;
    long Event;
    int Error;
    bool operator==(const Note&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Note& n) {
    return os << "{socket " << n.Socket << ", event " << n.Event << ", error " << n.Error << "}";
}

std::vector<Note> Notes;
std::vector<std::pair<msgwindow::WPARAM, msgwindow::LPARAM>> Lookups;
std::function<void(const Note&)> OnNote;  // runs inside the window procedure

msgwindow::LRESULT TestProc(HWND, msgwindow::UINT msg, msgwindow::WPARAM w, msgwindow::LPARAM l) {
    if (msg == 1025) {
        Note n{w, WSAGETSELECTEVENT(l), WSAGETSELECTERROR(l)};
        Notes.push_back(n);
        if (OnNote) OnNote(n);
    } else {
        Lookups.emplace_back(w, l);
    }
    return 0;
}

constexpr long AllEvents = FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE;

class WinsockTest : public ::testing::Test {
protected:
    void SetUp() override {
        Notes.clear();
        Lookups.clear();
        OnNote = nullptr;
        WSADATA data;
        ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
        msgwindow::RegisterWindowClass("WinsockTest", TestProc);
        Window = msgwindow::CreateWindow("WinsockTest");
    }
    void TearDown() override {
        OnNote = nullptr;
        msgwindow::DestroyWindow(Window);
        msgwindow::UnregisterWindowClass("WinsockTest");
        WSACleanup();
    }

    sockaddr_in Loopback(uint16_t port) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = inet_addr("127.0.0.1");
        return a;
    }

    // A selected socket connecting to Port; returns it after FD_CONNECT arrived.
    SOCKET ConnectedSocket(uint16_t Port) {
        SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        EXPECT_NE(s, INVALID_SOCKET);
        EXPECT_EQ(WSAAsyncSelect(s, Window, 1025, AllEvents), 0);
        sockaddr_in a = Loopback(Port);
        EXPECT_EQ(connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a), SOCKET_ERROR);
        EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
        EXPECT_TRUE(RunUntil([&] { return Count(s, FD_WRITE) == 1; }));
        return s;
    }

    int Count(SOCKET s, long event) {
        int n = 0;
        for (auto& note : Notes) n += note.Socket == s && note.Event == event;
        return n;
    }

    HWND Window = 0;
};

TEST_F(WinsockTest, ConnectReportsWouldBlockThenConnectAndWriteOnce) {
    PosixListener listener;
    SOCKET s = ConnectedSocket(listener.Port());
    const int fd = listener.Accept();
    RunFor(50);
    EXPECT_EQ(Notes, (std::vector<Note>{{s, FD_CONNECT, 0}, {s, FD_WRITE, 0}}));
    closesocket(s);
    peer::Close(fd);
}

TEST_F(WinsockTest, RefusedConnectGivesConnectWithTheErrorAndNoClose) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_EQ(WSAAsyncSelect(s, Window, 1025, AllEvents), 0);
    sockaddr_in a = Loopback(peer::UnusedPort());
    EXPECT_EQ(connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    EXPECT_TRUE(RunUntil([&] { return !Notes.empty(); }));
    RunFor(100);
    EXPECT_EQ(Notes, (std::vector<Note>{{s, FD_CONNECT, WSAECONNREFUSED}}));
    closesocket(s);
}

TEST_F(WinsockTest, ReadIsReArmedByEachRecvWhileDataRemainsWithOneQueuedAtMost) {
    PosixListener listener;
    SOCKET s = ConnectedSocket(listener.Port());
    const int fd = listener.Accept();
    std::string received;
    int pendingSeen = 0;
    // Each FD_READ takes three small reads; the data remains after each, yet at most one
    // further FD_READ may wait in the queue.
    OnNote = [&](const Note& n) {
        if (n.Event != FD_READ) return;
        for (int i = 0; i < 3; ++i) {
            char buf[10];
            const int got = recv(s, buf, sizeof buf, 0);
            if (got > 0) received.append(buf, static_cast<size_t>(got));
            // FIONREADANY: 0 exactly when FIONREAD is, otherwise at most one more.
            winsock::u_long exact = 0, any = 0;
            ASSERT_EQ(ioctlsocket(s, FIONREAD, &exact), 0);
            ASSERT_EQ(ioctlsocket(s, FIONREADANY, &any), 0);
            EXPECT_TRUE(any == exact || (exact > 0 && any == exact + 1)) << exact << " " << any;
        }
        pendingSeen = std::max(pendingSeen, msgwindow::PendingMessageCount(Window));
    };
    std::string sent;
    for (int i = 0; i < 100; ++i) sent += static_cast<char>('a' + i % 26);
    ASSERT_TRUE(peer::SendAll(fd, sent.substr(0, 40)));
    EXPECT_TRUE(RunUntil([&] { return received.size() == 40; }));
    ASSERT_TRUE(peer::SendAll(fd, sent.substr(40)));
    EXPECT_TRUE(RunUntil([&] { return received.size() == 100; }));
    EXPECT_EQ(received, sent);
    EXPECT_LE(pendingSeen, 1);
    RunFor(50);
    EXPECT_EQ(Count(s, FD_CLOSE), 0);
    closesocket(s);
    peer::Close(fd);
}

// A handler that takes nothing (it waits for a whole record) is told again once per arrival of
// more bytes, and once at the end; never while nothing new comes, so it costs nothing meanwhile.
TEST_F(WinsockTest, AReaderThatTookNothingIsToldAgainOnlyWhenMoreArrives) {
    PosixListener listener;
    SOCKET s = ConnectedSocket(listener.Port());
    const int fd = listener.Accept();
    ASSERT_TRUE(peer::SendAll(fd, "hello"));
    EXPECT_TRUE(RunUntil([&] { return Count(s, FD_READ) == 1; }));
    RunFor(100);
    EXPECT_EQ(Count(s, FD_READ), 1) << "told again without anything new";
    ASSERT_TRUE(peer::SendAll(fd, "more"));
    EXPECT_TRUE(RunUntil([&] { return Count(s, FD_READ) == 2; }));
    RunFor(100);
    EXPECT_EQ(Count(s, FD_READ), 2);
    // A recv that leaves bytes behind re-arms it as on Windows.
    char buf[4];
    ASSERT_EQ(recv(s, buf, sizeof buf, 0), 4);
    EXPECT_TRUE(RunUntil([&] { return Count(s, FD_READ) == 3; }));
    peer::Close(fd);
    EXPECT_TRUE(RunUntil([&] { return Count(s, FD_CLOSE) == 1; }));
    closesocket(s);
}

// Telnet servers send their Synch as urgent data. It is read in order with the rest of the
// stream, and neither it nor the mark it sets stops what follows, the close included.
TEST_F(WinsockTest, UrgentBytesAreReadInOrderAndNothingStallsAtTheirMark) {
    PosixListener listener;
    SOCKET s = ConnectedSocket(listener.Port());
    const int fd = listener.Accept();
    std::string received;
    OnNote = [&](const Note& n) {
        char buf[3];  // small reads stop at the mark if anything does
        if (n.Event != FD_READ) return;
        for (int got; (got = recv(s, buf, sizeof buf, 0)) > 0;) received.append(buf, static_cast<size_t>(got));
    };
    ASSERT_TRUE(peer::SendAll(fd, "ab"));
    ASSERT_TRUE(peer::SendUrgent(fd, "\xff\xf2"));
    ASSERT_TRUE(peer::SendAll(fd, "cdefgh"));
    peer::Close(fd);
    EXPECT_TRUE(RunUntil([&] { return Count(s, FD_CLOSE) == 1; }));
    EXPECT_EQ(received, "ab\xff\xf2" "cdefgh");
    closesocket(s);
}

// A watched socket costs no descriptor beyond its own: with the limit just above what the
// sockets themselves hold, every one of them that waits for more is still told when it comes.
TEST_F(WinsockTest, WaitingSocketsNeedNoDescriptorOfTheirOwnAndAreAllToldOfMore) {
    PosixListener listener(64);
    constexpr int Count = 40;
    std::vector<SOCKET> sockets;
    std::vector<int> peers;
    for (int i = 0; i < Count; ++i) {
        sockets.push_back(ConnectedSocket(listener.Port()));
        peers.push_back(listener.Accept());
    }
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old), 0);
    rlimit tight = old;
    tight.rlim_cur = static_cast<rlim_t>(peer::OpenDescriptors() + 1);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    // Each owner waits for a record of 4 bytes and takes nothing before it is whole.
    int whole = 0;
    OnNote = [&](const Note& n) {
        winsock::u_long pending = 0;
        if (n.Event != FD_READ || ioctlsocket(n.Socket, FIONREAD, &pending) != 0 || pending < 4) return;
        char buf[4];
        whole += recv(n.Socket, buf, 4, 0) == 4;
    };
    for (int fd : peers) ASSERT_TRUE(peer::SendAll(fd, "ab"));
    EXPECT_TRUE(RunUntil([&] { return (int)Notes.size() >= 3 * Count; }));
    RunFor(50);
    const size_t told = Notes.size();
    for (int fd : peers) ASSERT_TRUE(peer::SendAll(fd, "cd"));
    EXPECT_TRUE(RunUntil([&] { return whole == Count; }));
    ::setrlimit(RLIMIT_NOFILE, &old);
    EXPECT_EQ(Notes.size(), told + Count) << "one notice for each arrival, no more";
    for (SOCKET s : sockets) closesocket(s);
    for (int fd : peers) peer::Close(fd);
}

// A connect that completes while nobody listens (the socket is paused) is reported when the
// socket is selected again: FD_CONNECT first, then FD_WRITE, each once.
TEST_F(WinsockTest, AConnectThatCompletesWhilePausedIsReportedOnTheNextSelection) {
    PosixListener listener;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_EQ(WSAAsyncSelect(s, Window, 1025, AllEvents), 0);
    sockaddr_in a = Loopback(listener.Port());
    connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ASSERT_EQ(WSAAsyncSelect(s, Window, 0, 0), 0);
    const int fd = listener.Accept();
    RunFor(50);
    EXPECT_TRUE(Notes.empty());
    ASSERT_EQ(WSAAsyncSelect(s, Window, 1025, AllEvents), 0);
    RunFor(50);
    EXPECT_EQ(Notes, (std::vector<Note>{{s, FD_CONNECT, 0}, {s, FD_WRITE, 0}}));
    closesocket(s);
    peer::Close(fd);
}

// A gathering send of more pieces than it takes at once returns a short count, and FD_WRITE
// tells the caller to go on, as after any send that took less than offered.
TEST_F(WinsockTest, PiecesBeyondTheGatheringLimitAreLeftWithAWriteToFollow) {
    PosixListener listener;
    SOCKET s = ConnectedSocket(listener.Port());
    const int fd = listener.Accept();
    char byte = 'x';
    std::vector<WSABUF> pieces(SENDV_MAX + 10, WSABUF{1, &byte});
    const int before = Count(s, FD_WRITE);
    EXPECT_EQ(sendv(s, pieces.data(), static_cast<int>(pieces.size()), 0), SENDV_MAX);
    EXPECT_TRUE(RunUntil([&] { return Count(s, FD_WRITE) == before + 1; }));
    closesocket(s);
    peer::Close(fd);
}

TEST_F(WinsockTest, WriteComesBackAfterAWouldBlockSendOnceTheReaderCatchesUp) {
    PosixListener listener;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    const int small = 4096;
    ASSERT_EQ(setsockopt(s, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&small), 4), 0);
    ASSERT_EQ(WSAAsyncSelect(s, Window, 1025, AllEvents), 0);
    sockaddr_in a = Loopback(listener.Port());
    connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    const int fd = listener.Accept();
    peer::SetReceiveBuffer(fd, 4096);
    ASSERT_TRUE(RunUntil([&] { return Count(s, FD_WRITE) == 1; }));

    std::string chunk(1460, 'x');
    const WSABUF pieces[] = {{1460, chunk.data()}, {1000, chunk.data()}};
    std::size_t sent = 0;
    // A gathering send fills the buffer just as a plain one does.
    for (int i = 0; i < 10000; ++i) {
        const int n = i % 2 ? send(s, chunk.data(), static_cast<int>(chunk.size()), 0) : sendv(s, pieces, 2, 0);
        if (n == SOCKET_ERROR) break;
        sent += static_cast<std::size_t>(n);
    }
    ASSERT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    const int before = Count(s, FD_WRITE);
    EXPECT_EQ(peer::RecvExactly(fd, sent).size(), sent);
    EXPECT_TRUE(RunUntil([&] { return Count(s, FD_WRITE) == before + 1; }));
    // The socket stays writable, but without another would-block send nothing more comes.
    RunFor(100);
    EXPECT_EQ(Count(s, FD_WRITE), before + 1);
    closesocket(s);
    peer::Close(fd);
}

TEST_F(WinsockTest, OrderlyCloseFollowsTheDataAndComesOnce) {
    PosixListener listener;
    SOCKET s = ConnectedSocket(listener.Port());
    const int fd = listener.Accept();
    std::string received;
    winsock::u_long any = 9;  // FIONREADANY right after the read: the end of stream is no data
    OnNote = [&](const Note& n) {
        char buf[64];
        if (n.Event == FD_READ) {
            const int got = recv(s, buf, sizeof buf, 0);
            if (got > 0) received.append(buf, static_cast<size_t>(got));
            ioctlsocket(s, FIONREADANY, &any);
        }
    };
    ASSERT_TRUE(peer::SendAll(fd, "bye"));
    peer::Close(fd);
    EXPECT_TRUE(RunUntil([&] { return Count(s, FD_CLOSE) == 1; }));
    RunFor(100);
    EXPECT_EQ(received, "bye");
    EXPECT_EQ(any, 0u);
    EXPECT_EQ(Count(s, FD_CLOSE), 1);
    EXPECT_EQ(Notes.back(), (Note{s, FD_CLOSE, 0}));
    char buf[4];
    EXPECT_EQ(recv(s, buf, sizeof buf, 0), 0);
    RunFor(50);
    EXPECT_EQ(Count(s, FD_CLOSE), 1);
    closesocket(s);
}

TEST_F(WinsockTest, ResetGivesCloseWithConnectionResetOncePerSelection) {
    PosixListener listener;
    SOCKET s = ConnectedSocket(listener.Port());
    const int fd = listener.Accept();
    peer::Reset(fd);
    EXPECT_TRUE(RunUntil([&] { return Count(s, FD_CLOSE) == 1; }));
    RunFor(100);
    EXPECT_EQ(Count(s, FD_CLOSE), 1);
    EXPECT_EQ(Notes.back(), (Note{s, FD_CLOSE, WSAECONNRESET}));
    // A new selection (a resume, or a duplicate taking an accepted socket) hears of the end
    // again: the last notice may have gone to a window that ignored it.
    ASSERT_EQ(WSAAsyncSelect(s, Window, 0, 0), 0);
    ASSERT_EQ(WSAAsyncSelect(s, Window, 1025, AllEvents), 0);
    EXPECT_TRUE(RunUntil([&] { return Count(s, FD_CLOSE) == 2; }));
    EXPECT_EQ(Notes.back(), (Note{s, FD_CLOSE, WSAECONNRESET}));
    closesocket(s);
}

TEST_F(WinsockTest, CancelledSelectionAndClosedHandlesGetNothingNew) {
    PosixListener listener;
    SOCKET s = ConnectedSocket(listener.Port());
    const int fd = listener.Accept();
    ASSERT_EQ(WSAAsyncSelect(s, Window, 0, 0), 0);
    const auto before = Notes.size();
    ASSERT_TRUE(peer::SendAll(fd, "ignored"));
    RunFor(100);
    EXPECT_EQ(Notes.size(), before);

    // Selecting again finds the waiting data.
    ASSERT_EQ(WSAAsyncSelect(s, Window, 1025, AllEvents), 0);
    EXPECT_TRUE(RunUntil([&] { return Count(s, FD_READ) == 1; }));
    closesocket(s);
    const auto afterClose = Notes.size();
    peer::Close(fd);
    RunFor(100);
    EXPECT_EQ(Notes.size(), afterClose);
}

TEST_F(WinsockTest, HandlesAreNeverReusedSoStaleNotificationsStayRecognisable) {
    PosixListener listener;
    SOCKET first = ConnectedSocket(listener.Port());
    const int fd1 = listener.Accept();
    ASSERT_TRUE(peer::SendAll(fd1, "old"));
    ASSERT_TRUE(RunUntil([&] { return Count(first, FD_READ) == 1; }));
    closesocket(first);
    SOCKET second = ConnectedSocket(listener.Port());
    const int fd2 = listener.Accept();
    EXPECT_NE(second, first);
    ASSERT_TRUE(peer::SendAll(fd2, "new"));
    ASSERT_TRUE(RunUntil([&] { return Count(second, FD_READ) == 1; }));
    for (auto& n : Notes) {
        if (n.Socket == second) {
            EXPECT_NE(n.Event, FD_CLOSE);
        }
    }
    EXPECT_EQ(recv(first, nullptr, 0, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
    closesocket(second);
    peer::Close(fd1);
    peer::Close(fd2);
}

TEST_F(WinsockTest, ListeningSocketAnnouncesConnectionsAndAcceptedSocketsInheritTheSelection) {
    SOCKET l = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a = Loopback(0);
    ASSERT_EQ(bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    int len = sizeof a;
    ASSERT_EQ(getsockname(l, reinterpret_cast<sockaddr*>(&a), &len), 0);
    ASSERT_EQ(listen(l, 5), 0);
    ASSERT_EQ(WSAAsyncSelect(l, Window, 1025, FD_ACCEPT | FD_READ | FD_WRITE | FD_CLOSE), 0);
    const int fd = peer::Connect(ntohs(a.sin_port));
    ASSERT_TRUE(RunUntil([&] { return Count(l, FD_ACCEPT) == 1; }));
    sockaddr_in from{};
    len = sizeof from;
    SOCKET c = accept(l, reinterpret_cast<sockaddr*>(&from), &len);
    ASSERT_NE(c, INVALID_SOCKET);
    EXPECT_EQ(std::string(inet_ntoa(from.sin_addr)), "127.0.0.1");
    EXPECT_TRUE(RunUntil([&] { return Count(c, FD_WRITE) == 1; }));
    ASSERT_TRUE(peer::SendAll(fd, "x"));
    EXPECT_TRUE(RunUntil([&] { return Count(c, FD_READ) == 1; }));
    closesocket(c);
    closesocket(l);
    peer::Close(fd);
}

TEST_F(WinsockTest, ErrorsUseTheWindowsNumbers) {
    EXPECT_EQ(ErrorFromErrno(ECONNREFUSED), 10061);
    EXPECT_EQ(ErrorFromErrno(EWOULDBLOCK), 10035);
    EXPECT_EQ(ErrorFromErrno(ECONNRESET), 10054);
    EXPECT_EQ(ErrorFromErrno(ENOTCONN), 10057);
    EXPECT_EQ(ErrorFromErrno(ETIMEDOUT), 10060);
    EXPECT_EQ(ErrorFromErrno(EADDRINUSE), 10048);
    EXPECT_EQ(ErrorFromErrno(ENETUNREACH), 10051);

    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    char buf[4];
    EXPECT_EQ(send(s, buf, 4, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTCONN);
    EXPECT_EQ(socket(7, SOCK_STREAM, 0), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSAEAFNOSUPPORT);
    sockaddr_in a = Loopback(peer::UnusedPort());
    EXPECT_EQ(connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAECONNREFUSED) << "a blocking connect reports its outcome";
    closesocket(s);
    EXPECT_EQ(closesocket(s), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
}

TEST_F(WinsockTest, StartUpVersionAndCallsBeforeStartUp) {
    WSADATA data;
    EXPECT_EQ(WSAStartup(MAKEWORD(0, 9), &data), WSAVERNOTSUPPORTED);
    WSACleanup();  // the one of SetUp
    EXPECT_EQ(socket(AF_INET, SOCK_STREAM, 0), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
    EXPECT_EQ(WSACleanup(), SOCKET_ERROR);
    ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
    EXPECT_EQ(data.wVersion, MAKEWORD(1, 1));
}

TEST_F(WinsockTest, OptionsTakeTheWindowsNumbersAndLayouts) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    linger set{1, 7};
    ASSERT_EQ(setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&set), sizeof set), 0);
    linger got{};
    int len = sizeof got;
    ASSERT_EQ(getsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<char*>(&got), &len), 0);
    EXPECT_EQ(got.l_onoff, 1);
    EXPECT_EQ(got.l_linger, 7);
    const int on = -1;
    ASSERT_EQ(setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on), 4), 0);
    int value = 0;
    len = 4;
    ASSERT_EQ(getsockopt(s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<char*>(&value), &len), 0);
    EXPECT_NE(value, 0);
    ASSERT_EQ(setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), 4), 0);
    for (const int option : {TCP_KEEPIDLE, TCP_KEEPCNT, TCP_KEEPINTVL}) {
        const int seconds = 17;
        ASSERT_EQ(setsockopt(s, IPPROTO_TCP, option, reinterpret_cast<const char*>(&seconds), 4), 0);
        len = 4;
        ASSERT_EQ(getsockopt(s, IPPROTO_TCP, option, reinterpret_cast<char*>(&value), &len), 0);
        EXPECT_EQ(value, seconds) << option;
    }
    EXPECT_EQ(setsockopt(s, SOL_SOCKET, 0x7777, reinterpret_cast<const char*>(&on), 4), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOPROTOOPT);
    winsock::u_long pending = 99;
    EXPECT_EQ(ioctlsocket(s, FIONREAD, &pending), 0);
    EXPECT_EQ(pending, 0u);
    closesocket(s);
}

TEST_F(WinsockTest, AsyncHostLookupFillsTheCallersBufferAndCancelStopsTheReply) {
    alignas(8) char buf[1024];
    HANDLE h = WSAAsyncGetHostByName(Window, 1026, "localhost", buf, sizeof buf);
    ASSERT_NE(h, 0u);
    ASSERT_TRUE(RunUntil([] { return !Lookups.empty(); }));
    EXPECT_EQ(Lookups[0].first, h);
    EXPECT_EQ(WSAGETSELECTERROR(Lookups[0].second), 0);
    auto* host = reinterpret_cast<hostent*>(buf);
    EXPECT_EQ(host->h_length, 4);
    ASSERT_NE(host->h_addr_list[0], nullptr);
    in_addr first;
    std::memcpy(&first, host->h_addr_list[0], 4);
    EXPECT_EQ(std::string(inet_ntoa(first)), "127.0.0.1");
    EXPECT_EQ(WSACancelAsyncRequest(h), SOCKET_ERROR) << "already answered";

    HANDLE cancelled = WSAAsyncGetHostByName(Window, 1026, "localhost", buf, sizeof buf);
    EXPECT_EQ(WSACancelAsyncRequest(cancelled), 0);
    RunFor(200);
    EXPECT_EQ(Lookups.size(), 1u);

    const winsock::u_long addr = inet_addr("127.0.0.1");
    HANDLE r = WSAAsyncGetHostByAddr(Window, 1027, reinterpret_cast<const char*>(&addr), 4,
                                     AF_INET, buf, sizeof buf);
    ASSERT_TRUE(RunUntil([] { return Lookups.size() == 2; }));
    EXPECT_EQ(Lookups[1].first, r);
    EXPECT_EQ(WSAGETSELECTERROR(Lookups[1].second), 0);
    EXPECT_GT(std::strlen(host->h_name), 0u);

    HANDLE missing = WSAAsyncGetHostByName(Window, 1026, "no-such-host.invalid", buf, sizeof buf);
    ASSERT_TRUE(RunUntil([] { return Lookups.size() == 3; }, 15000));
    EXPECT_EQ(Lookups[2].first, missing);
    EXPECT_NE(WSAGETSELECTERROR(Lookups[2].second), 0);
}

TEST_F(WinsockTest, BlockingLookupsGiveWindowsRecords) {
    servent* telnet = getservbyname("telnet", "tcp");
    ASSERT_NE(telnet, nullptr);
    EXPECT_EQ(ntohs(static_cast<u_short>(telnet->s_port)), 23);
    EXPECT_EQ(getservbyname("no-such-service", "tcp"), nullptr);
    EXPECT_EQ(WSAGetLastError(), WSANO_DATA);
    protoent* udp = getprotobyname("udp");
    ASSERT_NE(udp, nullptr);
    EXPECT_EQ(udp->p_proto, 17);
    hostent* local = gethostbyname("localhost");
    ASSERT_NE(local, nullptr);
    EXPECT_EQ(local->h_addrtype, AF_INET);
    EXPECT_EQ(inet_addr("10.0.0.1"), htonl(0x0A000001));
    EXPECT_EQ(inet_addr("1.2.3.400"), INADDR_NONE);
}

}  // namespace
