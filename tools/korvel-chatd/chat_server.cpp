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

// Tells a connection beyond the per-address limit why it is closed, as a chat line too: a client
// shows it before it reports the closed connection.
std::string AddressFullLine(int Limit) {
    return "&<korvel-chatd><This server takes at most " + std::to_string(Limit) +
           " connections from one address, and your address has them all. Close one and connect "
           "again.>\r\n";
}

// Telnet commands and welcomes for one client: the negotiation once and at most one welcome
// wait at a time, so this is never reached by a well-behaved server; it bounds the queue anyway.
constexpr std::size_t MaxControlBytes = 4 << 10;

// Login lines of one client logged one by one in each window before the rest are summarised.
constexpr int LoginLinesPerWindow = 3;

// The most bytes handed to a client's socket at a time. What arrives for the client meanwhile
// (a user list) waits at most behind this much, and it holds whole chat lines, which are at
// most twice TLineSplitter::MaxLine once their bytes 255 are doubled.
constexpr std::size_t ChunkBytes = 16 << 10;
constexpr int MaxChunksPerTurn = 8;

// A client that has sent more than this since the last sweep but one floods: while a client
// that keeps up has much waiting, reading from it waits.
constexpr std::size_t FloodBytes = 64 << 10;

// Lists to one client at most at 256 KB/s, whatever the rate of logins and renames.
constexpr std::size_t ListBytesPerMs = 256;
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
    // The system took everything handed over so far.
    bool Drained() const { return AllSent; }
    // The next close lets what was sent leave first, instead of a reset that could overtake it.
    void CloseGently() {
        SetLingerOnOff(wsLingerOff);
        SetLinger();
    }
};

// One connected client: its socket, what it has sent so far, and what waits to go to it.
class TChatClient : public QObject {
public:
    using QObject::QObject;

    TChatSocket* Socket = new TChatSocket(this);
    std::string Peer;  // address:port, for the log
    std::string PeerIp;  // the address alone, in its usual text form
    TTelnetFilter Telnet;
    TLineSplitter Lines;

    // What waits, in the order it leaves: telnet commands and welcomes, user lists (List from
    // ListHead on, then NextList), chat lines (Chat from ChatHead on; the bytes before it are
    // sent). Lists are shared with the other members and counted once by the server.
    std::string Control;
    bool WelcomeWaiting = false;  // Control holds a welcome not yet sent
    std::shared_ptr<const std::string> List, NextList;
    std::size_t ListHead = 0;
    std::string Chat;
    std::size_t ChatHead = 0;
    std::size_t InFlight = 0;  // handed to the socket and not yet all sent
    // The bytes that wait for this client alone.
    std::size_t Own() const { return Control.size() + Chat.size() - ChatHead + InFlight; }
    std::size_t Backlog() const { return Chat.size() - ChatHead; }
    // Everything that waits for this client.
    std::size_t Queued() const {
        return Own() + (List ? List->size() - ListHead : 0) + (NextList ? NextList->size() : 0);
    }

    bool Dirty = false;    // in the server's list of clients with bytes to hand on
    bool ReadDeferred = false;  // in the server's list of flooders to read once nobody holds
    bool Holding = false;       // behind, and not lagging: it holds back the flooders
    std::size_t RecentBytes = 0;  // read from it lately (halved at every sweep)
    bool Waiting = false;  // had bytes waiting at the last count
    bool Behind = false;   // has more waiting than a client that keeps up would
    bool Lagging = false;  // was behind for too long, or its backlog was dropped
    int64_t BehindChangedMs = 0;
    int64_t LaggingSinceMs = 0;
    std::size_t DroppedBytes = 0;  // chat lines dropped for it since it began to lag
    int64_t LastProgress = 0;  // when its socket last took bytes, or its queue last filled

    // Beyond the per-address limit: it may only log in as a user whose old connection it replaces.
    bool Replacing = false;
    int64_t ConnectedMs = 0;

