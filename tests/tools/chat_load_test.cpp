// The chat server under random load: clients connect, log in, send bursts, read promptly, at
// random slow rates, in flood-then-read cycles or never, log in again and again, come back while
// their old connection still stands, and leave. The seed is printed on failure; KORVEL_SEED
// replays one, KORVEL_RUNS runs that many.
#include "chat_server.h"

#include "event_loop.h"
#include "posix_peer.h"
#include "test_seed.h"

#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <map>
#include <memory>
#include <random>

#include <netinet/in.h>
#include <sys/socket.h>

namespace {

enum class Reading { Prompt, Slow, Never, Cycles, Renamer };
constexpr int MaxDelayMs = 500;  // far above what a prompt reader waits, far below a hold

struct LoadPeer {
    int Fd = -1;
    Reading Kind = Reading::Prompt;
    std::string Name;
    bool Welcomed = false, Ended = false, Closed = false, InChat = false, AtLineStart = true;
    bool Fast = false, Draining = false;  // a slow reader that reads all it can (and more)
    std::string Out, In;                // not yet taken by the socket; not yet a whole line
    int Made = 0, Written = 0;          // chat lines made; chat lines the socket took whole
    QDeadlineTimer NextRead{0}, NextFlood{0};
    std::size_t BytesIn = 0, ChatIn = 0;
    std::deque<std::pair<std::string, std::size_t>> Due;  // logins no list showed yet: name, ChatIn
    std::map<std::string, int> Seen;    // sender: the last line number received from it
    std::map<std::string, int> Floor;   // sender: lines it had written when the welcome came
    std::vector<int64_t> TakenMs{0};    // by line number: when the socket took it whole
    int ReadEveryMs = 100, Welcomes = 0, Changes = 0;
    bool Refused = false, Returning = false;  // Returning: logs in as a user it replaces
    std::string Port;                   // its address and port, as the server's log names it
    std::string Sender, Login;          // in its chat lines; its last login line's name
};

class ChatLoad : public ::testing::Test {
public:
    explicit ChatLoad(unsigned S) : Seed(S), Rng(S) {
        Server.OnLog = [this](const std::string& Line) {
            const std::size_t at = Line.find("127.0.0.1:");
            const std::string port = at == std::string::npos ? "" : Line.substr(at, Line.find(' ', at) - at);
            Lags[port] += Line.find(" lagging: ") != std::string::npos;
            LoginLines[port] += Line.find(" login") != std::string::npos ||
                                Line.find(" rename ") != std::string::npos;
        };
        Server.LagBytes = 32 << 10;
        Server.LagAfterMs = 1000;
        Server.MaxQueuedBytes = 1 << 20;
        Server.MaxTotalQueuedBytes = LongNames ? 2 << 20 : 4 << 20;
        Server.SendBufferBytes = 8 << 10;
        Server.WriteTimeoutMs = 3000;
        Server.MaxPerAddress = LongNames ? 32 : 6 + Roll(6);
        Server.LoginLogWindowMs = 2000;
        Server.Start("127.0.0.1", "0");
    }
    void TestBody() override {}

    int Roll(int N) { return static_cast<int>(Rng() % static_cast<unsigned>(N)); }
    std::vector<LoadPeer*> Live(bool Welcomed) {
        std::vector<LoadPeer*> out;
        for (auto& p : Peers)
            if (!p->Closed && !p->Ended && (!Welcomed || p->Welcomed)) out.push_back(p.get());
        return out;
    }

