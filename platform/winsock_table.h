#pragma once
// Internal to platform/winsock: the table of open sockets and the notification state of each.
// The notification rules themselves are in winsock_select.cpp, and drawn as a table in
// platform/README.md; only those transitions change the state fields below.
#include "winsock.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

namespace winsock::detail {

// Where a socket's connection stands.
enum class Phase : std::uint8_t {
    Open,        // made, not connected (a datagram socket stays here)
    Listening,
    Connecting,  // a non-blocking connect runs; its outcome is not posted yet
    Connected,
    Failed,      // the connect failed: FD_CONNECT carried the error, no FD_CLOSE follows
};

// Where FD_READ stands.
enum class ReadState : std::uint8_t {
    Armed,       // posted as soon as bytes are pending
    Posted,      // one waits in the queue (never more than one)
    Delivering,  // its handler runs and has not read yet
    Reading,     // its handler has read: bytes it leaves are announced when it returns
    Waiting,     // its handler took nothing: posted again once more bytes than it was told
                 // of are pending, or the connection ends; not before
};

struct Entry {
    int Fd = -1;
    int Type = SOCK_STREAM;
    bool NonBlocking = false;
    bool ShutSend = false;
    bool Watched = false;  // entered into the readiness watcher (once, for the socket's life)
    Phase State = Phase::Open;

    // The selection made with WSAAsyncSelect (Events 0: none). Serial counts selections, so
    // that an FD_READ of an earlier selection changes nothing when it is delivered.
    HWND Window = 0;
    unsigned Msg = 0;
    long Events = 0;
    unsigned Serial = 0;

    ReadState Read = ReadState::Armed;
    int Announced = 0;         // pending bytes the last FD_READ stood for, less those read since
    int LeftByRecv = -1;       // what the kernel held right after the last recv (-1: unknown)
    bool WriteArmed = false;   // a send was cut short: FD_WRITE once the socket takes more
    bool AcceptArmed = true;   // FD_ACCEPT may be posted (re-armed by accept)
    bool ClosePosted = false;  // FD_CLOSE went out in this selection
    bool PeerEnded = false;    // the peer closed, or the connection broke
    int EndError = 0;          // Windows code of a break (0 for an orderly close)
};

// All state is reached under Lock. The readiness watcher and the calls of the owning thread
// take it for short moments; nothing blocking runs while it is held, and no handler.
struct Table {
    std::recursive_mutex Lock;
    std::map<SOCKET, std::unique_ptr<Entry>> Sockets;
    SOCKET NextHandle = 1;
};

Table& table();
Entry* find(SOCKET s);  // under table().Lock; sets WSAENOTSOCK and returns null when unknown
SOCKET adopt(int fd, int type);  // enters a descriptor under a fresh handle

// The inputs of the notification rules (winsock_select.cpp), called under table().Lock.
int watch(SOCKET s, Entry& e);  // into the readiness watcher, once: 0 or the Windows error
void selected(SOCKET s, Entry& e);                   // a new selection was made
void connectStarted(SOCKET s, Entry& e, int error);  // connect began (0) or failed at once
void accepted(SOCKET listener, Entry& l, bool more); // accept took a connection (or none)
void received(SOCKET s, Entry& e, int taken, int left, int error);  // a recv on a stream
void sendCut(SOCKET s, Entry& e, bool wouldBlock);   // a send took less than offered
void released(SOCKET s);                             // closesocket: the handle is gone
void startedUp();                                    // the first WSAStartup
void cleanedUp();                                    // the last WSACleanup

}  // namespace winsock::detail
