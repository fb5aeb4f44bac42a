// Random event sequences against a peer on 127.0.0.1: the peer sends random bytes (or lines) in
// random segments and ends with a close, a reset or not at all; each handler call picks at
// random what to do: read all, part or nothing (and read later), pause, send, close, abort,
// reconnect, release, or run a nested event loop. What the owner sends (now and then far more
// than a small receive buffer of the peer holds, so that sends are taken in part) must reach the
// peer in order, reported by OnSendData block by block. After every run the owner's invariants
// are checked. A failing run prints its seed; KORVEL_SEED=n replays it, KORVEL_RUNS=n runs more.
#include "socket_probe.h"

#include "event_loop.h"
#include "posix_peer.h"
#include "test_seed.h"

#include <gtest/gtest.h>

#include <QEventLoop>
#include <QPointer>
#include <QTimer>

#include <sys/socket.h>

#include <deque>
#include <random>

namespace {

// The peer's side of one connection: a random stream, sent in random segments.
struct PeerSide {
    int Fd = -1;
    std::string Stream;
    size_t Sent = 0;
    std::string Got = {};  // what the owner sent, as the peer read it
    enum { Fin, Reset, Stay } End = Fin;
    bool Ended = false;
};

// The owner's view of one connection.
struct Connection {
    int Connected = 0, Closed = 0;
    bool Failed = false;      // its connect failed or it was closed before connecting
    bool ClientEnded = false; // the owner closed, aborted, replaced or released it
    bool TookNothing = false; // the last data handler call read nothing
    bool Declined = false;    // ...and then the close came: what was left is the owner's loss
    std::string Received;
    std::string Sent;     // what Send took for this connection
    size_t Reported = 0;  // the bytes OnSendData reported
};

class Sequence {
public:
    explicit Sequence(unsigned Seed) : Rng(Seed) {}

    void Go() {
        S = new RecordingSocket;
        S->OnChangeState = nullptr;
        S->OnError = [](QObject*) {};
        LineMode = Pick(2) == 0;
        S->SetLineMode(LineMode);
        S->SetLineLimit(LineMode ? 512 : 0);
        S->OnLineLimitExceeded = [this](QObject*, int, bool&) {
            Fail("the line limit came while a line end was held");
        };
        S->OnSessionConnected = [this](QObject*, uint16_t Err) { Connected(Err); };
        S->OnDataAvailable = [this](QObject*, uint16_t) { DataAvailable(); };
        S->OnDataSent = [this](QObject*, uint16_t) { Require("OnDataSent"); };
        S->OnSendData = [this](QObject*, int Count) {
            Require("OnSendData");
            if (Count < 1 || Count > 1460) Fail("OnSendData for more or less than one block");
            Current().Reported += static_cast<size_t>(Count);
            // A short report ends a send (or is the part a full buffer took): an end there
            // leaves the rest of a long send queued.
            if (Count < 1460 && Pick(4) == 0) Act(Pick(2) ? Action::Reconnect : Action::Close);
        };
        S->OnSessionClosed = [this](QObject*, uint16_t) { SessionClosed(); };
        Connect();
        Drive();
    }

    std::string Failures;
    std::string Trail;  // what happened, in short, for the report of a failing run

private:
    enum class Action { ReadAll, ReadPart, Defer, ReadLater, Pause, Send, Close, Abort, Reconnect,
                        Release, Nested };

    int Pick(int N) { return static_cast<int>(Rng() % static_cast<unsigned>(N)); }
    void Fail(const std::string& What) {
        Trail += "FAIL ";
        if (Failures.find(What) == std::string::npos) Failures += What + "; ";
    }
    Connection& Current() { return Conns.back(); }

    void Connect() {
        if (S->State() != wsClosed) return;  // a handler of the close connected already
        Conns.emplace_back();
        S->ConnectTo(Listener.Port());
    }

    // An event of a connection that has not been reported connected belongs to the wrong one.
    void Require(const char* Event) {
        if (Current().Connected != 1) Fail(std::string(Event) + " before OnSessionConnected");
    }

    void Connected(uint16_t Err) {
        Trail += "C" + std::to_string(Conns.size() - 1) + ":" + std::to_string(Err) + " ";
        if (++Current().Connected > 1) Fail("OnSessionConnected twice");
        if (Err != 0) Current().Failed = true;
        if (S->Paused || S->ReadCount() != 0) Fail("a new connection kept the last one's state");
        // A small send buffer takes a long send in parts.
        const int sendBuffer = 16384;
        if (Err == 0 && Pick(2) == 0)
            winsock::setsockopt(S->Handle, 0xFFFF, 0x1001,  // SOL_SOCKET, SO_SNDBUF (the Windows numbers)
                                reinterpret_cast<const char*>(&sendBuffer), sizeof sendBuffer);
        if (Err == 0 && Pick(3) == 0) Send();
    }