    bool LoggedIn = false;
    std::string Name;
    int64_t LoginWindowMs = 0;  // when the current window of login log lines began
    int LoginsLogged = 0;       // login lines logged one by one in it
    int LoginsUnlogged = 0;     // counted instead
    std::string LastLoginText;  // the log text of the last one counted
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
    Listener->OnSessionAvailable = [this](QObject*, uint16_t) { AcceptClient(Listener); };
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
    const bool v6 = ListenAddr.find(':') != std::string::npos;
    Log(nullptr, "listening on " + (v6 ? "[" + ListenAddr + "]" : ListenAddr) + ":" + ListenPort);
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
    Holding = 0;
    ListTimer.stop();
    CurrentList.reset();
    HeldLists.clear();
    OwnQueued = ListQueued = 0;
    FlushTimer.stop();
    SweepTimer.stop();
    delete std::exchange(TlsListener, nullptr);
    if (Listener) {
        delete Listener;
        Listener = nullptr;
        Log(nullptr, "stopped");
    }
}

void TChatServer::StartTls(const std::string& Port, std::shared_ptr<const TTlsServerCredentials> Credentials) {
    delete std::exchange(TlsListener, nullptr);
    TlsCredentials = std::move(Credentials);
    auto* listener = new TWSocket(this);
    listener->OnSessionAvailable = [this](QObject*, uint16_t) { AcceptClient(TlsListener); };
    try {
        listener->SetProto("tcp");
        listener->SetAddr(ListenAddr);
        listener->SetPort(Port);
        listener->SetListenBacklog(ListenBacklog);
        listener->Listen();
    } catch (...) {
        delete listener;
        throw;
    }
    TlsListener = listener;
    TlsPort = TlsListener->GetBoundPort();
    Log(nullptr, "listening for TLS on " + ListenAddr + ":" + TlsPort);
}

std::string TChatServer::BoundAddr() const { return ListenAddr; }
std::string TChatServer::BoundPort() const { return ListenPort; }

std::vector<std::string> TChatServer::Users() const {
    std::vector<std::string> names;
    for (const TChatClient* m : Members) names.push_back(m->Name);
    return names;
}

// --- Arrivals and departures -----------------------------------------------------------------