    void Connect(Reading Kind, const std::string& Name = "") {
        auto p = std::make_unique<LoadPeer>();
        p->Fd = peer::Connect(static_cast<uint16_t>(std::stoi(Server.BoundPort())));
        ASSERT_GE(p->Fd, 0);
        // What the system holds for a slow reader stays small, so that what the server puts ahead
        // shows in what the reader gets.
        if (Kind != Reading::Prompt) peer::SetReceiveBuffer(p->Fd, 8192);
        sockaddr_in local{};
        socklen_t len = sizeof local;
        ::getsockname(p->Fd, reinterpret_cast<sockaddr*>(&local), &len);
        p->Port = "127.0.0.1:" + std::to_string(ntohs(local.sin_port));
        p->Kind = Kind;
        p->ReadEveryMs = 10 + Roll(200);
        p->Returning = !Name.empty();
        p->Name = p->Returning ? Name : "P" + std::to_string(Peers.size()) + "-N" +
                                            std::string(LongNames ? 2500 + Roll(1000) : 0, 'n');
        p->Sender = "P" + std::to_string(Peers.size());  // short, and numbered anew when it returns
        p->Changes = Kind == Reading::Renamer;          // its first line in the loop renames
        p->Out = "~SC=" + (p->Login = p->Name) + "\r\n";
        Peers.push_back(std::move(p));
    }
    void Burst(LoadPeer& P, int Lines) {
        for (int i = 0; i < Lines; ++i)
            P.Out += "&<" + P.Sender + "><" + std::to_string(++P.Made) + " " +
                     std::string(static_cast<std::size_t>(Roll(400)), 'x') + ">\r\n";
    }
    // Phases of a flood-then-read client: it floods without reading for longer than the lag
    // time, then reads for a short while.
    static std::string Short(const LoadPeer& P) { return P.Sender; }
    static bool Paced(LoadPeer& P) {  // floods come every 20 ms
        return P.NextFlood.hasExpired() && (P.NextFlood.setRemainingTime(20), true);
    }
    bool CycleReads(LoadPeer& P) {
        const int64_t at = Clock.elapsed() % (Server.LagAfterMs * 7 / 5);
        if (at >= Server.LagAfterMs * 5 / 4) return true;
        if (P.Welcomed && Paced(P)) Burst(P, 5 + Roll(10));
        return false;
    }

    // Runs the server and every peer for a while, checking the invariants all the time.
    void Pump(int Ms) {
        QDeadlineTimer deadline(Ms);
        do {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            // Each login must show in a list that everyone welcomed gets soon after.
            const std::vector<std::string> users = Server.Users();
            for (const std::string& name : users)
                if (std::ranges::count(LastUsers, name) == 0)
                    for (LoadPeer* r : Live(true)) r->Due.emplace_back(name, r->ChatIn);
            LastUsers = users;
            for (LoadPeer* p : Live(false)) Service(*p);
            ASSERT_LE(Server.QueuedBytes(), Server.MaxTotalQueuedBytes + (64 << 10));
            ASSERT_LE(Server.ClientCount(), Server.MaxPerAddress + 2);
        } while (!deadline.hasExpired() && !HasFatalFailure());
    }

    void Service(LoadPeer& P) {
        if (P.Kind == Reading::Renamer && P.Welcomed && !P.Draining && Paced(P))
            for (int i = 0; i < 20; ++i) {  // mostly the same name again, sometimes a change
                const bool change = Roll(20) == 0;
                P.Changes += change;
                P.Out += "~SC=" + P.Name + (P.Changes % 2 ? "a" : "b") + "\r\n";
            }
        if (!P.Out.empty()) {
            const int n = peer::SendNow(P.Fd, P.Out);
            for (int i = 0; i < n; ++i) {
                if (std::exchange(P.AtLineStart, P.Out[static_cast<std::size_t>(i)] == '\n'))
                    P.InChat = P.Out[static_cast<std::size_t>(i)] == '&';
                P.Written += P.AtLineStart && P.InChat;
                if (P.AtLineStart && P.InChat) P.TakenMs.push_back(Clock.elapsed());
            }
            if (n > 0) P.Out.erase(0, static_cast<std::size_t>(n));
        }
        bool reads = P.Kind == Reading::Prompt || P.Fast || P.Draining ||
                     (P.Kind == Reading::Cycles && CycleReads(P));
        const bool slow = !reads && P.Kind != Reading::Never && P.Kind != Reading::Cycles;
        if (slow && P.NextRead.hasExpired()) {
            reads = true;  // up to 8 KiB at a time, at a random pace
            P.NextRead.setRemainingTime(P.ReadEveryMs);
        }
        for (int got = 1; reads && got > 0;) {
            const std::size_t before = P.In.size();
            got = peer::RecvNow(P.Fd, P.In);
            P.Ended = got == 0;
            P.BytesIn += P.In.size() - before;
            if (slow) break;
        }
        if (P.In.starts_with("\xFF\xFD")) P.In.erase(0, 18);  // the telnet negotiation
        for (std::size_t end; (end = P.In.find('\n')) != std::string::npos;) {
            const std::string line = P.In.substr(0, end + 1);
            P.In.erase(0, end + 1);
            Check(P, line);
        }
        if (P.Ended) {
            EXPECT_GT(P.BytesIn, 0u) << Short(P) << " closed without a word";
            EXPECT_TRUE(P.Refused || P.Kind != Reading::Prompt) << Short(P) << " was let go";
            EXPECT_FALSE(P.Refused && P.Returning) << Short(P) << " was kept out by its old connection";
        }
    }