    void DataAvailable() {
        Trail += "D" + std::to_string(S->RcvdCount()) + " ";
        Require("OnDataAvailable");
        if (Paused) Fail("OnDataAvailable while paused");
        static const Action weights[] = {
            Action::ReadAll, Action::ReadAll, Action::ReadAll, Action::ReadAll, Action::ReadAll,
            Action::ReadAll, Action::ReadAll, Action::ReadPart, Action::ReadPart, Action::Defer,
            Action::ReadLater, Action::Pause, Action::Send, Action::Nested};
        const size_t index = Conns.size() - 1;
        Connection& c = Conns[index];
        const auto before = c.Received.size();
        if (Pick(60) == 0)
            Act(static_cast<Action>(6 + Pick(5)));  // the endings
        else
            Act(weights[Pick(std::size(weights))]);
        c.TookNothing = c.Received.size() == before;
        // A handler that took nothing is called again when more comes; from a peer that stays
        // silent nothing more comes, so the owner reads later on its own.
        if (c.TookNothing && index < Peers.size() && Peers[index].End == PeerSide::Stay)
            ReadLater = true;
    }

    void SessionClosed() {
        Trail += "X" + std::to_string(Conns.size() - 1) + " ";
        if (++Current().Closed > 1) Fail("OnSessionClosed twice");
        if (Current().Connected == 0) Current().Failed = true;
        // A handler that paused or took nothing when the session ended leaves the rest unread.
        Current().Declined = Current().TookNothing || Paused;
        switch (Pick(10)) {
        case 0: Act(Action::Reconnect); break;
        case 1: Act(Action::Release); NestedLoop(); break;
        case 2: if (Conns.size() < 4) { Paused = false; Connect(); } break;
        default: break;
        }
    }

    void Read(int Max) {
        const int pending = S->RcvdCount();
        if (LineMode && pending <= 0) return;  // no line ready: a read would bypass the lines
        const int want = std::min(std::max(pending, 1), Max);
        std::string buf(static_cast<size_t>(want), '\0');
        const int n = S->Receive(buf.data(), want);
        if (n <= 0) return;
        buf.resize(static_cast<size_t>(n));
        // A line holds one line end, at its end: held lines are never merged.
        const auto end = buf.find("\r\n");
        if (LineMode && n == pending && end != std::string::npos && end + 2 < buf.size())
            Fail("two lines delivered as one: " + buf.substr(0, 40));
        Current().Received += buf;
    }

    // Bytes that run on from one send to the next (a lost, doubled or reordered byte shows).
    void Send() {
        Connection& c = Current();
        const size_t n = Pick(4) == 0 ? 100000 + Pick(1000000) : 1 + Pick(5000);
        std::string bytes(n, '\0');
        for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>((c.Sent.size() + i) % 251);
        if (S->SendStr(bytes) > 0) c.Sent += bytes;
    }

    void NestedLoop() {
        QEventLoop loop;
        QTimer::singleShot(1 + Pick(4), &loop, &QEventLoop::quit);
        loop.exec();
    }

    void Act(Action A) {
        Trail += "a" + std::to_string(static_cast<int>(A)) + " ";
        switch (A) {
        case Action::ReadAll: Read(1 << 20); break;
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
        case Action::Close: Current().ClientEnded = true; S->Close(); break;
        case Action::Abort: Current().ClientEnded = true; S->Abort(); break;
        case Action::Reconnect:
            if (Conns.size() >= 4) return Act(Action::Close);
            Current().ClientEnded = true;
            S->Close();
            Paused = false;
            Connect();
            break;
        case Action::Release:
            Current().ClientEnded = true;
            S->Release();
            Released = true;
            break;
        }
    }

    std::string RandomStream() {
        std::string out;
        const int size = Pick(6) == 0 ? 0 : Pick(12000);
        while (static_cast<int>(out.size()) < size) {
            if (LineMode) {
                out += std::string(static_cast<size_t>(Pick(300)), static_cast<char>('a' + Pick(26)));
                out += "\r\n";
            } else {
                out += static_cast<char>(Pick(256));
            }
        }
        return out;
    }

