#include "chat_server.h"

#include "chat_lines.h"
#include "line_wsocket.h"
#include "log_sink.h"
#include "telnet_filter.h"

#include <QDateTime>

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace {

// What a telnet server says first: it asks for the terminal type (and asks to be sent it at
// once), offers to echo and to suppress go-ahead, and asks for the client's location.
const std::string Negotiation = [] {
    using namespace telnet;
    const uint8_t bytes[] = {IAC, DO,   TERMINAL_TYPE, IAC,  SB,   TERMINAL_TYPE,
                             SEND, IAC, SE,            IAC,  WILL, ECHO,
                             IAC,  WILL, SUPPRESS_GO_AHEAD, IAC, DO, SEND_LOCATION};
    return std::string(reinterpret_cast<const char*>(bytes), sizeof bytes);
}();

const std::string Welcome = "*wWelcome to the local chat server\r\n";

// Tells a client why its line went nowhere, as a chat line so that its window shows it.
std::string RefusalLine(std::size_t Length) {
    return "&<korvel-chatd><Your line of " + std::to_string(Length) +
           " bytes was not relayed: a line may hold at most " +
           std::to_string(TLineSplitter::MaxLine) + " bytes.>\r\n";
}

// The most bytes handed to a client's socket at a time. What arrives for the client meanwhile
// (a user list) waits at most behind this much, and it holds whole chat lines, which are at
// most twice TLineSplitter::MaxLine once their bytes 255 are doubled.
constexpr std::size_t ChunkBytes = 16 << 10;
static_assert(ChunkBytes > 2 * (TLineSplitter::MaxLine + 2));

// Keepalive: an idle connection is probed after a minute, every 10 s, and given up after six
// probes without an answer, so that a client that vanished without a word leaves in minutes.
constexpr int KeepIdleSeconds = 60, KeepIntervalSeconds = 10, KeepProbes = 6;

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void SetOption(winsock::SOCKET Handle, int Level, int Name, int Value) {
    winsock::setsockopt(Handle, Level, Name, reinterpret_cast<const char*>(&Value), sizeof Value);
}

// Exception texts of the socket layer hold CR LF; a log line must not.
std::string OneLine(const char* Text) {
    std::string out = Text;
    std::replace(out.begin(), out.end(), '\r', ' ');
    std::replace(out.begin(), out.end(), '\n', ' ');
    return out;
}

}  // namespace

// The send chain of a client's socket in blocks that take a whole chunk (and a user list ahead
// of it), so that each chunk leaves in one system call rather than one per 1460 bytes.
class TChatSocket final : public TWSocket {
public:
    explicit TChatSocket(QObject* Owner) : TWSocket(Owner) { BlockSize = 2 * ChunkBytes; }
};

// One connected client: its socket, what it has sent so far, and what waits to go to it.
class TChatClient : public QObject {
public:
    using QObject::QObject;

    TWSocket* Socket = new TChatSocket(this);
    std::string Peer;  // address:port, for the log
    winsock::u_long PeerIp = 0;
    TTelnetFilter Telnet;
    TLineSplitter Lines;

    // What waits, in the order it leaves: telnet commands and welcomes, the newest user list,
    // chat lines (Chat from ChatHead on; the bytes before it are sent).
    std::string Control;
    std::shared_ptr<const std::string> List;
    std::string Chat;
    std::size_t ChatHead = 0;
    std::size_t InFlight = 0;  // handed to the socket and not yet all sent
    std::size_t Queued() const {
        return Control.size() + (List ? List->size() : 0) + Chat.size() - ChatHead + InFlight;
    }

    bool Dirty = false;         // in the server's list of clients with bytes to hand on
    bool ReadDeferred = false;  // in the server's list of clients to read once it reads again
    bool Holding = false;       // keeps up, and has more than HoldBytes waiting
    bool Lagging = false;       // had more than HoldBytes waiting for too long
    bool DropLogged = false;
    int64_t HoldingSince = 0;
    int64_t LastProgress = 0;  // when its socket last took bytes, or its queue last filled

