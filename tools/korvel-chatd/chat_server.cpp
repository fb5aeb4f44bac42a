#include "chat_server.h"

#include "chat_lines.h"
#include "line_wsocket.h"
#include "telnet_filter.h"

#include <QDateTime>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <deque>

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

std::string PeerText(TWSocket& Socket) {
    winsock::sockaddr_in peer{};
    if (Socket.GetPeerName(peer, sizeof peer) != 0) return "?";
    return std::string(winsock::inet_ntoa(peer.sin_addr)) + ":" +
           std::to_string(winsock::ntohs(peer.sin_port));
}

// Exception texts of the socket layer hold CR LF; a log line must not.
std::string OneLine(const char* Text) {
    std::string out = Text;
    std::replace(out.begin(), out.end(), '\r', ' ');
    std::replace(out.begin(), out.end(), '\n', ' ');
    return out;
}

}  // namespace

// One connected client: its socket, what it has sent so far, and what waits to go to it.
class TChatClient : public QObject {
public:
    explicit TChatClient(QObject* Owner) : QObject(Owner) { Pacer.setSingleShot(true); }

    TWSocket* Socket = new TWSocket(this);
    std::string Peer;  // address:port, for the log
    TTelnetFilter Telnet;
    TLineSplitter Lines;

    struct TMessage {
        std::string Bytes;
        bool UserList = false;
    };
    std::deque<TMessage> Outgoing;
    std::size_t OutgoingBytes = 0;
    QTimer Pacer;                // runs while the pause after the last message lasts
    bool AwaitingWrite = false;  // the last message is not yet all handed to the system
    bool DropLogged = false;

    bool LoggedIn = false;
    std::string Name;
    bool Gone = false;  // departed; the object is deleted from the event loop
};

TChatServer::TChatServer(QObject* Owner) : QObject(Owner) {
    OnLog = [](const std::string& Line) {
        std::fwrite(Line.data(), 1, Line.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    };
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
        Listener->Listen();
    } catch (...) {
        delete Listener;
        Listener = nullptr;
        throw;
    }
    ListenAddr = Listener->GetBoundAddr();
    ListenPort = Listener->GetBoundPort();
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

    // Every message is small and must leave at once as what it is, never held back to be
    // joined with the next one.
    const int on = 1;
    winsock::setsockopt(handle, winsock::IPPROTO_TCP, winsock::TCP_NODELAY,
                        reinterpret_cast<const char*>(&on), sizeof on);

    auto* c = new TChatClient(this);
    try {
        c->Socket->Dup(handle);
    } catch (const std::exception& E) {
        Log(nullptr, std::string("cannot take a connection over: ") + OneLine(E.what()));
        if (c->Socket->State() == wsClosed) winsock::closesocket(handle);
        delete c;
        return;
    }
    c->Peer = PeerText(*c->Socket);
    c->Socket->OnDataAvailable = [this, c](QObject*, uint16_t) { ReadFrom(c); };
    c->Socket->OnDataSent = [this, c](QObject*, uint16_t) {
        c->AwaitingWrite = false;
        ScheduleSend(c);
    };
    c->Socket->OnSessionClosed = [this, c](QObject*, uint16_t Error) {
        Depart(c, Error == 0 ? "closed by the client" : "lost, error " + std::to_string(Error));
    };
    QObject::connect(&c->Pacer, &QTimer::timeout, c, [this, c] { SendNext(c); });
    Clients.push_back(c);
    Log(c, "connect");
    Enqueue(c, Negotiation, TPayload::TelnetCommands);
}