    void Check(LoadPeer& R, const std::string& Line) {
        if (Line.starts_with("&<korvel-chatd><This server takes")) {
            R.Refused = true;
        } else if (Line.starts_with("*w")) {
            R.Welcomed = true;
            EXPECT_LE(++R.Welcomes, R.Changes + 1) << Short(R) << " was welcomed for no change";
            for (auto& s : Peers) R.Floor[s->Sender] = s->Written;
        } else if (Line.starts_with("~")) {
            // A login is shown by a list that names it, or past once the name is no longer used.
            const std::vector<std::string> users = Server.Users();
            const std::string entries = "," + Line.substr(1, Line.size() - 3) + ",";  // no CR LF
            std::erase_if(R.Due, [&](const auto& Login) {
                return entries.find("," + Login.first + ",") != std::string::npos ||
                       std::find(users.begin(), users.end(), Login.first) == users.end();
            });
        } else {
            const std::size_t close = Line.find('>');
            const std::string sender = Line.substr(2, close - 2);
            const int number = std::stoi(Line.substr(close + 2));
            const auto seen = R.Seen.find(sender);
            if (R.Kind == Reading::Prompt) {
                const LoadPeer& s = **std::ranges::find(Peers, sender, [](auto& p) { return p->Sender; });
                // ... promptly, unless its sender floods (logins, or over 100 lines in half a second).
                const int64_t taken = s.TakenMs.at(static_cast<std::size_t>(number));
                const bool floods = s.Kind == Reading::Renamer || s.TakenMs.begin() + number - std::ranges::lower_bound(s.TakenMs, taken - 500) > 100;
                EXPECT_TRUE(floods || Clock.elapsed() - taken <= MaxDelayMs)
                    << Short(R) << " got line " << number << " of " << Short(s) << " after " << Clock.elapsed() - taken << " ms";
                // A prompt reader gets every line, from the first its welcome could not precede.
                const int expected = seen != R.Seen.end() ? seen->second + 1 : R.Floor[sender] + 1;
                EXPECT_TRUE(seen != R.Seen.end() ? number == expected : number <= expected)
                    << Short(R) << " got line " << number << " of " << sender.substr(0, 8) << ", expected " << expected;
            } else if (seen != R.Seen.end()) {
                EXPECT_GT(number, seen->second) << Short(R) << ": lines of " << sender.substr(0, 8) << " out of order";
            }
            R.Seen[sender] = number;
            R.ChatIn += Line.size();
            // A new user list goes ahead of chat lines already waiting: only what the systems
            // on both ends hold and the bytes already handed on may come first.
            if (!R.Due.empty() && R.Kind == Reading::Slow && !R.Draining) {
                EXPECT_LE(R.ChatIn - R.Due.front().second, 160u << 10)
                    << Short(R) << ": the list with " << R.Due.front().first.substr(0, 8) << " comes late";
            }
        }
    }

    unsigned Seed = 0;
    std::mt19937 Rng;
    bool LongNames = Rng() % 3 == 0;  // many users with long names: lists of tens of KiB each
    std::map<std::string, int> Lags, LoginLines;  // by the client the server's log names
    TChatServer Server;
    QElapsedTimer Clock = [] { QElapsedTimer t; t.start(); return t; }();
    std::vector<std::unique_ptr<LoadPeer>> Peers;
    std::vector<std::string> LastUsers;
    void Run();
};

TEST(ChatLoadTest, PromptReadersGetEveryLinePromptlyListsGoFirstMemoryStaysBoundedNothingStalls) {
    for (uint32_t seed : SequenceSeeds(TestSeed(), 1)) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        ChatLoad(seed).Run();
        if (::testing::Test::HasFailure()) break;
    }
}