    bool LoggedIn = false;
    std::string Name;
    bool Gone = false;  // departed; the object is deleted from the event loop
};

TChatServer::TChatServer(QObject* Owner) : QObject(Owner) {
    StdoutLog = std::make_unique<TLogSink>(1);  // descriptor 1: standard output
    OnLog = [this](const std::string& Line) { StdoutLog->Write(Line); };
    FlushTimer.setSingleShot(true);
    connect(&FlushTimer, &QTimer::timeout, this, [this] { Flush(); });
    ListTimer.setSingleShot(true);
    connect(&ListTimer, &QTimer::timeout, this, [this] { BroadcastUserList(); });
    connect(&SweepTimer, &QTimer::timeout, this, [this] { Sweep(); });
}

TChatServer::~TChatServer() { Stop(); }

void TChatServer::Start(const std::string& Host, const std::string& Port) {
    Stop();
    Listener = new TWSocket(this);
    Listener->OnSessionAvailable = [this](QObject*, uint16_t) { AcceptClient(); };
    try {
        Listener->SetProto("tcp");
        Listener->SetAddr(Host);
        Listener->SetPort(Port);
        // Connections that arrive together wait for the accept instead of being dropped and
        // retried by their senders a second later.
        Listener->SetListenBacklog(ListenBacklog);
        Listener->Listen();
    } catch (...) {
        delete Listener;
        Listener = nullptr;
        throw;
    }
    ListenAddr = Listener->GetBoundAddr();
    ListenPort = Listener->GetBoundPort();
    SweepTimer.start(std::clamp(LagAfterMs / 4, 10, 250));
    Log(nullptr, "listening on " + ListenAddr + ":" + ListenPort);
}

void TChatServer::Stop() {
    for (TChatClient* c : Clients) {
        c->Gone = true;
        Log(c, "disconnect (server stopping)");
        delete c;  // the socket goes with it, closing without raising events
    }
    Clients.clear();
    Members.clear();
    Dirty.clear();
    Deferred.clear();
    ListTimer.stop();
    TotalQueued = 0;
    Holding = 0;
    FlushTimer.stop();
    SweepTimer.stop();
    if (Listener) {
        delete Listener;
        Listener = nullptr;
        Log(nullptr, "stopped");
    }
}

std::string TChatServer::BoundAddr() const { return ListenAddr; }
std::string TChatServer::BoundPort() const { return ListenPort; }

std::vector<std::string> TChatServer::Users() const {
    std::vector<std::string> names;
    for (const TChatClient* m : Members) names.push_back(m->Name);
    return names;
}

// --- Arrivals and departures -----------------------------------------------------------------

