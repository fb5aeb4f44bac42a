// The chat server under random load: clients connect, log in, send bursts, read promptly,
// slowly or never, and leave. The seed is printed on failure; KORVEL_SEED replays one.
#include "chat_server.h"

#include "event_loop.h"
#include "posix_peer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <map>
#include <memory>
#include <random>

namespace {

enum class Reading { Prompt, Slow, Never };

struct LoadPeer {
    int Fd = -1;
    Reading Kind = Reading::Prompt;
    std::string Name;
    bool Welcomed = false, Ended = false, Closed = false, InChat = false, AtLineStart = true;
    bool Fast = false, Draining = false;  // a slow reader that reads all it can (and more)
    std::string Out, In;                // not yet taken by the socket; not yet a whole line
    int Made = 0, Written = 0;          // chat lines made; chat lines the socket took whole
    QDeadlineTimer NextRead{0};
    std::size_t BytesIn = 0, ChatIn = 0;
    std::deque<std::pair<std::string, std::size_t>> Due;  // logins no list showed yet: name, ChatIn
    std::map<std::string, int> Seen;    // sender: the last line number received from it
    std::map<std::string, int> Floor;   // sender: lines it had written when the welcome came
};

class ChatLoadTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* fixed = std::getenv("KORVEL_SEED");
        Seed = fixed ? static_cast<unsigned>(std::stoul(fixed)) : std::random_device{}();
        Rng.seed(Seed);
        Server.OnLog = [this](const std::string& Line) {
            if (Line.find(" login ") != std::string::npos || Line.find(" rename ") != std::string::npos) {
                NewLogins.push_back(Line.substr(Line.rfind(' ') + 1));  // the name is the last word
            }
            if (Line.find(" refused: ") != std::string::npos) ++Refusals;
        };
        Server.HoldBytes = 32 << 10;
        Server.LagAfterMs = 1000;
        Server.MaxQueuedBytes = 1 << 20;
        Server.MaxTotalQueuedBytes = 4 << 20;
        Server.SendBufferBytes = 8 << 10;
        Server.WriteTimeoutMs = 3000;
        Server.MaxPerAddress = 8;
        Server.Start("127.0.0.1", "0");
    }

    int Roll(int N) { return static_cast<int>(Rng() % static_cast<unsigned>(N)); }
    std::vector<LoadPeer*> Live(bool Welcomed) {
        std::vector<LoadPeer*> out;
        for (auto& p : Peers)
            if (!p->Closed && !p->Ended && (!Welcomed || p->Welcomed)) out.push_back(p.get());
        return out;
    }

    void Connect(Reading Kind) {
        auto p = std::make_unique<LoadPeer>();
        p->Fd = peer::Connect(static_cast<uint16_t>(std::stoi(Server.BoundPort())));
        ASSERT_GE(p->Fd, 0);
        // What the system holds for a slow reader stays small, so that what the server puts ahead
        // shows in what the reader gets.
        if (Kind != Reading::Prompt) peer::SetReceiveBuffer(p->Fd, 8192);
        p->Kind = Kind;
        p->Name = "P" + std::to_string(Peers.size()) + "-N";
        p->Out = "~SC=" + p->Name + "\r\n";
        Peers.push_back(std::move(p));
    }
    void Burst(LoadPeer& P, int Lines) {
        for (int i = 0; i < Lines; ++i)
            P.Out += "&<" + P.Name + "><" + std::to_string(++P.Made) + " " +
                     std::string(static_cast<std::size_t>(Roll(400)), 'x') + ">\r\n";
    }

    // Runs the server and every peer for a while, checking the invariants all the time.
    void Pump(int Ms) {
        QDeadlineTimer deadline(Ms);
        do {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            // Each login must show in a list that everyone welcomed gets soon after.
            for (const std::string& name : std::exchange(NewLogins, {}))
                for (LoadPeer* r : Live(true)) r->Due.emplace_back(name, r->ChatIn);
            for (LoadPeer* p : Live(false)) Service(*p);
            ASSERT_LE(Server.QueuedBytes(), Server.MaxTotalQueuedBytes + (64 << 10));
            ASSERT_LE(Server.ClientCount(), Server.MaxPerAddress);
        } while (!deadline.hasExpired() && !HasFatalFailure());
    }

    void Service(LoadPeer& P) {
        if (!P.Out.empty()) {
            const int n = peer::SendNow(P.Fd, P.Out);
            for (int i = 0; i < n; ++i) {
                if (std::exchange(P.AtLineStart, P.Out[static_cast<std::size_t>(i)] == '\n'))
                    P.InChat = P.Out[static_cast<std::size_t>(i)] == '&';
                P.Written += P.AtLineStart && P.InChat;
            }
            if (n > 0) P.Out.erase(0, static_cast<std::size_t>(n));
        }
        bool reads = P.Kind == Reading::Prompt || P.Fast || P.Draining;
        if (P.Kind == Reading::Slow && !reads && P.NextRead.hasExpired()) {
            reads = true;  // some 80 KiB a second
            P.NextRead.setRemainingTime(100);
        }
        for (int got = 1; reads && got > 0;) {
            const std::size_t before = P.In.size();
            got = peer::RecvNow(P.Fd, P.In);
            P.Ended = got == 0;
            P.BytesIn += P.In.size() - before;
            if (P.Kind == Reading::Slow && !P.Fast && !P.Draining) break;
        }
        if (P.Ended) {
            EXPECT_TRUE(P.BytesIn > 0 || Refusals > 0) << P.Name << " closed without a word";
            EXPECT_TRUE(P.BytesIn == 0 || P.Kind != Reading::Prompt) << P.Name << " was let go";
        }
        if (P.In.starts_with("\xFF\xFD")) P.In.erase(0, 18);  // the telnet negotiation
        for (std::size_t end; (end = P.In.find('\n')) != std::string::npos;) {
            const std::string line = P.In.substr(0, end + 1);
            P.In.erase(0, end + 1);
            Check(P, line);
        }
    }

    void Check(LoadPeer& R, const std::string& Line) {
        if (Line.starts_with("*w")) {
            R.Welcomed = true;
            for (auto& s : Peers) R.Floor[s->Name] = s->Written;
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
                // A prompt reader gets every line, from the first its welcome could not precede.
                const int expected = seen != R.Seen.end() ? seen->second + 1 : R.Floor[sender] + 1;
                EXPECT_TRUE(seen != R.Seen.end() ? number == expected : number <= expected)
                    << R.Name << " got line " << number << " of " << sender << ", expected " << expected;
            } else if (seen != R.Seen.end()) {
                EXPECT_GT(number, seen->second) << R.Name << ": lines of " << sender << " out of order";
            }
            R.Seen[sender] = number;
            R.ChatIn += Line.size();
            // A new user list goes ahead of chat lines already waiting: only what the systems
            // on both ends hold and the bytes already handed on may come first.
            if (!R.Due.empty() && R.Kind == Reading::Slow && !R.Draining) {
                EXPECT_LE(R.ChatIn - R.Due.front().second, 160u << 10)
                    << R.Name << ": the list with " << R.Due.front().first << " comes late";
            }
        }
    }

    TChatServer Server;
    unsigned Seed = 0;
    std::mt19937 Rng;
    std::vector<std::unique_ptr<LoadPeer>> Peers;
    std::vector<std::string> NewLogins;  // logged since the last look
    int Refusals = 0;
};

