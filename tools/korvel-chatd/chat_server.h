#pragma once
// TChatServer: a small chat server over telnet for local runs and end-to-end tests. It accepts
// clients on one listening TWSocket, logs them in with their login line, relays chat lines to
// everyone logged in, and keeps every client's user list up to date. It logs one line per event.
//
// Under load: what waits for a client leaves in this order: telnet commands and the welcome,
// then user lists, then chat lines. Every queue is bounded and counted in one total. While a
// client that keeps up has more than LagBytes waiting, reading waits only for clients that
// flood (send far more than a person types); the others are read as always. A client that
// reads more slowly than lines come loses its own backlog. One with more than LagBytes waiting for LagAfterMs lags; so does one whose waiting
// bytes reach MaxQueuedBytes. The chat lines that wait for a lagging client are dropped
// whenever they would pass LagBytes, and it stops lagging only once it has kept up for
// LagAfterMs. When all queues together would pass MaxTotalQueuedBytes, the longest backlog is
// dropped first. A user list goes to all its recipients from one buffer, counted once.
#include <QObject>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class TWSocket;
class TTlsServerCredentials;
class TChatClient;
class TLogSink;
struct TTelnetItem;

class TChatServer : public QObject {
public:
    explicit TChatServer(QObject* Owner = nullptr);
    ~TChatServer() override;

    // Listens on Host and Port ("0": a port the system picks). Raises ESocketException when the
    // address cannot be used.
    void Start(const std::string& Host, const std::string& Port);
    // Also serves TLS, on the host of Start and this port, with these credentials.
    void StartTls(const std::string& Port, std::shared_ptr<const TTlsServerCredentials> Credentials);
    std::string TlsBoundPort() const { return TlsPort; }
    // Closes every client and the listener; raises no events. Call it from outside the
    // server's own socket handlers (a signal notifier, a test).
    void Stop();

    std::string BoundAddr() const;
    std::string BoundPort() const;
    // The logged-in users in login order, as the user list shows them.
    std::vector<std::string> Users() const;
    int ClientCount() const { return static_cast<int>(Clients.size()); }
    // Bytes waiting for all clients together, those handed to sockets but not yet sent included.
    std::size_t QueuedBytes() const { return OwnQueued + ListQueued; }

    // Receives each log line, without a line end; by default it goes to standard output through
    // a queue that never blocks the server (lines are dropped and counted when it is full).
    std::function<void(const std::string& Line)> OnLog;

    // Limits; each may be changed before Start.
    int ListenBacklog = 1024;
    // Connections from one IP address at a time; 0: no limit. A further one is told why it is
    // refused, unless it logs in as a user of that address whose old connection it replaces.
    int MaxPerAddress = 256;
    std::size_t LagBytes = 256 << 10;
    int LagAfterMs = 2000;
    std::size_t MaxQueuedBytes = 4 << 20;  // for one client that does not lag
    std::size_t MaxTotalQueuedBytes = 64 << 20;
    // A client whose waiting bytes have not moved for this long is disconnected.
    int WriteTimeoutMs = 60000;
    // The send buffer the system keeps for each client: enough for a prompt reader never to wait
    // on the server, small enough that what the server puts ahead (a user list) is not stuck
    // behind megabytes the system already holds for a slow reader.
    int SendBufferBytes = 64 << 10;
    // Login lines of one client logged one by one in each window of this length; the rest are
    // counted and logged as one line at its end.
    int LoginLogWindowMs = 10000;
    // How long a connection beyond MaxPerAddress has to log in as the user it replaces.
    int ReplaceWithinMs = 5000;

private:
    void AcceptClient(TWSocket* From);
    void ReadFrom(TChatClient* C);
    void LogTelnet(TChatClient* C, const TTelnetItem& Item);
    void HandleLine(TChatClient* C, const std::string& Line, std::size_t Length);
    void Login(TChatClient* C, std::string_view Name);
    void LogLogin(TChatClient* C, const std::string& Text);
    void FlushLoginLog(TChatClient* C);
    void Logout(TChatClient* C, const char* Note);
    void Refuse(TChatClient* C, const std::string& Why);
    void Depart(TChatClient* C, const std::string& Why);

    void RelayPending();
    void QueueControl(TChatClient* C, std::string_view Bytes);
    void QueueChat(TChatClient* C, std::string_view Escaped);
    bool MakeRoom(std::size_t Bytes, TChatClient* For);
    void DropBacklog(TChatClient* C, const std::string& Why);
    void MarkLagging(TChatClient* C, const std::string& Why);
    void Requeued(TChatClient* C, std::size_t Before);
    void MarkDirty(TChatClient* C);
    void UserListChanged();
    void BroadcastUserList();
    void HoldList(const std::shared_ptr<const std::string>& List);
    void ReleaseList(std::shared_ptr<const std::string>& List);
    void Flush();
    void ReadDeferred();
    void SendWaiting(TChatClient* C);
    bool SendChunk(TChatClient* C);
    void Sent(TChatClient* C);
    void Sweep();

    void Log(const TChatClient* C, const std::string& Text);
    void Log(const std::string& Peer, const std::string& Text);

    TWSocket* Listener = nullptr;
    TWSocket* TlsListener = nullptr;  // clients on it shake hands with TlsCredentials first
    std::shared_ptr<const TTlsServerCredentials> TlsCredentials;
    std::string TlsPort;
    std::vector<TChatClient*> Clients;  // in connection order
    std::vector<TChatClient*> Members;  // logged-in clients, in login order
    std::string ListenAddr, ListenPort;

    std::vector<TChatClient*> Dirty;     // have something to hand to their sockets
    std::vector<TChatClient*> Deferred;  // flooders with data to read once nobody holds
    int Holding = 0;  // clients that keep up and have more than LagBytes waiting
    std::string Relaying;             // chat lines of the current read, not yet queued
    int64_t LastListMs = 0;
    // The newest user list, and every list that waits for some client: each counts once.
    std::shared_ptr<const std::string> CurrentList;
    std::vector<std::pair<std::shared_ptr<const std::string>, int>> HeldLists;  // list, holders
    std::size_t OwnQueued = 0;   // bytes that wait for one client each
    std::size_t ListQueued = 0;  // the bytes of the lists in HeldLists
    QTimer FlushTimer;  // one turn of the event loop: sends what that turn queued, together
    QTimer SweepTimer;  // finds lagging and stuck clients, ends login-log windows
    QTimer ListTimer;   // runs until the next user list is due
    std::unique_ptr<TLogSink> StdoutLog;
    int64_t StampSecond = -1;
    std::string StampText;  // the local date and time of StampSecond
};