void TChatServer::AcceptClient() {
    winsock::SOCKET handle = winsock::INVALID_SOCKET;
    try {
        handle = Listener->Accept();
    } catch (const std::exception& E) {
        // Typically out of descriptors. The waiting connection keeps the listener readable, so
        // notifications stop for a second instead of spinning on the same failure.
        Log(nullptr, std::string("accept failed: ") + OneLine(E.what()));
        Listener->Pause();
        QTimer::singleShot(1000, this, [this] {
            if (Listener && Listener->State() == wsListening) Listener->Resume();
        });
        return;
    }
    if (handle == winsock::INVALID_SOCKET) return;

    winsock::sockaddr_in peer{};
    int peerLen = sizeof peer;
    std::string peerText = "?";
    if (winsock::getpeername(handle, reinterpret_cast<winsock::sockaddr*>(&peer), &peerLen) == 0)
        peerText = std::string(winsock::inet_ntoa(peer.sin_addr)) + ":" +
                   std::to_string(winsock::ntohs(peer.sin_port));
    const auto sameAddress = std::count_if(Clients.begin(), Clients.end(), [&](TChatClient* c) {
        return c->PeerIp == peer.sin_addr.s_addr;
    });
    if (MaxPerAddress > 0 && sameAddress >= MaxPerAddress) {
        // Closed before a byte is sent: the client takes it as a refusal, not as a lost line.
        Log(peerText, "refused: " + std::to_string(sameAddress) +
                          " connections from this address already");
        winsock::closesocket(handle);
        return;
    }

    // Every message is small and must leave at once, never held back to be joined with the
    // next one.
    SetOption(handle, winsock::IPPROTO_TCP, winsock::TCP_NODELAY, 1);
    SetOption(handle, winsock::SOL_SOCKET, winsock::SO_SNDBUF, SendBufferBytes);
    SetOption(handle, winsock::SOL_SOCKET, winsock::SO_KEEPALIVE, 1);
    SetOption(handle, winsock::IPPROTO_TCP, winsock::TCP_KEEPIDLE, KeepIdleSeconds);
    SetOption(handle, winsock::IPPROTO_TCP, winsock::TCP_KEEPINTVL, KeepIntervalSeconds);
    SetOption(handle, winsock::IPPROTO_TCP, winsock::TCP_KEEPCNT, KeepProbes);

    auto* c = new TChatClient(this);
    try {
        c->Socket->Dup(handle);
    } catch (const std::exception& E) {
        Log(nullptr, std::string("cannot take a connection over: ") + OneLine(E.what()));
        if (c->Socket->State() == wsClosed) winsock::closesocket(handle);
        delete c;
        return;
    }
    c->Peer = peerText;
    c->PeerIp = peer.sin_addr.s_addr;
    c->Socket->OnDataAvailable = [this, c](QObject*, uint16_t) { ReadFrom(c); };
    c->Socket->OnSendData = [c](QObject*, int) { c->LastProgress = NowMs(); };
    c->Socket->OnDataSent = [this, c](QObject*, uint16_t) { Sent(c); };
    c->Socket->OnSessionClosed = [this, c](QObject*, uint16_t Error) {
        Depart(c, Error == 0 ? "closed by the client" : "lost, error " + std::to_string(Error));
    };
    Clients.push_back(c);
    Log(c, "connect");
    QueueControl(c, Negotiation);
}

void TChatServer::Depart(TChatClient* C, const std::string& Why) {
    if (C->Gone) return;
    const std::size_t queued = C->Queued();
    C->Gone = true;
    C->Control.clear();
    C->List.reset();
    C->Chat.clear();
    C->ChatHead = C->InFlight = 0;
    Requeued(C, queued);
    std::erase(Dirty, C);
    std::erase(Deferred, C);
    Clients.erase(std::find(Clients.begin(), Clients.end(), C));
    if (C->LoggedIn) Logout(C, " (connection ended)");
    if (C->Lines.Pending() > 0)
        Log(C, "dropped an unfinished line (" + std::to_string(C->Lines.Pending()) + " bytes)");
    if (C->Telnet.Pending() > 0)
        Log(C, "dropped an unfinished telnet command (" + std::to_string(C->Telnet.Pending()) +
                   " bytes)");
    Log(C, "disconnect (" + Why + ")");
    if (C->Socket->State() != wsClosed) {
        try {
            C->Socket->Close();  // raises OnSessionClosed once more, which finds C gone
        } catch (...) {
        }
    }
    // This may run inside one of the socket's own handlers, which must not free it.
    C->deleteLater();
}

// --- Receiving --------------------------------------------------------------------------------

void TChatServer::ReadFrom(TChatClient* C) {
    if (C->Gone) return;
    if (Holding > 0) {
        // A client that keeps up has too much waiting: what senders send stays with the system
        // (and TCP slows them down) until it has caught up or is found lagging.
        if (!C->ReadDeferred) {
            C->ReadDeferred = true;
            Deferred.push_back(C);
        }
        return;
    }
    char buffer[16384];
    const int n = C->Socket->Receive(buffer, sizeof buffer);
    if (n == 0) return;  // the end of the stream: the close event follows
    if (n < 0) {
        const int error = C->Socket->LastError();
        if (error != winsock::WSAEWOULDBLOCK)
            Depart(C, "receive failed, error " + std::to_string(error));
        return;
    }

    std::string data;
    std::vector<TTelnetItem> items;
    C->Telnet.Feed(std::string_view(buffer, static_cast<std::size_t>(n)), data, items);
    for (const TTelnetItem& t : items) LogTelnet(C, t);

    std::vector<TSplitLine> lines;
    C->Lines.Feed(data, lines);
    for (const TSplitLine& line : lines) {
        if (C->Gone) break;  // made room for a line by disconnecting its sender
        if (line.Kind == TSplitLine::TKind::Overlong) {
            Log(C, "dropped an over-long line (" + std::to_string(line.Length) + " bytes)");
            RelayPending();
            QueueChat(C, RefusalLine(line.Length));
        } else {
            HandleLine(C, line.Bytes, line.Length);
        }
    }
    RelayPending();
}

