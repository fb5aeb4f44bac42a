// Random event sequences against a peer on 127.0.0.1, reached directly or through a scripted
// SOCKS 4, 4A or 5 proxy that relays, refuses, hangs up or resets mid-handshake, in clear text or
// over TLS (the peer's ciphertext cut into random segments, records split anywhere; now and then
// it closes or resets in the middle of the handshake or of a record); now and then the name of
// the peer (or the proxy) gives an IPv6 address first, which refuses or never answers, so that
// attempts race and the losers must never be heard of. The peer sends
// random bytes (or lines, now and then one far longer than LineLimit) in random segments, some
// ending in an urgent byte, and ends with a close, a reset or not at all. The owner's choices are
// random too, each as a real owner makes them: to ask RcvdCount before reading or not (fixed per
// connection), to read all, part or nothing, to stay busy for a while and take nothing, pause
// (also right after Connect), send, close, abort, reconnect, release, run a nested event loop or
// WaitForFlag (and release during the wait), and to throw from any handler; now and then the
// descriptors run out just as a handler defers, or the user ends a connection. What the owner
// sends (now and then far more than a small send buffer takes at once) must reach the peer in
// order, and with an OnSendData handler exactly what it reported, also on connections the owner
// ended. After every run the owner's invariants are checked for every connection. A failing run
// prints its seed; KORVEL_SEED=n replays it, KORVEL_RUNS=n runs more, KORVEL_FIRST=n starts there.
#include "socket_exception.h"
#include "socket_probe.h"

#include "event_loop.h"
#include "posix_peer.h"
#include "test_seed.h"
#include "tls_peers.h"

#include <gtest/gtest.h>

#include <QEventLoop>
#include <QPointer>
#include <QScopeGuard>
#include <QTimer>

#include <netinet/in.h>
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/common_interface_defs.h>
#endif
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <exception>
#include <functional>
#include <optional>
#include <random>

namespace {
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
constexpr size_t None = SIZE_MAX;
constexpr size_t MaxConnections = 5;
// A line far longer than LineLimit. The peer's send buffer is kept small for it, so both kernels
// together hold well below LongLineShown of it (some 180 KB): a peer that got that much out has
// shown that the socket took it in.
constexpr size_t LongLineExtra = 384 * 1024, LongLineShown = 256 * 1024;

// Ports in network order, as both the POSIX and the Windows-style records hold them.
uint16_t PeerPort(int Fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getpeername(Fd, reinterpret_cast<sockaddr*>(&a), &len);
    return a.sin_port;
}
uint16_t OwnPort(int Fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(Fd, reinterpret_cast<sockaddr*>(&a), &len);
    return a.sin_port;
}

// The peer's side of one connection: a random stream, sent in random segments.
struct PeerSide {
    int Fd = -1;
    size_t Conn = None;  // the owner's connection it belongs to
    std::string Stream = {};
    size_t Sent = 0;
    std::string Got = {};  // what the owner sent, as the peer read it
    enum { Fin, Reset, Stay } End = Fin;
    bool Ended = false;
    size_t LongLine = None;         // where the line far beyond LineLimit starts
    bool Shown = false;             // the peer got more of it out than kernels hold
    Clock::time_point Progress{};   // the last send that got bytes out
    std::vector<size_t> Urgent{};   // positions of bytes sent as urgent data
    // Over TLS: the server's end, its ciphertext not yet sent, and where it ends mid-handshake.
    std::shared_ptr<TlsServerEnd> Tls{};
    std::string Cipher{};
    size_t CipherSent = 0, CipherTotal = 0, EarlyEnd = None;
};

// A SOCKS proxy's side of one connection: the version is read from the first byte; then the
// handshake is answered, or refused, hung up or reset at stage EndAt (-1 at once, 0 the greeting,
// 1 the credentials or else the request); a granted connection is relayed to the peer, both ways.
struct ProxySide {
    int Client = -1, Upstream = -1;
    size_t Conn = None;
    enum { Relay, Refuse, HangUp, Reset } Fate = Relay;
    int EndAt = 0;
    enum { Greeting, Credentials, Request, Relaying } Stage = Greeting;
    char Version = 0;
    uint16_t UpstreamPort = 0;
    std::string In = {}, ToClient = {}, ToUpstream = {};
    bool ClientEof = false, UpstreamEof = false, ClientShut = false, UpstreamShut = false;
};

// The owner's view of one connection.
struct Connection {
    int Connected = 0, Closed = 0;
    bool Failed = false;      // its connect failed or it was closed before connecting
    bool ClientEnded = false; // the owner closed, aborted, replaced or released it
    bool Released = false;
    bool NotStarted = false;  // Connect refused at once (no descriptor left): no attempt
    bool TookNothing = false; // the last data handler call read nothing
    bool DataThrew = false;   // ...and threw
    bool SendThrew = false;   // OnSendData threw: the rest of that send may stay queued
    bool EndedInReport = false;  // the owner closed, aborted or replaced it in OnSendData
    bool Proxied = false;
    bool Raced = false;       // its look-up gave ::1 (refusing or silent) besides 127.0.0.1
    bool Tls = false;
    bool AsksCount = true;    // this owner asks RcvdCount before it reads
    uint16_t Port = 0;        // the owner's local port, by which the proxy and the peer know it
    size_t Peer = None, Proxy = None;
    Clock::time_point BusyUntil{};  // the owner takes nothing until then
    Clock::time_point UserEnds = Clock::time_point::max();  // the user ends it then
    Clock::time_point Started{};
    // Data handler calls that took nothing, calls that took something, and the wake-ups a
    // handler that took nothing may get: segments and ends that arrived, resumes, own reads.
    int NothingCalls = 0, SomethingCalls = 0, Wakeups = 0, LimitCalls = 0;
    std::string Received;
    std::string Sent;     // what Send took for this connection
    size_t Reported = 0;  // the bytes OnSendData reported
};

class Sequence {
public:
    explicit Sequence(unsigned Seed) : Rng(Seed) {}