void ChatLoad::Run() {
    for (Reading kind : {Reading::Prompt, Reading::Prompt, Reading::Slow, Reading::Slow, Reading::Never,
                         Reading::Cycles, Reading::Renamer})
        Connect(kind);
    for (int i = 0; LongNames && i < 8; ++i) Connect(Reading::Prompt);
    for (int step = 0; step < 150 && !HasFatalFailure(); ++step) {
        const std::vector<LoadPeer*> talkers = Live(true);
        switch (Roll(8)) {
        case 0:
            if (Live(false).size() < 10) Connect(static_cast<Reading>(Roll(5)));
            break;
        case 1:
            if (!talkers.empty()) {
                LoadPeer* p = talkers[static_cast<std::size_t>(Roll(static_cast<int>(talkers.size())))];
                if (Roll(3) > 0 || p == Peers[0].get() || p == Peers[2].get()) {  // these stay
                    // A login under a new name: a new list for everyone (lines keep the old one).
                    if (p->Kind != Reading::Renamer && ++p->Changes)
                        p->Out += "~SC=" + (p->Login = p->Name + "r" + std::to_string(step)) + "\r\n";
                    break;
                }
                // It leaves with a close, a reset, or by vanishing to come back under its name.
                p->Closed = true;
                if (Roll(3) == 0 && p->Kind == Reading::Prompt) Connect(Reading::Prompt, p->Login);
                else Roll(2) ? peer::Close(p->Fd) : peer::Reset(p->Fd);
            }
            break;
        default:
            if (!talkers.empty())
                Burst(*talkers[static_cast<std::size_t>(Roll(static_cast<int>(talkers.size())))],
                      1 + Roll(120));
        }
        Pump(10 + Roll(40));
    }

    // A login while a slow reader has a long backlog: its next list still comes first. The
    // reader stops long enough for the server to stop waiting for it, so that the sender's
    // lines pile up for it, and speeds up only once the login is in.
    Peers[2]->NextRead.setRemainingTime(Server.LagAfterMs + 500);
    Burst(*Peers[0], 2000);
    Pump(Server.LagAfterMs + 500);
    const std::string last = Peers[0]->Name + "-last";
    Peers[0]->Out += "~SC=" + last + "\r\n";
    ++Peers[0]->Changes;
    const auto loggedIn = [&] { return std::ranges::count(Server.Users(), last) > 0; };
    for (int waited = 0; waited < 5000 && !loggedIn(); waited += 20) Pump(20);
    Peers[2]->Fast = true;
    Pump(2500);

    // Everyone who reads at all now reads everything. Prompt readers get every line, clients
    // that never read are let go within the write timeout, and a last line reaches everyone.
    for (LoadPeer* p : Live(false))
        if ((p->Draining = p->Kind != Reading::Prompt && p->Kind != Reading::Never))
            peer::SetReceiveBuffer(p->Fd, 1 << 20);
    Burst(*Peers[0], 300);
    const auto settled = [&](bool Everyone) {
        int nevers = 0;
        for (LoadPeer* p : Live(false)) nevers += p->Kind == Reading::Never;
        for (LoadPeer* r : Live(true))
            for (LoadPeer* s : Live(true))
                if ((r->Kind == Reading::Prompt || (Everyone && r->Kind == Reading::Slow)) &&
                    (!s->Out.empty() || (s->Written > r->Floor[s->Sender] && r->Seen[s->Sender] != s->Written)))
                    return false;
        return Server.ClientCount() == static_cast<int>(Live(false).size()) - nevers;
    };
    for (int waited = 0; waited < 15000 && !settled(false); waited += 100) Pump(100);
    ASSERT_TRUE(settled(false)) << "a prompt reader misses lines, or a silent client stays";
    for (LoadPeer* p : Live(true))
        if (p->Kind != Reading::Never) Burst(*p, 1);
    for (int waited = 0; waited < 5000 && !settled(true); waited += 100) Pump(100);
    EXPECT_TRUE(settled(true)) << "the last lines did not reach every reader";
    for (int waited = 0; waited < 2000 && Server.QueuedBytes() > 0; waited += 20) Pump(20);
    EXPECT_EQ(Server.QueuedBytes(), 0u) << "bytes counted that wait for nobody";
    for (auto& p : Peers) {
        // Its own flood-then-read cycles do not clear its lag mark (a busy machine may slow its
        // flood enough for it to catch up once), and repeated logins are summarised in the log.
        EXPECT_LE(Lags[p->Port], p->Kind == Reading::Cycles ? 2 : 99) << Short(*p) << " lags again and again";
        EXPECT_LE(LoginLines[p->Port], 4 * (1 + Clock.elapsed() / Server.LoginLogWindowMs)) << p->Name;
        peer::Close(p->Fd);  // also the vanished ones
    }
}

}  // namespace