    // Accepts, sends and ends for the peer; resumes and reads late for the owner.
    void Step() {
        if (int fd = Listener.Accept(0); fd >= 0) {
            Peers.push_back({fd, RandomStream()});
            Peers.back().End = static_cast<decltype(PeerSide::End)>(Pick(3));
            Trail += "P" + std::to_string(Peers.back().Stream.size()) + "/" +
                     std::to_string(static_cast<int>(Peers.back().End)) + " ";
        }
        for (auto& p : Peers) {
            while (peer::RecvNow(p.Fd, p.Got) > 0) {
            }
            if (p.Ended || Pick(3) != 0) continue;
            if (p.Sent < p.Stream.size()) {
                const size_t n = std::min(p.Stream.size() - p.Sent, size_t(1 + Pick(3000)));
                const ssize_t k = ::send(p.Fd, p.Stream.data() + p.Sent, n, MSG_NOSIGNAL | MSG_DONTWAIT);
                if (k > 0) p.Sent += static_cast<size_t>(k);
            } else if (p.End != PeerSide::Stay) {
                p.Ended = true;
                Trail += "E ";
                if (p.End == PeerSide::Reset) {
                    peer::Reset(p.Fd);
                    p.Fd = -1;  // closed: its number may come back for another connection
                } else {
                    ::shutdown(p.Fd, SHUT_WR);
                }
            }
        }
        if (Paused && Pick(4) == 0 && S) {
            Paused = false;
            Trail += "R ";
            S->Resume();
        }
        if (ReadLater && Pick(4) == 0 && S && S->State() == wsConnected) {
            ReadLater = false;
            Read(1 << 20);
        }
    }

    // A connection that neither side broke gets every byte the peer sent.
    bool Done(size_t Index) const {
        if (Index >= Peers.size()) return Conns[Index].Failed || Conns[Index].ClientEnded;
        const PeerSide& p = Peers[Index];
        const Connection& c = Conns[Index];
        if (c.ClientEnded || c.Failed || c.Declined || p.End == PeerSide::Reset)
            return c.ClientEnded || c.Closed;
        // From a peer that stays, everything the owner sent arrives too.
        return c.Connected && c.Received.size() == p.Stream.size() &&
               (p.End == PeerSide::Stay ? p.Got.size() == c.Sent.size() : c.Closed == 1);
    }

    void Drive() {
        QDeadlineTimer deadline(4000);
        const QPointer<RecordingSocket> alive(S);
        for (;;) {
            Step();
            QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
            if (!alive) break;
            bool all = true;
            for (size_t i = 0; i < Conns.size(); ++i) all = all && Done(i);
            if (all && !Paused) break;
            if (deadline.hasExpired()) {
                std::string state;
                for (size_t i = 0; i < Conns.size(); ++i)
                    state += " #" + std::to_string(i) + ":" + std::to_string(Conns[i].Received.size()) +
                             "/" + (i < Peers.size() ? std::to_string(Peers[i].Stream.size()) : "-") +
                             (Conns[i].Closed ? " closed" : "") + (Conns[i].Declined ? " declined" : "");
                Fail("stalled: a connection neither got all its bytes nor its close;" + state);
                break;
            }
        }
        for (size_t i = 0; i < Conns.size() && i < Peers.size(); ++i) {
            const std::string& sent = Peers[i].Stream;
            if (Conns[i].Received != sent.substr(0, Conns[i].Received.size()))
                Fail("bytes lost, doubled or out of order");
            const std::string& got = Peers[i].Got;
            if (got != Conns[i].Sent.substr(0, got.size()) || Conns[i].Reported > Conns[i].Sent.size())
                Fail("sent bytes lost, doubled or out of order, or reported beyond what was sent");
            if (got.size() == Conns[i].Sent.size() && !Conns[i].ClientEnded && Conns[i].Reported != got.size())
                Fail("bytes that arrived were not reported by OnSendData");
            if (Conns[i].Connected == 0 && !Conns[i].ClientEnded && !Released)
                Fail("a connection started from a handler never connected");
        }
        if (Released) {
            if (!RunUntil([&] { return !alive; }, 1000)) Fail("a released socket stayed");
        } else {
            delete S;
        }
        for (auto& p : Peers)
            if (p.Fd >= 0) peer::Close(p.Fd);
    }

    std::mt19937 Rng;
    PosixListener Listener;
    RecordingSocket* S = nullptr;
    std::deque<Connection> Conns;  // stable references while handlers add connections
    std::vector<PeerSide> Peers;
    bool LineMode = false, Paused = false, ReadLater = false, Released = false;
};

TEST(EventOrderProperty, EveryByteOnceInOrderAndEveryEventInItsConnection) {
    const int before = peer::OpenDescriptors();
    for (const uint32_t seed : SequenceSeeds(1000, 150)) {
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