    void Go() {
        S = new ScriptedSocket;
        // ::1 at the peer's and the proxy's ports never answers, or refuses.
        if (Pick(2)) {
            Silent6.emplace(0, PeerFamily::V6, Listener.Port());
            SilentProxy6.emplace(0, PeerFamily::V6, Proxy.Port());
            Silent6->Silence();
            SilentProxy6->Silence();
            Trail += "silent6 ";
        }
        Alive = S;
        S->OnChangeState = nullptr;
        S->OnError = [](QObject*) {};
        S->SetSyncTimeout(500);
        LineMode = Pick(2) == 0;
        Trail += LineMode ? "lines " : "";
        S->SetLineMode(LineMode);
        LineLimit = LineMode ? 400 + Pick(600) : 0;
        S->SetLineLimit(LineLimit);
        LowLimit = Pick(6) == 0;
        S->OnLineLimitExceeded = [this](QObject*, int Length, bool& Clear) {
            LineLimitExceeded(Length, Clear);
        };
        S->OnSessionConnected = [this](QObject*, uint16_t Err) { Connected(Err); };
        S->OnDataAvailable = [this](QObject*, uint16_t) { DataAvailable(); };
        S->OnDataSent = [this](QObject*, uint16_t) { DataSent(); };
        ReportSends = Pick(4) != 0;
        if (ReportSends) S->OnSendData = [this](QObject*, int Count) { SendData(Count); };
        S->OnSessionClosed = [this](QObject*, uint16_t) { SessionClosed(); };
        if (Pick(2))
            S->OnBgException = [this](QObject*, const std::exception&, bool& CanClose) {
                CanClose = Pick(3) != 0;
            };
        S->OnSocksConnected = [this](QObject*, uint16_t) {
            Entered();
            Trail += "SC ";
            static const Action choices[] = {Action::Close, Action::Wait};
            if (Pick(8) == 0) Act(choices[Pick(2)]);
        };
        S->OnSocksAuthState = [this](QObject*, TSocksAuthState) {
            Entered();
            Trail += "SA ";
            static const Action choices[] = {Action::Wait, Action::Wait, Action::Close};
            if (Pick(2) == 0) Act(choices[Pick(3)]);
        };
        S->OnSocksError = [this](QObject*, int, const std::string&) {
            Entered();
            Trail += "SE ";
            static const Action choices[] = {Action::Close, Action::Abort, Action::Reconnect, Action::Wait};
            if (Pick(2)) Act(choices[Pick(4)]);
        };
        Connect();
        Drive();
    }

    std::string Failures;
    std::string Trail;  // what happened, in short, for the report of a failing run

private:
    enum class Action { ReadAll, ReadPart, Defer, ReadLater, Pause, Send, Close, Abort, Reconnect,
                        Release, Nested, Wait };

    int Pick(int N) { return static_cast<int>(Rng() % static_cast<unsigned>(N)); }
    void Fail(const std::string& What) {
        Trail += "FAIL ";
        if (Failures.find(What) == std::string::npos) Failures += What + "; ";
    }
    Connection& Current() { return Conns.back(); }

    void Connect() {
        // A handler of the close connected already, or the owner has let the socket go.
        if (Released || S->State() != wsClosed) return;
        Conns.emplace_back();
        Connection& c = Current();
        c.AsksCount = Pick(3) != 0;
        c.Proxied = Pick(3) == 0;
        c.Raced = Pick(4) == 0;
        S->Answer.clear();
        if (c.Raced) {
            const auto v6 = V6Loopback, v4 = V4Loopback;
            const std::vector<TSocketAddress> answers[] = {{v6, v4}, {v6, v6, v4}, {v4, v6}};
            S->Answer = answers[Pick(3)];
        }
        if (c.Proxied) {
            static const char* const levels[] = {"5", "5", "4", "4A"};
            S->SetSocksServer("127.0.0.1");
            S->SetSocksPort(std::to_string(Proxy.Port()));
            S->SetSocksLevel(levels[Pick(4)]);
            S->SetSocksAuthentication(Pick(2) ? socksAuthenticateUsercode : socksNoAuthentication);
            S->SetSocksUsercode("user");
            S->SetSocksPassword("secret");
        }
        c.Tls = Pick(3) == 0;
        S->SetTls(c.Tls);
        InConnect = true;
        S->ConnectTo(Listener.Port());
        InConnect = false;
        if (S->State() == wsClosed) {  // no descriptor left: reported through OnError
            c.NotStarted = true;
            S->SetSocksServer("");
            return;
        }
        winsock::sockaddr_in own{};
        int len = sizeof own;
        winsock::getsockname(S->Handle, reinterpret_cast<winsock::sockaddr*>(&own), &len);
        c.Port = own.sin_port;
        Trail += std::string(c.Raced ? "R" : "") + (c.Tls ? "tls-" : "") + (c.Proxied ? "N" : "n") +
                 std::to_string(Conns.size() - 1) + " ";
        // Paused before the outcome of the connect is known, or soon after, when it may be
        // on its way.
        if (Pick(8) == 0) {
            S->Pause();
            Paused = true;
        } else if (Pick(6) == 0) {
            auto* watch = new QTimer(S);  // stopped at once when done: it goes with the socket
            QObject::connect(watch, &QTimer::timeout, [this, watch, n = Conns.size()] {
                if (Released || Paused || n != Conns.size() || S->State() != wsConnecting)
                    return watch->stop();
                if (msgwindow::PendingMessageCount(S->WindowHandle) == 0) return;
                Trail += "PP ";
                watch->stop();
                S->Pause();
                Paused = true;
            });
            watch->start(0);
        }
        if (Pick(12) == 0) c.UserEnds = Clock::now() + milliseconds(Pick(60));
        c.Started = Clock::now();
    }

    // An event of a connection that has not been reported connected belongs to the wrong one.
    void Require(const char* Event) {
        if (Current().Connected != 1) Fail(std::string(Event) + " before OnSessionConnected");
    }

    // Every handler may end by throwing, as a faulty owner's handler does. Thrown from the
    // dispatch of a notification it aborts the connection then current (unless OnBgException
    // keeps it): an end by the owner.
    void MaybeThrow(const char* Handler, bool Aborts = true) {
        if (Pick(30) != 0) return;
        Trail += "T ";
        if (Aborts) Current().ClientEnded = true;
        throw ESocketException(std::string("thrown by the owner's ") + Handler);
    }