// The chat lines of one read go to everyone together: one queueing per member, not one per line.
void TChatServer::RelayPending() {
    if (Relaying.empty()) return;
    const std::string lines = std::exchange(Relaying, {});
    for (TChatClient* m : std::vector<TChatClient*>(Members)) QueueChat(m, lines);
}
void TChatServer::LogTelnet(TChatClient* C, const TTelnetItem& Item) {
    const std::string option = std::to_string(Item.Code);
    switch (Item.Kind) {
    case TTelnetItem::TKind::Subnegotiation:
        if (Item.Code == telnet::TERMINAL_TYPE && !Item.Payload.empty() &&
            Item.Payload[0] == telnet::IS)
            Log(C, "terminal type " + Printable(std::string_view(Item.Payload).substr(1)));
        else if (Item.Code == telnet::SEND_LOCATION)
            Log(C, "location " + Printable(Item.Payload));
        else
            Log(C, "ignored a subnegotiation for option " + option);
        return;
    case TTelnetItem::TKind::Abandoned:
        Log(C, "dropped an unfinished subnegotiation for option " + option + " (" +
                   std::to_string(Item.Dropped) + " bytes)");
        return;
    case TTelnetItem::TKind::Command:
        Log(C, "ignored telnet command " + option);
        return;
    }
}

void TChatServer::HandleLine(TChatClient* C, const std::string& Line, std::size_t Length) {
    const std::string_view content(Line.data(), Length);
    const TClientLine parsed = ClassifyLine(content);
    // Whatever else the line does, it comes after the chat lines before it.
    if (parsed.Kind != TClientLineKind::Chat) RelayPending();
    switch (parsed.Kind) {
    case TClientLineKind::Login:
        Login(C, parsed.Name);
        return;
    case TClientLineKind::Exit:
        if (C->LoggedIn)
            Logout(C, "");
        else
            Log(C, "dropped an exit line: not logged in");
        return;
    case TClientLineKind::Chat: {
        if (!C->LoggedIn) {
            Log(C, "dropped a chat line (" + std::to_string(Line.size()) + " bytes): not logged in");
            return;
        }
        // Relayed as received, line end included, to everyone logged in, the sender too.
        Relaying += EscapeIac(Line);
        Log(C, "chat relayed (" + std::to_string(Line.size()) + " bytes) from " +
                   Printable(C->Name) + " to " + std::to_string(Members.size()) + " users");
        return;
    }
    case TClientLineKind::Other:
        Log(C, "dropped a line (" + std::to_string(Length) + " bytes): " + Printable(content));
        return;
    }
}

void TChatServer::Login(TChatClient* C, std::string_view Name) {
    // Clients read the user list as a zero-terminated text: a NUL in one name would cut every
    // user's list short there.
    if (Name.empty() || Name.find('\0') != std::string_view::npos) {
        Log(C, "dropped a login line: " +
                   std::string(Name.empty() ? "no name" : "the name holds a NUL byte"));
        return;
    }
    if (C->LoggedIn) {
        Log(C, "rename " + Printable(C->Name) + " to " + Printable(Name));
    } else {
        C->LoggedIn = true;
        Members.push_back(C);
        Log(C, "login " + Printable(Name));
    }
    C->Name = std::string(Name);
    QueueControl(C, Welcome);
    UserListChanged();
}