void TChatServer::Depart(TChatClient* C, const std::string& Why) {
    if (C->Gone) return;
    C->Gone = true;
    C->Pacer.stop();
    C->Outgoing.clear();
    C->OutgoingBytes = 0;
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
    char buffer[4096];
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
        if (line.Kind == TSplitLine::TKind::Overlong) {
            Log(C, "dropped an over-long line (" + std::to_string(line.Length) + " bytes)");
            Enqueue(C, RefusalLine(line.Length), TPayload::Data);
        } else {
            HandleLine(C, line.Bytes, line.Length);
        }
    }
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
        const std::vector<TChatClient*> members = Members;
        for (TChatClient* m : members) Enqueue(m, Line, TPayload::Data);
        Log(C, "chat relayed (" + std::to_string(Line.size()) + " bytes) from " +
                   Printable(C->Name) + " to " + std::to_string(members.size()) + " users");
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
    Enqueue(C, Welcome, TPayload::Data);
    BroadcastUserList();
}

void TChatServer::Logout(TChatClient* C, const char* Note) {
    Members.erase(std::find(Members.begin(), Members.end(), C));
    C->LoggedIn = false;
    Log(C, "logout " + Printable(C->Name) + Note);
    C->Name.clear();
    BroadcastUserList();
}

// --- Sending ---------------------------------------------------------------------------------

void TChatServer::BroadcastUserList() {
    const std::string line = UserListLine(Users());
    const std::vector<TChatClient*> members = Members;
    for (TChatClient* m : members) Enqueue(m, line, TPayload::UserList);
}

void TChatServer::Enqueue(TChatClient* C, std::string_view Bytes, TPayload Kind) {
    if (C->Gone) return;
    switch (Kind) {
    case TPayload::TelnetCommands:
        C->Outgoing.push_back({std::string(Bytes), false});
        break;
    case TPayload::UserList:
        // Only the newest list matters: it replaces one still waiting.
        std::erase_if(C->Outgoing, [C](const TChatClient::TMessage& m) {
            if (m.UserList) C->OutgoingBytes -= m.Bytes.size();
            return m.UserList;
        });
        C->Outgoing.push_back({EscapeIac(Bytes), true});
        break;
    case TPayload::Data:
        if (C->OutgoingBytes + Bytes.size() > MaxQueuedBytes) {
            // A client that stops reading gets here once the system holds all it can for it; one
            // that reads, only when lines keep coming faster than one a pause for a long while.
            if (!C->DropLogged)
                Log(C, "dropping messages: " + std::to_string(C->OutgoingBytes) +
                           " bytes already wait for the client");
            C->DropLogged = true;
            return;
        }
        C->Outgoing.push_back({EscapeIac(Bytes), false});
        break;
    }
    C->OutgoingBytes += C->Outgoing.back().Bytes.size();
    ScheduleSend(C);
}

void TChatServer::ScheduleSend(TChatClient* C) {
    if (C->Gone || C->AwaitingWrite || C->Pacer.isActive() || C->Outgoing.empty()) return;
    // Sends always start from the timer, never from inside a socket handler that queued them.
    C->Pacer.start(0);
}

void TChatServer::SendNext(TChatClient* C) {
    if (C->Gone || C->AwaitingWrite || C->Outgoing.empty()) return;
    const std::string bytes = std::move(C->Outgoing.front().Bytes);
    C->Outgoing.pop_front();
    C->OutgoingBytes -= bytes.size();
    if (C->Outgoing.empty()) C->DropLogged = false;
    // The client hands each socket read to its window as one message and looks only at its first
    // characters: two messages read together would lose the second (a user list behind the
    // welcome, a chat line behind another). TCP keeps no message boundaries, so they are kept
    // apart in time: one message, then a pause long enough for the client to have read it, and
    // the next only once the previous one has left completely (OnDataSent).
    C->AwaitingWrite = true;
    C->Pacer.start(PauseMs);
    try {
        C->Socket->Send(bytes.data(), static_cast<int>(bytes.size()));
    } catch (const std::exception& E) {
        Depart(C, std::string("send failed: ") + OneLine(E.what()));
    }
}

void TChatServer::Log(const TChatClient* C, const std::string& Text) {
    if (!OnLog) return;
    const QString stamp = QDateTime::currentDateTime().toString("yyyy-MM-dd hh:mm:ss.zzz");
    OnLog(stamp.toStdString() + " " + (C ? C->Peer : std::string("-")) + " " + Text);
}