    // Every handler starts here. One that runs while another waits for a flag may be the event
    // it waits for.
    void Entered() {
        RestoreLimit();
        if (WaitFlag && Pick(2)) *WaitFlag = true;
    }

    void Connected(uint16_t Err) {
        Entered();
        Trail += "C" + std::to_string(Conns.size() - 1) + ":" + std::to_string(Err) + " ";
        Connection& c = Current();
        if (++c.Connected > 1) Fail("OnSessionConnected twice");
        if (Err != 0) c.Failed = true;
        if (Err == 0) {
            // The attempt that won is the one the proxy or the peer took (IPv6 ones are lost).
            winsock::sockaddr_in own{};
            int len = sizeof own;
            winsock::getsockname(S->Handle, reinterpret_cast<winsock::sockaddr*>(&own), &len);
            if (c.Port == 0) c.Port = own.sin_port;
            else if (own.sin_port != c.Port) Fail("connected on an attempt other than the one that reached the peer");
        }
        // The handshake's replies count as received on a proxied connection.
        if (S->Paused || (!c.Proxied && S->ReadCount() != 0))
            Fail("a new connection kept the last one's state");
        // A small send buffer takes a long send in parts.
        const int sendBuffer = 16384;
        if (Err == 0 && Pick(2) == 0)
            winsock::setsockopt(S->Handle, 0xFFFF, 0x1001,  // SOL_SOCKET, SO_SNDBUF (the Windows numbers)
                                reinterpret_cast<const char*>(&sendBuffer), sizeof sendBuffer);
        if (Err != 0) return;
        if (Pick(3) == 0) Send();
        if (Pick(25) == 0) Act(Action::Wait);
        MaybeThrow("OnSessionConnected");
    }

    void DataAvailable() {
        Entered();
        Trail += "D ";
        Require("OnDataAvailable");
        if (Paused) Fail("OnDataAvailable while paused");
        const size_t index = Conns.size() - 1;
        Connection& c = Conns[index];
        const auto before = c.Received.size();
        const int exceptions = std::uncaught_exceptions();
        // Also when the handler throws: what it took, and whether it is to be called again.
        const auto account = qScopeGuard([&] {
            c.TookNothing = c.Received.size() == before;
            c.DataThrew = std::uncaught_exceptions() > exceptions;
            ++(c.TookNothing ? c.NothingCalls : c.SomethingCalls);
            // A handler that took nothing is called again once per arrival, never in a loop.
            if (c.NothingCalls > 2 * (c.Wakeups + c.SomethingCalls) + 16) {
                Fail("spin: the data handler was called again and again with nothing new");
                c.BusyUntil = {};
            }
            // From a peer that stays silent nothing more comes, so the owner reads later on
            // its own.
            if (c.TookNothing && c.Peer != None && Peers[c.Peer].End == PeerSide::Stay) ReadLater = true;
            if (c.TookNothing && LowLimit) LowerLimit();
        });
        if (Clock::now() < c.BusyUntil) {
            if (c.AsksCount) S->RcvdCount();
            return;
        }
        const bool longLine = c.Peer != None && Peers[c.Peer].LongLine != None;
        if (Pick(LowLimit || longLine ? 4 : 40) == 0) {  // busy for a while: takes nothing
            c.BusyUntil = Clock::now() + milliseconds(longLine ? 40 : 2 + Pick(30));
            return;
        }
        static const Action weights[] = {
            Action::ReadAll, Action::ReadAll, Action::ReadAll, Action::ReadAll, Action::ReadAll,
            Action::ReadAll, Action::ReadAll, Action::ReadPart, Action::ReadPart, Action::Defer,
            Action::ReadLater, Action::Pause, Action::Send, Action::Nested, Action::Wait};
        if (Pick(60) == 0)
            Act(static_cast<Action>(6 + Pick(5)));  // the endings
        else
            Act(weights[Pick(std::size(weights))]);
        MaybeThrow("OnDataAvailable", false);
    }

    void DataSent() {
        Entered();
        Trail += "S ";
        Require("OnDataSent");
        switch (Pick(30)) {
        case 0: case 1: Send(); break;
        case 2: Act(Action::Close); break;
        case 3: Act(Action::Wait); break;
        default: break;
        }
        MaybeThrow("OnDataSent");
    }

    void SendData(int Count) {
        Entered();
        Require("OnSendData");
        if (Count < 1 || Count > 1460) Fail("OnSendData for more or less than one block");
        Connection& c = Current();
        c.Reported += static_cast<size_t>(Count);
        // An end here leaves the rest of a long send queued: none of it may leave any more.
        static const Action choices[] = {Action::Close, Action::Abort, Action::Reconnect, Action::Wait};
        if (Pick(10) == 0) {
            const Action a = choices[Pick(4)];
            c.EndedInReport = a != Action::Wait;
            Act(a);
        }
        if (Pick(40) == 0) {
            c.SendThrew = Current().ClientEnded = true;
            Trail += "T ";
            throw ESocketException("thrown by the owner's OnSendData");
        }
    }

    void SessionClosed() {
        Entered();
        // From inside Connect (a handler of the last lines connected anew): the last one's close.
        const size_t index = Conns.size() - (InConnect && Conns.size() > 1 ? 2 : 1);
        Trail += "X" + std::to_string(index) + " ";
        Connection& c = Conns[index];
        if (++c.Closed > 1) Fail("OnSessionClosed twice");
        if (c.Connected == 0) c.Failed = true;
        // An owner retries a failed attempt more often than it reconnects after a session.
        switch (InConnect ? 4 : Pick(c.Failed ? 4 : 12)) {
        case 0: Act(Action::Reconnect); break;
        case 1:
            if (Conns.size() < MaxConnections && S->State() == wsClosed) {
                Paused = false;
                Connect();
            }
            break;
        case 2: Act(Action::Release); NestedLoop(); break;
        case 3: Act(Action::Wait); break;
        default: break;
        }
        if (!InConnect) MaybeThrow("OnSessionClosed");
    }