void TChatServer::Logout(TChatClient* C, const char* Note) {
    Members.erase(std::find(Members.begin(), Members.end(), C));
    C->LoggedIn = false;
    Log(C, "logout " + Printable(C->Name) + Note);
    C->Name.clear();
    UserListChanged();
}

// --- Queueing --------------------------------------------------------------------------------

void TChatServer::QueueControl(TChatClient* C, std::string_view Bytes) {
    const std::size_t before = C->Queued();
    C->Control += Bytes;
    Requeued(C, before);
    MarkDirty(C);
}

void TChatServer::QueueChat(TChatClient* C, std::string_view Escaped) {
    if (C->Gone) return;
    const std::size_t before = C->Queued();
    if (before + Escaped.size() > MaxQueuedBytes) {
        // Only a lagging client gets here: one that keeps up holds the server back first.
        if (!C->DropLogged)
            Log(C, "dropping messages: " + std::to_string(before) +
                       " bytes already wait for the client");
        C->DropLogged = true;
        return;
    }
    if (!MakeRoom(Escaped.size(), C)) return;
    C->Chat += Escaped;
    Requeued(C, before);
    MarkDirty(C);
}

// Disconnects the clients with the most waiting until Bytes more fit under the overall bound;
// false when that took For itself.
bool TChatServer::MakeRoom(std::size_t Bytes, const TChatClient* For) {
    while (TotalQueued + Bytes > MaxTotalQueuedBytes) {
        const auto slowest = std::max_element(
            Clients.begin(), Clients.end(),
            [](const TChatClient* a, const TChatClient* b) { return a->Queued() < b->Queued(); });
        if (slowest == Clients.end() || (*slowest)->Queued() == 0) break;
        Depart(*slowest, "reads too slowly: " + std::to_string((*slowest)->Queued()) +
                             " bytes wait for it, " + std::to_string(TotalQueued) +
                             " for all clients");
    }
    return !For->Gone;
}

// Brings the totals and the hold up to date after C's waiting bytes changed from Before.
void TChatServer::Requeued(TChatClient* C, std::size_t Before) {
    const std::size_t after = C->Queued();
    TotalQueued = TotalQueued - Before + after;
    if (Before == 0 && after > 0) C->LastProgress = NowMs();
    if (after == 0) C->Lagging = C->DropLogged = false;
    const bool holding = !C->Gone && !C->Lagging && after > HoldBytes;
    if (holding == C->Holding) return;
    C->Holding = holding;
    if (holding) {
        ++Holding;
        C->HoldingSince = NowMs();
    } else if (--Holding == 0 && !Deferred.empty() && !FlushTimer.isActive()) {
        FlushTimer.start(0);  // reads what waited
    }
}

void TChatServer::MarkDirty(TChatClient* C) {
    if (!C->Dirty) {
        C->Dirty = true;
        Dirty.push_back(C);
    }
    if (!FlushTimer.isActive()) FlushTimer.start(0);
}

// --- Sending ---------------------------------------------------------------------------------

// Lists grow with the users and go to every user, so their bytes grow with the square of the
// users: when many log in or out at once, one list covers several changes. The next list comes
// at the earliest a millisecond per member after the last; a list never waits behind chat lines
// (see SendChunk).
void TChatServer::UserListChanged() {
    if (ListTimer.isActive()) return;
    const int64_t interval = static_cast<int64_t>(Members.size());
    ListTimer.start(static_cast<int>(std::clamp<int64_t>(LastListMs + interval - NowMs(), 0, interval)));
}

void TChatServer::BroadcastUserList() {
    LastListMs = NowMs();
    const auto list = std::make_shared<const std::string>(EscapeIac(UserListLine(Users())));
    for (TChatClient* m : Members) {
        const std::size_t before = m->Queued();
        m->List = list;  // an older one not yet sent is replaced
        Requeued(m, before);
        MarkDirty(m);
    }
}

