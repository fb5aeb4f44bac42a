#pragma once
// Internal to platform/winsock: the table of open sockets and the notification state of each.
#include "winsock.h"

#include <QSocketNotifier>

#include <map>
#include <memory>
#include <mutex>

namespace winsock::detail {

struct Entry {
    int Fd = -1;
    int Type = SOCK_STREAM;
    bool NonBlocking = false;
    bool Listening = false;
    bool Connecting = false;  // a non-blocking connect runs; its outcome is not posted yet
    bool Connected = false;
    bool ShutSend = false;

    // Selection made with WSAAsyncSelect (Msg 0 / Events 0: none).
    HWND Window = 0;
    unsigned Msg = 0;
    long Events = 0;

    // Re-enabling state: an event is posted once, then only after its re-enabling call.
    bool ReadArmed = true;     // FD_READ may be posted (re-armed by recv)
    bool ReadQueued = false;   // an FD_READ is posted and not delivered yet
    bool AcceptArmed = true;   // FD_ACCEPT may be posted (re-armed by accept)
    bool WriteArmed = false;   // a send failed with WSAEWOULDBLOCK: FD_WRITE when writable
    bool CloseDone = false;    // FD_CLOSE was posted, or the connection failed: never again
    // The connection has ended and FD_CLOSE was posted with EndError. A new selection posts it
    // again: the last one may have gone to a window that ignored it (paused, or the listening
    // socket's window before the accepted socket was handed on).
    bool Ended = false;
    int EndError = 0;
    int ResetError = 0;        // the connection broke (Windows code): reads report it
    // The kernel's count of what it still held right after the last recv (sent with that
    // recv), or -1 when unknown. When it is 0, FIONREAD answers 0 until the next readiness
    // report: the receive loop asks after every read, and this saves it a system call when it
    // has emptied the socket. Bytes that arrive meanwhile are announced by the next readiness
    // report, as usual.
    int KnownPending = -1;
    // The last pending count FIONREAD answered since the last recv (-1: none). A reader that
    // waits for more with FIOREADONNEW has seen this much.
    int PendingTold = -1;
    // FIOREADONNEW: FD_READ waits for more than this many pending bytes (-1: not waiting).
    // Readiness is level-triggered, so the wait is watched through an edge-triggered epoll
    // descriptor of its own, which becomes readable when new bytes (or the end) arrive.
    int ReadWhenAbove = -1;
    int EdgeFd = -1;

    std::unique_ptr<QSocketNotifier> ReadNotifier;
    std::unique_ptr<QSocketNotifier> WriteNotifier;
    std::unique_ptr<QSocketNotifier> EdgeNotifier;
};

// All state is reached under Lock. Notifier callbacks and the calls of the owning thread take it
// for short moments; nothing blocking runs while it is held.
struct Table {
    std::recursive_mutex Lock;
    std::map<SOCKET, std::unique_ptr<Entry>> Sockets;
    SOCKET NextHandle = 1;
};

Table& table();
Entry* find(SOCKET s);  // under table().Lock; sets WSAENOTSOCK and returns null when unknown
SOCKET adopt(int fd, int type);  // enters a descriptor under a fresh handle

// Notification machinery (winsock_select.cpp), called under table().Lock.
void updateNotifiers(SOCKET s, Entry& e);
void post(SOCKET s, Entry& e, long event, int error);
void releaseNotifiers(Entry& e);
int waitForNewData(SOCKET s, Entry& e);  // FIOREADONNEW

}  // namespace winsock::detail