    // The limit counts the bytes behind the last line end only: the socket holds at least that
    // many of one line of the stream, all of them sent by the peer.
    void LineLimitExceeded(int Length, bool& Clear) {
        Entered();
        Trail += "LL" + std::to_string(Length) + " ";
        Connection& c = Current();
        ++c.LimitCalls;
        if (Length <= LineLimit) Fail("OnLineLimitExceeded below LineLimit");
        if (c.Peer != None) {
            const PeerSide& p = Peers[c.Peer];
            bool oneLine = false;
            const size_t length = static_cast<size_t>(Length);
            for (size_t start = c.Received.size(); !oneLine && start + length <= p.Sent;) {
                const size_t end = p.Stream.find("\r\n", start);
                oneLine = end == std::string::npos || end + 1 >= start + length;  // a lone CR may end it
                start = end + 2;
            }
            if (!oneLine) Fail("LineLimit counted bytes before the last line end");
        }
        Clear = Pick(2) == 0;
        if (Pick(4) == 0) Act(Action::Wait);
        static const Action endings[] = {Action::Close, Action::Abort, Action::Reconnect};
        Act(endings[Pick(3)]);
    }

    // Reads with or without asking RcvdCount first, as this connection's owner does; reads
    // outside a data handler always ask in line mode (a read without a line ready would bypass
    // the lines).
    int Read(int Max, bool InHandler = true) {
        Connection& c = Current();
        int want = Max, pending = -1;
        if (c.AsksCount || (LineMode && !InHandler)) {
            pending = S->RcvdCount();
            if (LineMode && pending <= 0) return 0;
            want = std::min(std::max(pending, 1), Max);
        }
        std::string buf(static_cast<size_t>(want), '\0');
        const int n = S->Receive(buf.data(), want);
        if (n <= 0) return 0;
        buf.resize(static_cast<size_t>(n));
        // A line holds one line end, at its end: held lines are never merged.
        const auto end = buf.find("\r\n");
        if (LineMode && n == pending && end != std::string::npos && end + 2 < buf.size())
            Fail("two lines delivered as one: " + buf.substr(0, 40));
        c.Received += buf;
        return n;
    }

    // Bytes that run on from one send to the next (a lost, doubled or reordered byte shows).
    void Send() {
        if (Released || S->State() != wsConnected) return;
        Connection& c = Current();
        const size_t n = Pick(4) == 0 ? 100000 + Pick(1000000) : 1 + Pick(5000);
        std::string bytes(n, '\0');
        for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>((c.Sent.size() + i) % 251);
        c.Sent += bytes;  // queued also when OnSendData throws out of the call
        S->SendStr(bytes);
    }

    // The peer keeps going while a handler waits: it is an independent program.
    void WithPeer(const std::function<void()>& Body) {
        QTimer peer;
        QObject::connect(&peer, &QTimer::timeout, [this] { PeerStep(); });
        peer.start(1);
        Body();
    }

    void NestedLoop() {
        WithPeer([&] {
            QEventLoop loop;
            QTimer::singleShot(1 + Pick(4), &loop, &QEventLoop::quit);
            loop.exec();
        });
    }

    // Waits for a flag that a timer or the next event sets; now and then the timer releases
    // the socket during the wait.
    void Wait() {
        if (WaitDepth >= 2) return;
        Trail += "W ";
        bool flag = false;
        bool* const outer = std::exchange(WaitFlag, &flag);
        ++WaitDepth;
        const bool release = Pick(5) == 0;
        QTimer timer;
        timer.setSingleShot(true);
        QObject::connect(&timer, &QTimer::timeout, [&] {
            flag = true;
            if (!release || Released) return;
            Trail += "WR ";
            Current().ClientEnded = Current().Released = Released = true;  // what is current then
            S->Release();
        });
        timer.start(1 + Pick(8));
        WithPeer([&] { S->WaitForFlag(flag); });
        --WaitDepth;
        WaitFlag = outer;
    }

    void Act(Action A) {
        if (Released) return;  // the owner has let the socket go
        Trail += "a" + std::to_string(static_cast<int>(A)) + " ";
        switch (A) {
        case Action::ReadAll: Read(1 << 16); break;
        case Action::ReadPart: Read(1 + Pick(8)); break;
        case Action::Defer: break;
        case Action::ReadLater: ReadLater = true; break;
        case Action::Pause:
            if (Pick(2)) Read(1 + Pick(300));  // a pause after a read holds the rest as well
            S->Pause();
            Paused = true;
            break;
        case Action::Send: Send(); break;
        case Action::Nested: NestedLoop(); break;
        case Action::Wait: Wait(); break;
        case Action::Close: Current().ClientEnded = true; S->Close(); break;
        case Action::Abort: Current().ClientEnded = true; S->Abort(); break;
        case Action::Reconnect:
            if (Conns.size() >= MaxConnections) return Act(Action::Close);
            Current().ClientEnded = true;
            S->Close();
            if (S->State() != wsClosed) break;  // a handler of the close connected already
            Paused = false;
            Connect();
            break;
        case Action::Release:
            Current().ClientEnded = Current().Released = true;
            S->Release();
            Released = true;
            break;
        }
    }

    std::string RandomStream(bool LongLine, size_t& LongLineAt) {
        std::string out;
        const int size = LongLine ? Pick(1200) : Pick(6) == 0 ? 0 : Pick(12000);
        while (static_cast<int>(out.size()) < size) {
            if (LineMode) {
                out += std::string(static_cast<size_t>(Pick(300)), static_cast<char>('a' + Pick(26)));
                out += "\r\n";
            } else {
                out += static_cast<char>(Pick(256));
            }
        }
        if (LongLine) {
            LongLineAt = out.size();
            out += std::string(static_cast<size_t>(LineLimit) + LongLineExtra, 'L') + "\r\n";
        }
        return out;
    }

    // A connection reached the proxy or the peer: the owner's connection with that local port.
    size_t ConnectionAt(uint16_t Port) {
        for (size_t i = Conns.size(); i-- > 0;)
            if (Conns[i].Port == Port && !Conns[i].NotStarted) return i;
        // A raced connection's port is known once an attempt gets through: the current one's.
        if (!Conns.empty() && Conns.back().Raced && Conns.back().Port == 0 && !Conns.back().NotStarted) {
            Conns.back().Port = Port;
            return Conns.size() - 1;
        }
        return None;
    }