TEST_F(ChatLoadTest, PromptReadersGetEveryLineListsGoFirstMemoryStaysBoundedNothingStalls) {
    SCOPED_TRACE("seed " + std::to_string(Seed));
    for (Reading kind : {Reading::Prompt, Reading::Prompt, Reading::Slow, Reading::Slow, Reading::Never})
        Connect(kind);
    for (int step = 0; step < 150 && !HasFatalFailure(); ++step) {
        const std::vector<LoadPeer*> talkers = Live(true);
        switch (Roll(8)) {
        case 0:
            if (Live(false).size() < 10) Connect(Roll(2) ? Reading::Prompt : Roll(2) ? Reading::Slow : Reading::Never);
            break;
        case 1:
            if (!talkers.empty()) {
                LoadPeer* p = talkers[static_cast<std::size_t>(Roll(static_cast<int>(talkers.size())))];
                if (Roll(3) > 0 || p == Peers[0].get() || p == Peers[2].get()) {  // these stay
                    // A login under a new name: a new list for everyone (lines keep the old one).
                    p->Out += "~SC=" + p->Name + "r" + std::to_string(step) + "\r\n";
                    break;
                }
                Roll(2) ? peer::Close(p->Fd) : peer::Reset(p->Fd);
                p->Closed = true;
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
    const auto loggedIn = [&] { return std::ranges::count(Server.Users(), last) > 0; };
    for (int waited = 0; waited < 5000 && !loggedIn(); waited += 20) Pump(20);
    Peers[2]->Fast = true;
    Pump(2500);

    // Everyone who reads at all now reads everything. Prompt readers get every line, clients
    // that never read are let go within the write timeout, and a last line reaches everyone.
    for (LoadPeer* p : Live(false))
        if ((p->Draining = p->Kind == Reading::Slow)) peer::SetReceiveBuffer(p->Fd, 1 << 20);
    Burst(*Peers[0], 300);
    const auto settled = [&](bool Everyone) {
        int nevers = 0;
        for (LoadPeer* p : Live(false)) nevers += p->Kind == Reading::Never;
        for (LoadPeer* r : Live(true))
            for (LoadPeer* s : Live(true))
                if ((r->Kind == Reading::Prompt || (Everyone && r->Kind == Reading::Slow)) &&
                    (!s->Out.empty() || (s->Written > r->Floor[s->Name] && r->Seen[s->Name] != s->Written)))
                    return false;
        return Server.ClientCount() == static_cast<int>(Live(false).size()) - nevers;
    };
    for (int waited = 0; waited < 15000 && !settled(false); waited += 100) Pump(100);
    ASSERT_TRUE(settled(false)) << "a prompt reader misses lines, or a silent client stays";
    for (LoadPeer* p : Live(true))
        if (p->Kind != Reading::Never) Burst(*p, 1);
    for (int waited = 0; waited < 5000 && !settled(true); waited += 100) Pump(100);
    EXPECT_TRUE(settled(true)) << "the last lines did not reach every reader";
    for (auto& p : Peers)
        if (!p->Closed) peer::Close(p->Fd);
}

}  // namespace