void TChatServer::AcceptClient(TWSocket* From) {
    winsock::SOCKET handle = winsock::INVALID_SOCKET;
    try {
        handle = From->Accept();
    } catch (const std::exception& E) {
        // Typically out of descriptors. The waiting connection keeps the listener readable, so
        // notifications stop for a second instead of spinning on the same failure.
        Log(nullptr, std::string("accept failed: ") + OneLine(E.what()));
        From->Pause();
        QTimer::singleShot(1000, From, [From] {
            if (From->State() == wsListening) From->Resume();
        });
        return;
    }
    if (handle == winsock::INVALID_SOCKET) return;

    // Either family (a listener on "::" takes both); IPv4 callers read as dotted addresses.
    winsock::sockaddr_storage peer{};
    int peerLen = sizeof peer;
    std::string peerIp = "?", peerText = "?";
    if (winsock::getpeername(handle, reinterpret_cast<winsock::sockaddr*>(&peer), &peerLen) == 0) {
        const TSocketAddress from = TSocketAddress::FromRecord(peer, peerLen);
        peerIp = from.Text();
        const bool v6 = peerIp.find(':') != std::string::npos;
        peerText = (v6 ? "[" + peerIp + "]" : peerIp) + ":" + std::to_string(from.Port());
    }
    int sameAddress = 0, replacing = 0;
    for (const TChatClient* c : Clients) {
        sameAddress += c->PeerIp == peerIp && !c->Replacing;
        replacing += c->PeerIp == peerIp && c->Replacing;
    }
    // A user whose connection vanished without a close comes back while the old one still
    // counts: a few connections beyond the limit may log in as a user of the address, whose old
    // connection they replace.
    const bool full = MaxPerAddress > 0 && sameAddress >= MaxPerAddress;
    if (full && replacing >= 2) {
        Log(peerText, "refused: " + std::to_string(sameAddress) +
                          " connections from this address already");
        // The line goes ahead of the close; what the client sent meanwhile is read and dropped,
        // so that the close is orderly rather than a reset that could overtake the line.
        const std::string line = AddressFullLine(MaxPerAddress);
        // (Not to a TLS client, which could not read it before a handshake.)
        if (From != TlsListener) winsock::send(handle, line.data(), static_cast<int>(line.size()), 0);
        winsock::shutdown(handle, winsock::SD_SEND);
        char drain[4096];
        while (winsock::recv(handle, drain, sizeof drain, 0) > 0) {
        }
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
    if (From == TlsListener) c->Socket->SetTlsServer(TlsCredentials);
    try {
        c->Socket->Dup(handle);
    } catch (const std::exception& E) {
        Log(nullptr, std::string("cannot take a connection over: ") + OneLine(E.what()));
        if (c->Socket->State() == wsClosed) winsock::closesocket(handle);
        delete c;
        return;
    }
    c->Peer = peerText;
    c->PeerIp = peerIp;
    c->Replacing = full;
    c->ConnectedMs = NowMs();
    c->Socket->OnDataAvailable = [this, c](QObject*, uint16_t) { ReadFrom(c); };
    c->Socket->OnSendData = [c](QObject*, int) { c->LastProgress = NowMs(); };
    c->Socket->OnDataSent = [this, c](QObject*, uint16_t) { Sent(c); };
    c->Socket->OnSessionClosed = [this, c](QObject*, uint16_t Error) {
        Depart(c, Error == 0 ? "closed by the client" : "lost, error " + std::to_string(Error));
    };
    Clients.push_back(c);
    Log(c, full ? "connect beyond the limit of its address: it may only replace a connection of "
                  "the user it logs in as"
                : "connect");
    QueueControl(c, Negotiation);
}

void TChatServer::Depart(TChatClient* C, const std::string& Why) {
    if (C->Gone) return;
    const std::size_t own = C->Own();
    C->Gone = true;
    C->Control.clear();
    ReleaseList(C->List);
    ReleaseList(C->NextList);
    C->Chat.clear();
    C->ChatHead = C->InFlight = 0;
    Requeued(C, own);
    std::erase(Dirty, C);
    std::erase(Deferred, C);
    Clients.erase(std::find(Clients.begin(), Clients.end(), C));
    FlushLoginLog(C);
    if (C->LoggedIn) Logout(C, " (connection ended)");
    if (C->DroppedBytes > 0)
        Log(C, std::to_string(C->DroppedBytes) + " bytes of chat lines had been dropped for it");
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
    // While a client that keeps up has much waiting, the clients that send far more than a
    // person types wait: what they send stays with the system (and TCP slows them down). The
    // others are read as always, so nobody who chats is slowed by a flood or a slow reader.
    if (Holding > 0 && C->RecentBytes > FloodBytes) {
        if (!C->ReadDeferred) {
            C->ReadDeferred = true;
            Deferred.push_back(C);
        }
        return;
    }
    char buffer[16384];
    const int n = C->Socket->Receive(buffer, sizeof buffer);
    if (n == 0) return;  // the end of the stream: the close event follows
    if (n > 0) C->RecentBytes += static_cast<std::size_t>(n);
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
    if (C->LoggedIn && C->Name == Name) {
        // Nothing changes: no welcome and no list, which a client repeating its login line in a
        // loop would otherwise have the server queue without end.
        LogLogin(C, "login again as " + Printable(Name) + ": nothing changes");
        return;
    }
    // The same user from the same address: a connection that vanished without a close (or that
    // the user left open elsewhere) must not keep it out, nor stand twice in the list.
    const auto old = std::find_if(Members.begin(), Members.end(), [&](const TChatClient* m) {
        return m != C && m->PeerIp == C->PeerIp && m->Name == Name;
    });
    if (old != Members.end()) {
        Depart(*old, "replaced by a new connection of the same user, " + C->Peer);
    } else if (C->Replacing) {
        Refuse(C, "beyond the limit of its address, and no connection of " + Printable(Name) +
                      " to replace");
        return;
    }
    C->Replacing = false;
    if (C->LoggedIn) {
        LogLogin(C, "rename " + Printable(C->Name) + " to " + Printable(Name));
    } else {
        C->LoggedIn = true;
        Members.push_back(C);
        LogLogin(C, "login " + Printable(Name));
    }
    C->Name = std::string(Name);
    if (!C->WelcomeWaiting) QueueControl(C, Welcome);  // one welcome stands for all not yet sent
    C->WelcomeWaiting = true;
    UserListChanged();
}

// A client that logs in again and again gets a few log lines in each window and one line that
// counts the rest at its end.
void TChatServer::LogLogin(TChatClient* C, const std::string& Text) {
    const int64_t now = NowMs();
    if (now - C->LoginWindowMs >= LoginLogWindowMs) {
        FlushLoginLog(C);
        C->LoginWindowMs = now;
        C->LoginsLogged = 0;
    }
    if (C->LoginsLogged < LoginLinesPerWindow) {
        ++C->LoginsLogged;
        Log(C, Text);
    } else {
        ++C->LoginsUnlogged;
        C->LastLoginText = Text;
    }
}

void TChatServer::FlushLoginLog(TChatClient* C) {
    if (C->LoginsUnlogged == 0) return;
    Log(C, std::to_string(C->LoginsUnlogged) + " more login lines within " +
               std::to_string(LoginLogWindowMs / 1000) + " s, the last: " + C->LastLoginText);
    C->LoginsUnlogged = 0;
    C->LastLoginText.clear();
}

// Tells the client why, as a chat line it shows, and closes the connection after it.
void TChatServer::Refuse(TChatClient* C, const std::string& Why) {
    Log(C, "refused: " + Why);
    const std::string line = AddressFullLine(MaxPerAddress);
    try {
        C->Socket->Send(line.data(), static_cast<int>(line.size()));
        char drain[4096];
        while (C->Socket->Receive(drain, sizeof drain) > 0) {
        }
        C->Socket->CloseGently();
    } catch (const std::exception&) {
    }
    Depart(C, "refused");
}

void TChatServer::Logout(TChatClient* C, const char* Note) {
    Members.erase(std::find(Members.begin(), Members.end(), C));
    C->LoggedIn = false;
    FlushLoginLog(C);
    Log(C, "logout " + Printable(C->Name) + Note);
    C->Name.clear();
    // No more lists for it; one it has begun to receive is finished, so that its line is whole.
    if (C->ListHead == 0) ReleaseList(C->List);
    ReleaseList(C->NextList);
    UserListChanged();
}

// --- Queueing --------------------------------------------------------------------------------

void TChatServer::QueueControl(TChatClient* C, std::string_view Bytes) {
    if (C->Gone) return;
    if (C->Control.size() + Bytes.size() > MaxControlBytes) {
        Log(C, "dropped a control message (" + std::to_string(Bytes.size()) + " bytes): " +
                   std::to_string(C->Control.size()) + " bytes of them wait already");
        return;
    }
    const std::size_t before = C->Own();
    C->Control += Bytes;
    Requeued(C, before);
    MarkDirty(C);
}

void TChatServer::QueueChat(TChatClient* C, std::string_view Escaped) {
    if (C->Gone) return;
    // A client that does not keep up loses its own backlog, oldest lines first: the new line
    // takes their place.
    const std::size_t bound = C->Lagging ? LagBytes : MaxQueuedBytes;
    if (C->Queued() + Escaped.size() > bound)
        DropBacklog(C, std::to_string(C->Queued()) + " bytes wait for it");
    if (C->Queued() + Escaped.size() > bound || !MakeRoom(Escaped.size(), C)) {
        C->DroppedBytes += Escaped.size();
        return;
    }
    const std::size_t before = C->Own();
    C->Chat += Escaped;
    Requeued(C, before);
    MarkDirty(C);
}

// Drops the longest backlogs until Bytes more fit under the overall bound, then lets go the
// lagging clients with the most still waiting (a chunk on its way, a list begun); false when
// the line does not fit even then.
bool TChatServer::MakeRoom(std::size_t Bytes, TChatClient* For) {
    while (QueuedBytes() + Bytes > MaxTotalQueuedBytes) {
        const auto longest = std::max_element(
            Clients.begin(), Clients.end(),
            [](const TChatClient* a, const TChatClient* b) { return a->Backlog() < b->Backlog(); });
        if (longest == Clients.end()) return false;
        const std::string why = std::to_string(QueuedBytes()) + " bytes wait for all clients";
        if ((*longest)->Backlog() > 0) {
            DropBacklog(*longest, "the longest backlog when " + why);
            continue;
        }
        const auto lagging = std::max_element(
            Clients.begin(), Clients.end(), [](const TChatClient* a, const TChatClient* b) {
                return (a->Lagging ? a->Queued() : 0) < (b->Lagging ? b->Queued() : 0);
            });
        if (!(*lagging)->Lagging) return false;
        Depart(*lagging, "reads too slowly: its backlog is gone and " +
                             std::to_string((*lagging)->Queued()) + " bytes still wait for it, " + why);
    }
    return !For->Gone;
}

// The chat lines that wait for C and are not yet handed to its socket (whole lines) go.
void TChatServer::DropBacklog(TChatClient* C, const std::string& Why) {
    const std::size_t dropped = C->Backlog();
    if (dropped == 0) return;
    const std::size_t before = C->Own();
    C->Chat.clear();
    C->ChatHead = 0;
    if (C->Chat.capacity() > 4 * ChunkBytes) C->Chat.shrink_to_fit();
    C->DroppedBytes += dropped;
    Requeued(C, before);
    if (!C->Lagging)
        MarkLagging(C, "reads too slowly: dropped its backlog of " + std::to_string(dropped) +
                           " bytes of chat lines (" + Why + ")");
}

// From now on no more than LagBytes wait for C, until it has kept up for LagAfterMs; the log
// says so once, and once more when it has caught up.
void TChatServer::MarkLagging(TChatClient* C, const std::string& Why) {
    C->Lagging = true;
    C->LaggingSinceMs = C->BehindChangedMs = NowMs();  // keeping up is counted from now on
    Log(C, "lagging: " + Why + "; chat lines beyond " + std::to_string(LagBytes) +
               " bytes are dropped for it until it has kept up for " +
               std::to_string(LagAfterMs) + " ms");
    Requeued(C, C->Own());
}

// Brings the totals and the lag state up to date after C's own waiting bytes changed from
// BeforeOwn (or what is due to it otherwise changed).
void TChatServer::Requeued(TChatClient* C, std::size_t BeforeOwn) {
    OwnQueued = OwnQueued - BeforeOwn + C->Own();
    const std::size_t queued = C->Queued();
    if (!C->Waiting && queued > 0) C->LastProgress = NowMs();
    C->Waiting = queued > 0;
    // Lagging ends only after a spell of keeping up: its queue touching zero between floods
    // proves nothing.
    const bool behind = !C->Gone && queued > (C->Lagging ? LagBytes / 2 : LagBytes);
    if (behind != C->Behind) {
        C->Behind = behind;
        C->BehindChangedMs = NowMs();
    }
    const bool holding = behind && !C->Lagging;
    if (holding != C->Holding) {
        C->Holding = holding;
        Holding += holding ? 1 : -1;
        if (Holding == 0 && !Deferred.empty() && !FlushTimer.isActive()) FlushTimer.start(0);
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
// at the earliest a millisecond per member after the last, and no sooner than lets each member
// get ListBytesPerMs of lists (long names, or one client renaming in a loop, would otherwise
// flood everyone with lists); a list never waits behind chat lines (see SendChunk).
void TChatServer::UserListChanged() {
    if (ListTimer.isActive()) return;
    const int64_t interval = std::max(static_cast<int64_t>(Members.size()),
                                      static_cast<int64_t>(CurrentList ? CurrentList->size() / ListBytesPerMs : 0));
    ListTimer.start(static_cast<int>(std::clamp<int64_t>(LastListMs + interval - NowMs(), 0, interval)));
}

void TChatServer::BroadcastUserList() {
    LastListMs = NowMs();
    CurrentList = std::make_shared<const std::string>(EscapeIac(UserListLine(Users())));
    for (TChatClient* m : Members) {
        // An older list not yet begun is replaced; one partly sent is finished first.
        std::shared_ptr<const std::string>& slot = m->List && m->ListHead > 0 ? m->NextList : m->List;
        ReleaseList(slot);
        slot = CurrentList;
        HoldList(slot);
        Requeued(m, m->Own());
        MarkDirty(m);
    }
}

void TChatServer::HoldList(const std::shared_ptr<const std::string>& List) {
    for (auto& [list, holders] : HeldLists)
        if (list == List) {
            ++holders;
            return;
        }
    HeldLists.emplace_back(List, 1);
    ListQueued += List->size();
}

void TChatServer::ReleaseList(std::shared_ptr<const std::string>& List) {
    if (!List) return;
    const auto held = std::find_if(HeldLists.begin(), HeldLists.end(),
                                   [&](const auto& h) { return h.first == List; });
    if (held != HeldLists.end() && --held->second == 0) {
        ListQueued -= List->size();
        HeldLists.erase(held);
    }
    List.reset();
}

// Runs once per turn of the event loop in which something was queued: the sends of the turn,
// and the reads that waited.
void TChatServer::Flush() {
    for (TChatClient* c : std::exchange(Dirty, {})) {
        c->Dirty = false;
        SendWaiting(c);  // clients it disconnects are still there, marked Gone, until the loop
    }
    ReadDeferred();
}

void TChatServer::ReadDeferred() {
    for (TChatClient* c : std::exchange(Deferred, {})) {
        c->ReadDeferred = false;
        ReadFrom(c);  // defers it again, or the read asks the system to report the rest
    }
}

// Hands chunks to C's socket while the system takes them whole, a few at most: a prompt reader
// gets in one turn what several senders offered in it.
void TChatServer::SendWaiting(TChatClient* C) {
    for (int chunks = 0; chunks < MaxChunksPerTurn && SendChunk(C) && C->Socket->Drained(); ++chunks) {
        const std::size_t before = C->Own();
        C->InFlight = 0;
        C->LastProgress = NowMs();
        Requeued(C, before);
    }
}

bool TChatServer::SendChunk(TChatClient* C) {
    if (C->Gone || C->InFlight > 0) return false;
    const std::size_t before = C->Own();
    // Control messages first, then at most a chunk of a list (a long one goes in pieces, so
    // that what waits in sockets stays small however many users the list names); a list begun
    // is finished before anything else goes, so that no line lands inside it.
    const bool listBegun = C->List && C->ListHead > 0;
    std::string chunk;
    if (!listBegun) {
        chunk = std::exchange(C->Control, {});
        C->WelcomeWaiting = false;
    }
    if (!C->List && C->NextList) {
        C->List = std::move(C->NextList);
        C->ListHead = 0;
    }
    bool listDone = true;
    if (C->List) {
        const std::size_t n = std::min(ChunkBytes, C->List->size() - C->ListHead);
        chunk.append(*C->List, C->ListHead, n);
        C->ListHead += n;
        listDone = C->ListHead == C->List->size();
        if (listDone) {
            ReleaseList(C->List);
            C->ListHead = 0;
        }
    }
    if (listBegun && listDone) {
        chunk += std::exchange(C->Control, {});
        C->WelcomeWaiting = false;
    }
    // Then chat lines, once no list is cut short before them, up to a chunk in all.
    const std::size_t room = ChunkBytes - std::min(ChunkBytes, chunk.size());
    std::size_t n = listDone ? C->Chat.size() - C->ChatHead : 0;
    if (n > room) {
        // Whole lines only, so that whatever goes ahead next starts a line of its own.
        const std::size_t end = room == 0 ? std::string::npos : C->Chat.rfind('\n', C->ChatHead + room - 1);
        n = end != std::string::npos && end >= C->ChatHead ? end + 1 - C->ChatHead : 0;
    }
    // Chat lines alone, the usual case, go from where they wait; the socket copies them.
    std::string_view bytes(C->Chat.data() + C->ChatHead, n);
    if (!chunk.empty()) {
        chunk += bytes;
        bytes = chunk;
    }
    if (bytes.empty()) return false;
    C->ChatHead += n;
    C->InFlight = bytes.size();
    Requeued(C, before);  // a piece of a shared list now waits for this client alone
    try {
        C->Socket->Send(bytes.data(), static_cast<int>(bytes.size()));
    } catch (const std::exception& E) {
        Depart(C, std::string("send failed: ") + OneLine(E.what()));
    }
    if (C->Gone) return false;
    if (C->ChatHead == C->Chat.size()) {
        C->Chat.clear();
        C->ChatHead = 0;
        if (C->Chat.capacity() > 4 * ChunkBytes) C->Chat.shrink_to_fit();  // after a burst
    } else if (C->ChatHead >= 4 * ChunkBytes && 2 * C->ChatHead >= C->Chat.size()) {
        C->Chat.erase(0, C->ChatHead);
        C->ChatHead = 0;
    }
    return true;
}

// The socket has sent everything it was given (or is ready for its first bytes).
void TChatServer::Sent(TChatClient* C) {
    if (C->Gone) return;
    const std::size_t before = C->Own();
    C->InFlight = 0;
    C->LastProgress = NowMs();
    Requeued(C, before);
    SendWaiting(C);
}

void TChatServer::Sweep() {
    const int64_t now = NowMs();
    for (TChatClient* c : std::vector<TChatClient*>(Clients)) {
        if (c->Gone) continue;
        c->RecentBytes /= 2;
        if (c->Queued() > 0 && now - c->LastProgress >= WriteTimeoutMs) {
            Depart(c, "write timeout: " + std::to_string(c->Queued()) + " bytes did not move for " +
                          std::to_string(WriteTimeoutMs / 1000) + " s");
            continue;
        }
        if (c->Replacing && now - c->ConnectedMs >= ReplaceWithinMs) {
            Refuse(c, "beyond the limit of its address, and it did not log in as a user to replace");
            continue;
        }
        if (!c->Lagging && c->Behind && now - c->BehindChangedMs >= LagAfterMs) {
            MarkLagging(c, std::to_string(c->Queued()) + " bytes wait for it");
        } else if (c->Lagging && !c->Behind && now - c->BehindChangedMs >= LagAfterMs) {
            c->Lagging = false;
            Log(c, "caught up after " + std::to_string((now - c->LaggingSinceMs) / 1000) +
                       " s of lagging; " + std::to_string(c->DroppedBytes) +
                       " bytes of chat lines were dropped for it meanwhile");
            c->DroppedBytes = 0;
            Requeued(c, c->Own());
        }
        if (c->LoginsUnlogged > 0 && now - c->LoginWindowMs >= LoginLogWindowMs) FlushLoginLog(c);
    }
    ReadDeferred();  // those that have sent little lately
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

