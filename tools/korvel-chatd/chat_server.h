#pragma once
// TChatServer: a small chat server over telnet for local runs and end-to-end tests. It accepts
// clients on one listening TWSocket, logs them in with their login line, relays chat lines to
// everyone logged in, and keeps every client's user list up to date. It logs one line per event.
//
// Under load: what waits for a client leaves in this order: telnet commands and the welcome,
// then the newest user list (it replaces an unsent older one), then chat lines. A client that
// reads as fast as lines come gets every line of any burst: while some client that keeps up has
// more than HoldBytes waiting, the server reads nothing from anyone. A client that keeps more
// than that waiting for LagAfterMs lags: nobody waits for it any more and chat lines beyond
// MaxQueuedBytes for it are dropped. When all queues together would pass MaxTotalQueuedBytes,
// the client with the most waiting is disconnected, and so on until the line fits.
#include <QObject>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class TWSocket;
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
    // Closes every client and the listener; raises no events. Call it from outside the
    // server's own socket handlers (a signal notifier, a test).
    void Stop();

    std::string BoundAddr() const;
    std::string BoundPort() const;
    // The logged-in users in login order, as the user list shows them.
    std::vector<std::string> Users() const;
    int ClientCount() const { return static_cast<int>(Clients.size()); }
    // Bytes waiting for all clients together, those handed to sockets but not yet sent included.
    std::size_t QueuedBytes() const { return TotalQueued; }

    // Receives each log line, without a line end; by default it goes to standard output through
    // a queue that never blocks the server (lines are dropped and counted when it is full).
    std::function<void(const std::string& Line)> OnLog;

    // Limits; each may be changed before Start.
    int ListenBacklog = 1024;
    int MaxPerAddress = 16;  // connections from one IP address at a time; 0: no limit
    std::size_t HoldBytes = 256 << 10;
    int LagAfterMs = 2000;
    std::size_t MaxQueuedBytes = 4 << 20;         // for one lagging client
    std::size_t MaxTotalQueuedBytes = 64 << 20;
    // A client whose waiting bytes have not moved for this long is disconnected.
    int WriteTimeoutMs = 60000;
    // The send buffer the system keeps for each client: enough for a prompt reader never to wait
    // on the server, small enough that what the server puts ahead (a user list) is not stuck
    // behind megabytes the system already holds for a slow reader.
    int SendBufferBytes = 64 << 10;

private:
    void AcceptClient();
    void ReadFrom(TChatClient* C);
    void LogTelnet(TChatClient* C, const TTelnetItem& Item);
    void HandleLine(TChatClient* C, const std::string& Line, std::size_t Length);
    void Login(TChatClient* C, std::string_view Name);
    void Logout(TChatClient* C, const char* Note);
    void Depart(TChatClient* C, const std::string& Why);

    void RelayPending();
    void QueueControl(TChatClient* C, std::string_view Bytes);
    void QueueChat(TChatClient* C, std::string_view Escaped);
    bool MakeRoom(std::size_t Bytes, const TChatClient* For);
    void Requeued(TChatClient* C, std::size_t Before);
    void MarkDirty(TChatClient* C);
    void UserListChanged();
    void BroadcastUserList();
    void Flush();
    void SendChunk(TChatClient* C);
    void Sent(TChatClient* C);
    void Sweep();

    void Log(const TChatClient* C, const std::string& Text);
    void Log(const std::string& Peer, const std::string& Text);

    TWSocket* Listener = nullptr;
    std::vector<TChatClient*> Clients;  // in connection order
    std::vector<TChatClient*> Members;  // logged-in clients, in login order
    std::string ListenAddr, ListenPort;

    std::vector<TChatClient*> Dirty;     // have something to hand to their sockets
    std::vector<TChatClient*> Deferred;  // had data to read while the server held back
    std::string Relaying;                // chat lines of the current read, not yet queued
    int64_t LastListMs = 0;
    std::size_t TotalQueued = 0;
    int Holding = 0;  // clients that keep up and have more than HoldBytes waiting
    QTimer FlushTimer;  // one turn of the event loop: sends what that turn queued, together
    QTimer SweepTimer;  // finds lagging and stuck clients
    QTimer ListTimer;   // runs until the next user list is due
    std::unique_ptr<TLogSink> StdoutLog;
    int64_t StampSecond = -1;
    std::string StampText;  // the local date and time of StampSecond
};