    void AdoptProxy(int Fd) {
        const uint16_t port = PeerPort(Fd);
        const size_t conn = ConnectionAt(port);
        if (port == 0) return peer::Close(Fd);  // the owner has reset it already
        if (conn == None) {
            Fail("a connection at the proxy that the owner never made");
            peer::Close(Fd);
            return;
        }
        Proxies.push_back({Fd, -1, conn});
        ProxySide& x = Proxies.back();
        Conns[conn].Proxy = Proxies.size() - 1;
        x.Fate = static_cast<decltype(ProxySide::Fate)>(Pick(2) ? 0 : 1 + Pick(3));
        x.EndAt = Pick(3) - 1;
        Trail += "Y" + std::to_string(static_cast<int>(x.Fate)) + "@" + std::to_string(x.EndAt) + " ";
        if (!Conns[conn].Proxied) {
            Fail("SOCKS settings outlived their connection: a direct connection went to the proxy");
            x.Fate = ProxySide::Relay;  // the run goes on through the proxy
            Conns[conn].Proxied = true;
        }
        if (x.Fate != ProxySide::Relay && x.EndAt < 0) ProxyEnd(x, "");
    }

    void ProxyEnd(ProxySide& X, const std::string& Refusal) {
        if (X.Fate == ProxySide::Refuse) peer::SendNow(X.Client, Refusal);
        if (X.Fate == ProxySide::Reset) peer::Reset(X.Client);
        else peer::Close(X.Client);
        X.Client = -1;
    }

    // Takes the client's next handshake message when it is complete and answers it; true once
    // the relay stands.
    bool ProxyHandshake(ProxySide& X) {
        if (peer::RecvNow(X.Client, X.In) == 0) {  // the owner went away
            peer::Close(X.Client);
            X.Client = -1;
            return false;
        }
        if (X.In.empty()) return false;
        if (X.Stage == ProxySide::Greeting) X.Version = X.In[0];
        const bool v5 = X.Version == 5;
        const bool ending = X.Fate != ProxySide::Relay;
        const std::string refusal =
            v5 ? std::string{5, 5, 0, 1, 0, 0, 0, 0, 0, 0} : std::string{0, 91, 0, 0, 0, 0, 0, 0};
        if (X.Stage == ProxySide::Greeting) {
            // Version 5: 5 1 method; version 4 has no greeting.
            if (v5 && X.In.size() < 3) return false;
            const bool credentials = v5 && X.In[2] == 2 && Pick(4) != 0;  // else: none needed
            if (v5) X.In.erase(0, 3);
            if (ending && X.EndAt == 0) return ProxyEnd(X, v5 ? std::string{5, char(255)} : refusal), false;
            if (v5) peer::SendNow(X.Client, std::string{5, char(credentials ? 2 : 0)});
            X.Stage = credentials ? ProxySide::Credentials : ProxySide::Request;
        }
        if (X.Stage == ProxySide::Credentials) {
            // 1 n user n password, checked at leisure (an impatient user may give up meanwhile).
            if (X.In.size() < 2 || X.In.size() < 3u + uint8_t(X.In[1]) ||
                X.In.size() < 3u + uint8_t(X.In[1]) + uint8_t(X.In[2 + uint8_t(X.In[1])]) || Pick(3) != 0)
                return false;
            X.In.erase(0, 3u + uint8_t(X.In[1]) + uint8_t(X.In[2 + uint8_t(X.In[1])]));
            if (ending && X.EndAt == 1) return ProxyEnd(X, std::string{1, 1}), false;
            peer::SendNow(X.Client, std::string{1, 0});
            X.Stage = ProxySide::Request;
        }
        // Version 5: 5 1 0 3 n name port; version 4: 4 1 port ip user 0, and with 4A's
        // address 0.0.0.x the host name and a 0 behind it.
        size_t length = 0;
        if (v5 && X.In.size() >= 5 && X.In.size() >= 7u + uint8_t(X.In[4])) length = 7u + uint8_t(X.In[4]);
        if (!v5 && X.In.size() > 8) {
            size_t end = X.In.find('\0', 8);
            if (end != std::string::npos && X.In.compare(4, 3, std::string(3, '\0')) == 0)
                end = X.In.find('\0', end + 1);
            if (end != std::string::npos) length = end + 1;
        }
        if (length == 0) return false;
        X.In.erase(0, length);
        if (ending) return ProxyEnd(X, refusal), false;
        X.Upstream = peer::Connect(Listener.Port());
        if (X.Upstream < 0) {  // no descriptor left
            X.Fate = ProxySide::Refuse;
            return ProxyEnd(X, refusal), false;
        }
        const int on = 1;  // urgent bytes of the peer pass on as data
        ::setsockopt(X.Upstream, SOL_SOCKET, SO_OOBINLINE, &on, sizeof on);
        X.UpstreamPort = OwnPort(X.Upstream);
        X.ToClient = v5 ? std::string{5, 0, 0, 1, 127, 0, 0, 1, 0, 0} : std::string{0, 90, 0, 0, 0, 0, 0, 0};
        X.ToUpstream = std::exchange(X.In, {});
        X.Stage = ProxySide::Relaying;
        return true;
    }

    void ProxyStep(ProxySide& X) {
        if (X.Client < 0) return;
        if (X.Stage != ProxySide::Relaying && !ProxyHandshake(X)) return;
        Connection& c = Conns[X.Conn];
        if (!X.ClientEof && X.ToUpstream.size() < 65536 && peer::RecvNow(X.Client, X.ToUpstream) == 0)
            X.ClientEof = true;
        if (!X.UpstreamEof && X.ToClient.size() < 65536 && peer::RecvNow(X.Upstream, X.ToClient) == 0)
            X.UpstreamEof = true;
        if (!X.ToClient.empty()) {
            const int n = peer::SendNow(X.Client, X.ToClient);
            X.ToClient.erase(0, n < 0 ? X.ToClient.size() : static_cast<size_t>(n));
            if (n > 0) ++c.Wakeups;
        }
        if (!X.ToUpstream.empty()) {
            const int n = peer::SendNow(X.Upstream, X.ToUpstream);
            X.ToUpstream.erase(0, n < 0 ? X.ToUpstream.size() : static_cast<size_t>(n));
        }
        if (X.ClientEof && X.ToUpstream.empty() && !std::exchange(X.UpstreamShut, true))
            ::shutdown(X.Upstream, SHUT_WR);
        if (X.UpstreamEof && X.ToClient.empty() && !std::exchange(X.ClientShut, true)) {
            ::shutdown(X.Client, SHUT_WR);
            ++c.Wakeups;
        }
    }