// Runs once per turn of the event loop in which something was queued: one send per client, and
// the reads that waited for the server to catch up.
void TChatServer::Flush() {
    for (TChatClient* c : std::exchange(Dirty, {})) {
        c->Dirty = false;
        SendChunk(c);  // clients it disconnects are still there, marked Gone, until the loop
    }
    if (Holding == 0)
        for (TChatClient* c : std::exchange(Deferred, {})) {
            c->ReadDeferred = false;
            ReadFrom(c);  // the read asks the system to report the rest
        }
}

void TChatServer::SendChunk(TChatClient* C) {
    if (C->Gone || C->InFlight > 0) return;
    std::size_t n = C->Chat.size() - C->ChatHead;
    if (n > ChunkBytes) {
        // Whole lines only, so that whatever goes ahead next starts a line of its own.
        const std::size_t end = C->Chat.rfind('\n', C->ChatHead + ChunkBytes - 1);
        if (end != std::string::npos && end >= C->ChatHead) n = end + 1 - C->ChatHead;
    }
    // Chat lines alone, the usual case, go from where they wait; the socket copies them.
    std::string chunk;
    std::string_view bytes(C->Chat.data() + C->ChatHead, n);
    if (!C->Control.empty() || C->List) {
        chunk = std::exchange(C->Control, {});
        if (C->List) chunk += *std::exchange(C->List, nullptr);
        chunk += bytes;
        bytes = chunk;
    }
    if (bytes.empty()) return;
    C->ChatHead += n;
    C->InFlight = bytes.size();  // moved, not added: the total stays
    try {
        C->Socket->Send(bytes.data(), static_cast<int>(bytes.size()));
    } catch (const std::exception& E) {
        Depart(C, std::string("send failed: ") + OneLine(E.what()));
    }
    if (C->Gone) return;
    if (C->ChatHead == C->Chat.size()) {
        C->Chat.clear();
        C->ChatHead = 0;
        if (C->Chat.capacity() > 4 * ChunkBytes) C->Chat.shrink_to_fit();  // after a burst
    } else if (C->ChatHead >= 4 * ChunkBytes && 2 * C->ChatHead >= C->Chat.size()) {
        C->Chat.erase(0, C->ChatHead);
        C->ChatHead = 0;
    }
}

// The socket has sent everything it was given (or is ready for its first bytes).
void TChatServer::Sent(TChatClient* C) {
    if (C->Gone) return;
    const std::size_t before = C->Queued();
    C->InFlight = 0;
    C->LastProgress = NowMs();
    Requeued(C, before);
    SendChunk(C);
}

void TChatServer::Sweep() {
    const int64_t now = NowMs();
    for (TChatClient* c : std::vector<TChatClient*>(Clients)) {
        if (c->Gone) continue;
        if (c->Queued() > 0 && now - c->LastProgress >= WriteTimeoutMs) {
            Depart(c, "write timeout: " + std::to_string(c->Queued()) + " bytes did not move for " +
                          std::to_string(WriteTimeoutMs / 1000) + " s");
        } else if (c->Holding && now - c->HoldingSince >= LagAfterMs) {
            c->Lagging = true;
            Log(c, "lagging: " + std::to_string(c->Queued()) +
                       " bytes wait for the client; the others no longer wait for it");
            Requeued(c, c->Queued());
        }
    }
}

void TChatServer::Log(const TChatClient* C, const std::string& Text) {
    Log(C ? C->Peer : std::string("-"), Text);
}

void TChatServer::Log(const std::string& Peer, const std::string& Text) {
    if (!OnLog) return;
    // The local time is worked out once a second: it reads the system's time zone each time,
    // which would cost more than the relaying of a chat line.
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (now / 1000 != StampSecond) {
        StampSecond = now / 1000;
        StampText = QDateTime::fromSecsSinceEpoch(StampSecond).toString("yyyy-MM-dd hh:mm:ss").toStdString();
    }
    char millis[8];
    std::snprintf(millis, sizeof millis, ".%03d ", static_cast<int>(now % 1000));
    OnLog(StampText + millis + Peer + " " + Text);
}

