#pragma once
// TChatServer: a small chat server over telnet for local runs and end-to-end tests. It accepts
// clients on one listening TWSocket, logs them in with their login line, relays chat lines to
// everyone logged in, and keeps every client's user list up to date. It logs one line per event.
#include <QObject>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

class TWSocket;
class TChatClient;
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

    // Receives each log line, without a line end; by default it goes to standard output.
    std::function<void(const std::string& Line)> OnLog;

    // The least time between two messages to one client (see SendNext).
    int PauseMs = 30;
    // Bytes of chat lines that may wait for one client; beyond it new ones to it are dropped.
    // Lines leave one per pause however fast the client reads, so the bound is set by memory
    // alone: a long burst to a client that reads keeps every line.
    std::size_t MaxQueuedBytes = 4 << 20;

private:
    void AcceptClient();
    void ReadFrom(TChatClient* C);
    void LogTelnet(TChatClient* C, const TTelnetItem& Item);
    void HandleLine(TChatClient* C, const std::string& Line, std::size_t Length);
    void Login(TChatClient* C, std::string_view Name);
    void Logout(TChatClient* C, const char* Note);
    void Depart(TChatClient* C, const std::string& Why);

    enum class TPayload : uint8_t { TelnetCommands, Data, UserList };
    void Enqueue(TChatClient* C, std::string_view Bytes, TPayload Kind);
    void BroadcastUserList();
    void ScheduleSend(TChatClient* C);
    void SendNext(TChatClient* C);

    void Log(const TChatClient* C, const std::string& Text);

    TWSocket* Listener = nullptr;
    std::vector<TChatClient*> Clients;  // in connection order
    std::vector<TChatClient*> Members;  // logged-in clients, in login order
    std::string ListenAddr, ListenPort;
};