    void AdoptPeer(int Fd) {
        const uint16_t port = PeerPort(Fd);
        if (port == 0) return peer::Close(Fd);  // the owner (or the relay) has reset it already
        size_t conn = None;
        bool relayed = false;
        for (const ProxySide& x : Proxies)
            if (x.Upstream >= 0 && x.UpstreamPort == port) conn = x.Conn, relayed = true;
        if (!relayed) conn = ConnectionAt(port);
        if (conn == None || Conns[conn].Peer != None) {
            Fail("a connection at the peer that the owner never made");
            peer::Close(Fd);
            return;
        }
        if (Conns[conn].Proxied && !relayed)
            Fail("a connection set to go through the proxy went directly to the peer (the last "
                 "connection's address was kept)");
        Peers.push_back({Fd, conn});
        PeerSide& p = Peers.back();
        Conns[conn].Peer = Peers.size() - 1;
        p.End = static_cast<decltype(PeerSide::End)>(Pick(3));
        if (Conns[conn].Tls) {
            p.Tls = std::make_shared<TlsServerEnd>();
            if (Pick(5) == 0) p.EarlyEnd = static_cast<size_t>(Pick(1200));
        }
        const bool longLine = LineMode && !relayed && Pick(4) == 0;
        p.Stream = RandomStream(longLine, p.LongLine);
        if (longLine) {
            const int small = 32768;
            ::setsockopt(Fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        }
        p.Progress = Clock::now();
        Trail += "P" + std::to_string(p.Stream.size()) + "/" + std::to_string(static_cast<int>(p.End)) + " ";
    }

    // What the owner sent, as the peer reads it (decrypted over TLS).
    void PeerRead(PeerSide& p) {
        if (!p.Tls) {
            while (peer::RecvNow(p.Fd, p.Got) > 0) {
            }
            return;
        }
        std::string raw;
        while (peer::RecvNow(p.Fd, raw) > 0) {
        }
        p.Tls->Put(raw);
        p.Tls->Step(p.Got);
        p.Tls->TakeOut(p.Cipher);
    }

    void PeerEnd(PeerSide& p, Connection& c) {
        p.Ended = true;
        ++c.Wakeups;
        Trail += "E ";
        if (p.End == PeerSide::Reset) {
            peer::Reset(p.Fd);
            p.Fd = -1;  // closed: its number may come back for another connection
        } else {
            ::shutdown(p.Fd, SHUT_WR);
        }
    }

    // Over TLS the ciphertext goes out in random segments, cut anywhere in a record; the text
    // is written once the last of it has left, so that what was written is what is on its way.
    void PeerSendTls(PeerSide& p) {
        Connection& c = Conns[p.Conn];
        const bool handshaking = !p.Tls->Ready();
        if (p.CipherSent < p.Cipher.size() && !(handshaking && p.CipherTotal >= p.EarlyEnd)) {
            size_t n = std::min(p.Cipher.size() - p.CipherSent, size_t(1 + Pick(3000)));
            if (handshaking && p.EarlyEnd != None) n = std::min(n, p.EarlyEnd - p.CipherTotal);
            const int k = peer::SendNow(p.Fd, p.Cipher.substr(p.CipherSent, n));
            if (k > 0) {
                p.CipherSent += static_cast<size_t>(k);
                p.CipherTotal += static_cast<size_t>(k);
                p.Progress = Clock::now();
                ++c.Wakeups;
            }
            // An end now and then cuts a record short.
            if (!handshaking && p.Sent == p.Stream.size() && p.End != PeerSide::Stay && Pick(4) == 0)
                PeerEnd(p, c);
            return;
        }
        if (handshaking) {
            if (p.EarlyEnd != None && p.CipherTotal >= p.EarlyEnd) {
                Trail += "EH ";
                PeerEnd(p, c);
            }
            return;
        }
        p.Cipher.erase(0, std::exchange(p.CipherSent, 0));
        if (p.Sent < p.Stream.size()) {
            const bool inLongLine = p.Sent >= p.LongLine;
            const size_t n = std::min(p.Stream.size() - p.Sent, size_t(1 + Pick(inLongLine ? 16384 : 3000)));
            p.Tls->Write(p.Stream.data() + p.Sent, n);
            p.Tls->TakeOut(p.Cipher);
            p.Sent += n;
            if (inLongLine && c.LimitCalls == 0 && !p.Shown &&
                p.Sent - p.LongLine > static_cast<size_t>(LineLimit) + LongLineShown) {
                p.Shown = true;
                Fail("LineLimit was off over TLS: far more of one line than LineLimit was taken in "
                     "without OnLineLimitExceeded");
            }
            if (inLongLine && Clock::now() - p.Progress > milliseconds(150)) p.Stream.resize(p.Sent);
        } else if (p.End != PeerSide::Stay) {
            if (p.End == PeerSide::Fin && Pick(2) == 0) {  // with the close alert
                p.Tls->Shutdown();
                p.Tls->TakeOut(p.Cipher);
                peer::SendNow(p.Fd, p.Cipher);
            }
            PeerEnd(p, c);
        }
    }

    void PeerSend(PeerSide& p) {
        PeerRead(p);
        if (p.Ended || Pick(3) != 0) return;
        if (p.Tls) return PeerSendTls(p);
        Connection& c = Conns[p.Conn];
        if (p.Sent < p.Stream.size()) {
            const bool inLongLine = p.Sent >= p.LongLine;
            const size_t n = std::min(p.Stream.size() - p.Sent, size_t(1 + Pick(inLongLine ? 131072 : 3000)));
            const bool urgent = n > 1 && !inLongLine && Pick(12) == 0;
            const ssize_t k =
                ::send(p.Fd, p.Stream.data() + p.Sent, urgent ? n - 1 : n, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (k > 0) {
                p.Sent += static_cast<size_t>(k);
                p.Progress = Clock::now();
                ++c.Wakeups;
                if (urgent && static_cast<size_t>(k) == n - 1 &&
                    ::send(p.Fd, p.Stream.data() + p.Sent, 1, MSG_OOB | MSG_NOSIGNAL | MSG_DONTWAIT) == 1) {
                    p.Urgent.push_back(p.Sent++);
                    ++c.Wakeups;
                    Trail += "U ";
                }
            }
            if (inLongLine && c.LimitCalls == 0 && !p.Shown &&
                p.Sent - p.LongLine > static_cast<size_t>(LineLimit) + LongLineShown) {
                p.Shown = true;
                Fail("LineLimit was off: the socket took in far more of one line than LineLimit "
                     "without OnLineLimitExceeded");
            }
            // An owner that holds back the line holds back the peer: it gives the line up.
            if (inLongLine && Clock::now() - p.Progress > milliseconds(150)) p.Stream.resize(p.Sent);
        } else if (p.End != PeerSide::Stay) {
            PeerEnd(p, c);
        }
    }

    // The proxy and the peer: accepts, handshakes, relays, sends and ends.
    void PeerStep() {
        RestoreLimit();
        for (int fd; (fd = Proxy.Listener.Accept(0)) >= 0;) AdoptProxy(fd);
        for (int fd; (fd = Listener.Accept(0)) >= 0;) AdoptPeer(fd);
        for (ProxySide& x : Proxies) ProxyStep(x);
        for (PeerSide& p : Peers)
            if (p.Fd >= 0) PeerSend(p);
    }

    // Descriptors run out just as a handler defers: the socket's wait for more must not need
    // one. The limit comes back with the next thing the owner or the peer does (so briefly, as
    // the sanitizers need descriptors for some of their checks).
    void LowerLimit() {
        if (OldLimit >= 0) return;
        OldLimit = peer::LimitDescriptors(0);
        LimitLowered = true;
        Trail += "LIM ";
        QTimer::singleShot(0, S, [this] { RestoreLimit(); });
    }
    void RestoreLimit() {
        if (OldLimit < 0) return;
        peer::RestoreDescriptorLimit(OldLimit);
        OldLimit = -1;
    }

    // Resumes and reads late for the owner, and ends a connection as a user does: now and then,
    // and more likely while the proxy takes its time over the credentials.
    void OwnerStep() {
        RestoreLimit();
        if (!Alive || Released) return;
        Connection& c = Current();
        const bool checking = c.Proxy != None && Proxies[c.Proxy].Client >= 0 &&
                              Proxies[c.Proxy].Stage == ProxySide::Credentials;
        // An IPv6 address that never answers is waited for as long as it may still answer,
        // when every other address has failed: the user gives up on it.
        const bool waitsForSilence = Silent6 && c.Raced && S->State() == wsConnecting &&
                                     Clock::now() - c.Started > milliseconds(1500);
        if (S->State() != wsClosed &&
            ((checking && Pick(5) == 0) || Clock::now() >= c.UserEnds || waitsForSilence)) {
            Trail += "USER ";
            c.UserEnds = Clock::time_point::max();
            c.ClientEnded = true;
            Paused = false;
            try {  // the close is reported inside the call, and the report may throw
                Pick(2) ? S->Close() : S->Abort();
            } catch (const std::exception&) {
            }
            return;
        }
        if (Paused && Pick(4) == 0) {
            Paused = false;
            Trail += "R ";
            ++Current().Wakeups;
            S->Resume();
        }
        // A handler that threw from OnSessionClosed and kept the socket (OnBgException) left
        // it open: the owner closes it.
        if (Current().Closed && S->State() == wsConnected && Pick(4) == 0) {
            try {
                S->Close();
            } catch (const std::exception&) {
            }
        }
        // Only a session the owner was told of: a tunnel's handshake is none of its business.
        if (ReadLater && Pick(4) == 0 && S->State() == wsConnected && Current().Connected == 1 &&
            Clock::now() >= Current().BusyUntil) {
            ReadLater = false;
            ++Current().Wakeups;
            for (int i = 0; i < 64 && Read(1 << 16, false) > 0; ++i) {  // all there is
            }
        }
    }

    // The last connection still holds the socket.
    bool Open(size_t Index) const {
        return Alive && Index + 1 == Conns.size() && S->State() != wsClosed;
    }

    // A connection that has ended is done; an open one once it got every byte of a peer that
    // stays, and the peer every byte the owner sent.
    bool Done(size_t Index) const {
        const Connection& c = Conns[Index];
        if (c.NotStarted || !Open(Index)) return true;
        if (c.Peer == None || Peers[c.Peer].End != PeerSide::Stay) return false;
        const PeerSide& p = Peers[c.Peer];
        return c.Connected && c.Received.size() == p.Stream.size() &&
               (c.SendThrew || p.Got.size() == c.Sent.size());
    }

    std::string StallReport() const {
        std::string state;
        for (size_t i = 0; i < Conns.size(); ++i) {
            const Connection& c = Conns[i];
            const PeerSide* p = c.Peer != None ? &Peers[c.Peer] : nullptr;
            state += " #" + std::to_string(i) + (c.Proxied ? " proxied" : "") + ":" +
                     std::to_string(c.Received.size()) + "/" + (p ? std::to_string(p->Stream.size()) : "-") +
                     (c.Closed ? " closed" : "") + (c.TookNothing ? " waiting for more" : "") +
                     (c.DataThrew ? " after its data handler threw" : "");
            if (p && !p->Urgent.empty() && p->Urgent.back() >= c.Received.size())
                state += " urgent byte unread";
        }
        state += " [state " + (Alive ? std::to_string(S->State()) : std::string("gone")) +
                 (Paused ? " paused" : "") + "]";
        return state + (LimitLowered ? " (the descriptor limit was lowered)" : "");
    }

    // A socket whose handler waits costs nothing while nothing arrives: a few more bytes come,
    // the handler takes nothing, then the loop idles.
    void IdleCheck() {
        Connection& c = Current();
        PeerSide& p = Peers[c.Peer];
        c.BusyUntil = Clock::now() + milliseconds(200);
        const std::string tail = LineMode ? "tail\r\n" : std::string(1 + Pick(100), 't');
        p.Stream += tail;
        if (peer::SendNow(p.Fd, tail) != static_cast<int>(tail.size())) return;
        p.Sent += tail.size();
        ++c.Wakeups;
        const int calls = c.NothingCalls;
        RunUntil([&] { return c.NothingCalls > calls; }, 100);
        rusage before{}, after{};
        ::getrusage(RUSAGE_SELF, &before);
        QEventLoop idle;  // sleeps while nothing happens (RunFor would poll)
        QTimer::singleShot(25, &idle, &QEventLoop::quit);
        idle.exec();
        ::getrusage(RUSAGE_SELF, &after);
        const auto ms = [](const rusage& r) {
            return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000.0 +
                   (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1000.0;
        };
        if (ms(after) - ms(before) > 15)
            Fail("a socket whose handler waits for more burns CPU while nothing arrives");
    }

    void Drive() {
        QDeadlineTimer deadline(4000);
        bool stalled = false;
        for (;;) {
            PeerStep();
            OwnerStep();
            QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
            if (!Alive) break;
            bool all = true;
            for (size_t i = 0; i < Conns.size(); ++i) all = all && Done(i);
            if (all && !Paused) break;
            if (deadline.hasExpired()) {
                Fail("stalled: a connection neither got all its bytes nor its close;" + StallReport());
                stalled = true;
                break;
            }
        }
        const bool open = !Conns.empty() && Open(Conns.size() - 1);
        if (open && !stalled && Failures.empty() && !LineMode && Current().Peer != None &&
            !Current().Proxied && !Current().Tls && Pick(6) == 0)
            IdleCheck();
        RestoreLimit();
        for (PeerSide& p : Peers)
            if (p.Fd >= 0) PeerRead(p);
        for (size_t i = 0; i < Conns.size(); ++i) {
            const Connection& c = Conns[i];
            if (c.NotStarted) continue;
            const bool ended = !(open && i + 1 == Conns.size()) && !c.Released && !stalled;
            if (ended && c.Closed == 0) Fail("a connection ended without OnSessionClosed");
            if (ended && c.Connected == 0 && !c.ClientEnded)
                Fail("a connection attempt got neither OnSessionConnected nor an end by the owner");
            if (c.Reported > c.Sent.size()) Fail("OnSendData reported more than was sent");
            if (c.Peer == None) continue;
            const PeerSide& p = Peers[c.Peer];
            const std::string& sent = p.Stream;
            if (c.Received != sent.substr(0, c.Received.size())) {
                size_t at = 0;
                while (at < sent.size() && c.Received[at] == sent[at]) ++at;
                const bool urgent = std::find(p.Urgent.begin(), p.Urgent.end(), at) != p.Urgent.end();
                std::string where = " at byte " + std::to_string(at) + " of " +
                                    std::to_string(c.Received.size()) + " received, " +
                                    std::to_string(p.Sent) + " sent; urgent at";
                for (const size_t u : p.Urgent) where += " " + std::to_string(u);
                Fail(urgent ? "an urgent byte was lost or moved: it must arrive inline, in order"
                            : "bytes lost, doubled or out of order" + where);
            }
            const std::string& got = p.Got;
            Trail += "#" + std::to_string(i) + " sent/reported/arrived " + std::to_string(c.Sent.size()) +
                     "/" + std::to_string(c.Reported) + "/" + std::to_string(got.size()) + " ";
            if (got != c.Sent.substr(0, got.size()))
                Fail(c.SendThrew ? "sent bytes doubled or out of order at the peer after OnSendData threw"
                                 : "sent bytes lost, doubled or out of order at the peer");
            // With a handler, one block leaves per report: what arrived was reported, also when
            // the owner ended the connection or threw in the report.
            if (ReportSends && got.size() > c.Reported)
                Fail(c.SendThrew ? "blocks reached the peer unreported after OnSendData threw"
                     : c.EndedInReport
                         ? "blocks reached the peer unreported after Close or Abort in OnSendData"
                         : "bytes reached the peer that OnSendData never reported");
        }
        if (Released) {
            if (!RunUntil([&] { return !Alive; }, 1000)) Fail("a released socket stayed");
        } else {
            delete S;
        }
        for (PeerSide& p : Peers)
            if (p.Fd >= 0) peer::Close(p.Fd);
        for (ProxySide& x : Proxies)
            for (int fd : {x.Client, x.Upstream})
                if (fd >= 0) peer::Close(fd);
    }

    std::mt19937 Rng;
    PosixListener Listener;
    struct {
        PosixListener Listener;
        uint16_t Port() const { return Listener.Port(); }
    } Proxy;
    std::optional<PosixListener> Silent6, SilentProxy6;
    ScriptedSocket* S = nullptr;
    QPointer<ScriptedSocket> Alive;
    std::deque<Connection> Conns;  // stable references while handlers add connections
    std::deque<PeerSide> Peers;
    std::deque<ProxySide> Proxies;
    bool InConnect = false;  // S->ConnectTo is on the stack
    bool LineMode = false, Paused = false, ReadLater = false, Released = false, ReportSends = true;
    bool LowLimit = false;
    long OldLimit = -1;  // the descriptor limit while it is lowered
    bool LimitLowered = false;
    int LineLimit = 0, WaitDepth = 0;
    bool* WaitFlag = nullptr;
};

uint32_t CurrentSeed = 0;

TEST(EventOrderProperty, EveryByteOnceInOrderAndEveryEventInItsConnection) {
    const int before = peer::OpenDescriptors();
#if defined(__SANITIZE_ADDRESS__)
    // A memory fault ends the process at once: its seed is told on the way out.
    __sanitizer_set_death_callback([] { std::fprintf(stderr, "replay with KORVEL_SEED=%u\n", CurrentSeed); });
#endif
    TlsFiles();  // the test's certificate authority is the one the process trusts
    for (const uint32_t seed : SequenceSeeds(1000, 150)) {
        CurrentSeed = seed;
        {
            Sequence run(seed);
            run.Go();
            ASSERT_EQ(run.Failures, "") << "replay with KORVEL_SEED=" << seed << "\n"
                                        << run.Trail.substr(run.Trail.size() - std::min<size_t>(run.Trail.size(), 1500));
        }
        QCoreApplication::processEvents();
        ASSERT_EQ(peer::OpenDescriptors(), before) << "descriptors left behind; KORVEL_SEED=" << seed;
    }
}

}  // namespace
