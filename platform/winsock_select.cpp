// The notification core: one readiness watcher for every socket, and the rules that turn what it
// sees into posted notifications (WSAAsyncSelect). Each rule is a transition of a socket's few
// state fields (winsock_table.h); platform/README.md draws them as one table.
//
// The watcher is one epoll instance, watched by one socket notifier of the event loop. Every
// socket is entered into it once, edge-triggered, for reading and writing: an edge comes when
// bytes or the end of the connection arrive, when a connect completes, and when buffer space
// frees up after a send that was cut short. So no watch is ever changed, a socket that nobody
// reads costs nothing until something new happens, and the only descriptor a socket needs is
// its own. What an edge means is decided by the socket's state, never by the edge alone.
#include "posix_net.h"
#include "winsock_table.h"

#include <QSocketNotifier>
#include <QThread>

#include <sys/epoll.h>

#include <algorithm>

namespace winsock::detail {
namespace {

struct Watcher {
    int Fd = -1;
    QSocketNotifier* Notifier = nullptr;
    int Dispatching = 0;  // onReady calls on the stack
};

Watcher& watcher() {
    static Watcher w;
    return w;
}

int socketError(int fd) {
    int err = 0;
    socklen_t len = sizeof err;
    ::getsockopt(fd, posix::sol_socket, posix::so_error, &err, &len);
    return err;
}

// Bytes waiting: the exact count of a stream; 1 or 0 for whether a datagram waits.
int pendingBytes(const Entry& e) {
    if (e.Type != SOCK_STREAM) {
        pollfd p{e.Fd, POLLIN, 0};
        return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN) ? 1 : 0;
    }
    int n = 0;
    return ::ioctl(e.Fd, posix::fionread, &n) == 0 ? n : 0;
}

// The readiness of a socket now, for a selection or an accept (no edge is owed for them).
std::uint32_t readinessNow(int fd, short events) {
    pollfd p{fd, events, 0};
    return ::poll(&p, 1, 0) > 0 ? static_cast<std::uint16_t>(p.revents) : 0;
}

// What the count the kernel gave with a read says about what is pending: it counts a received
// end of stream as one more byte, so only 0 and counts above 1 are certain (-1: ask).
int pendingFromLeft(int left) { return left == 0 || left > 1 ? left : -1; }

void onDelivery(SOCKET s, unsigned serial, msgwindow::Delivery phase);

void post(SOCKET s, Entry& e, long event, int error) {
    if (!e.Window || !e.Msg || !(e.Events & event)) return;
    msgwindow::DeliveryGate gate;
    if (event == FD_READ)
        gate = [s, serial = e.Serial](msgwindow::Delivery phase) {
            onDelivery(s, serial, phase);
            return true;
        };
    msgwindow::PostMessage(
        e.Window, e.Msg, s,
        WSAMAKESELECTREPLY(static_cast<std::uint16_t>(event), static_cast<std::uint16_t>(error)),
        std::move(gate));
}

// --- The rules ---------------------------------------------------------------------------------

// The end of the connection as an edge shows it. A break is reported by the kernel once (the
// first look takes it); it is kept for FD_CLOSE and for the reads that follow, as Windows does.
void noteEnd(Entry& e, std::uint32_t ready) {
    if (e.PeerEnded || !(ready & (EPOLLRDHUP | EPOLLHUP | EPOLLERR))) return;
    e.PeerEnded = true;
    if (ready & EPOLLERR) e.EndError = ErrorFromErrno(socketError(e.Fd));
}

// FD_READ and FD_CLOSE of a socket whose FD_READ is not under way (Armed, Reading, Waiting).
// Pending: what is known to wait (-1: asked of the kernel only if the rule needs it).
//   Armed/Reading  bytes pending                 -> Posted, FD_READ
//   Waiting        more pending than announced   -> Posted, FD_READ
//   any of them    ended, nothing to read first  -> FD_CLOSE, once per selection
// A waiting reader is told of the end even with bytes left: they are all it will get.
void settleRead(SOCKET s, Entry& e, int pending) {
    if (e.Events == 0 || e.Read == ReadState::Posted || e.Read == ReadState::Delivering) return;
    const bool reads = e.Events & FD_READ;
    if (reads) {
        if (pending < 0) pending = pendingBytes(e);
        if (pending > (e.Read == ReadState::Waiting ? e.Announced : 0)) {
            e.Read = ReadState::Posted;
            e.Announced = pending;
            return post(s, e, FD_READ, 0);
        }
    }
    if (e.PeerEnded && !e.ClosePosted && (e.Events & FD_CLOSE) &&
        (!reads || pending == 0 || e.Read == ReadState::Waiting)) {
        e.ClosePosted = true;
        post(s, e, FD_CLOSE, e.EndError);
    }
}

// A connect has an outcome (Ready shows the socket writable or failed): FD_CONNECT with it,
// once, and on success the first FD_WRITE. Held while nobody listens (a paused socket): the next
// selection looks again.
void settleConnect(SOCKET s, Entry& e, std::uint32_t ready) {
    if (e.Events == 0 || !(ready & (EPOLLOUT | EPOLLERR | EPOLLHUP))) return;
    const int error = socketError(e.Fd);
    if (error != 0) {
        e.State = Phase::Failed;  // a failed connect ends with FD_CONNECT and no FD_CLOSE
        return post(s, e, FD_CONNECT, ErrorFromErrno(error));
    }
    if (!(ready & EPOLLOUT)) return;
    e.State = Phase::Connected;
    post(s, e, FD_CONNECT, 0);
    post(s, e, FD_WRITE, 0);
    if (!(ready & (EPOLLIN | EPOLLRDHUP | EPOLLHUP))) return;
    noteEnd(e, ready);
    settleRead(s, e, -1);
}

// An edge, or the readiness found at a selection.
void onEdge(SOCKET s, Entry& e, std::uint32_t ready) {
    if (e.WriteArmed && (ready & (EPOLLOUT | EPOLLERR | EPOLLHUP)) &&
        (e.State == Phase::Connected || e.Type != SOCK_STREAM)) {
        e.WriteArmed = false;
        post(s, e, FD_WRITE, 0);
    }
    if (e.Type != SOCK_STREAM) {
        if (ready & EPOLLIN) settleRead(s, e, 1);
        return;
    }
    switch (e.State) {
    case Phase::Open:
    case Phase::Failed:
        return;
    case Phase::Listening:
        if ((ready & EPOLLIN) && e.AcceptArmed && (e.Events & FD_ACCEPT)) {
            e.AcceptArmed = false;
            post(s, e, FD_ACCEPT, 0);
        }
        return;
    case Phase::Connecting:
        return settleConnect(s, e, ready);
    case Phase::Connected:
        noteEnd(e, ready);
        if (ready & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) settleRead(s, e, -1);
        return;
    }
}

// Around the delivery of an FD_READ (of the selection Serial):
//   Posted      delivery starts               -> Delivering
//   Delivering  it returns (nothing was read) -> Waiting, with the count it stood for
//   Reading     it returns                    -> Armed: what the reads left is announced
void onDelivery(SOCKET s, unsigned serial, msgwindow::Delivery phase) {
    std::lock_guard lock(table().Lock);
    auto it = table().Sockets.find(s);
    if (it == table().Sockets.end() || it->second->Serial != serial) return;
    Entry& e = *it->second;
    if (phase == msgwindow::Delivery::Starting) {
        if (e.Read == ReadState::Posted) e.Read = ReadState::Delivering;
        return;
    }
    if (e.Read == ReadState::Delivering) {
        e.Read = ReadState::Waiting;
        settleRead(s, e, -1);
    } else if (e.Read == ReadState::Reading) {
        e.Read = ReadState::Armed;
        settleRead(s, e, pendingFromLeft(e.LeftByRecv));
    }
}

// The watcher's notifier: the epoll instance has edges. Their notifications are delivered in
// one batch once the table is let go.
void onReady() {
    Watcher& w = watcher();
    ++w.Dispatching;
    struct TLeave {
        Watcher& W;
        ~TLeave() { --W.Dispatching; }
    } leave{w};
    msgwindow::PostBatch batch;
    std::lock_guard lock(table().Lock);
    epoll_event events[64];
    const int n = w.Fd < 0 ? 0 : ::epoll_wait(w.Fd, events, 64, 0);
    for (int i = 0; i < n; ++i) {
        auto it = table().Sockets.find(static_cast<SOCKET>(events[i].data.u64));
        if (it != table().Sockets.end()) onEdge(it->first, *it->second, events[i].events);
    }
}

// The watcher lives while the library is started or a socket is open: its descriptor is made
// by the first WSAStartup, its notifier by the first socket that needs watching.
void releaseWatcherIfIdle() {
    Watcher& w = watcher();
    if (w.Fd < 0 || w.Dispatching > 0 || !table().Sockets.empty() || IsStarted()) return;
    if (w.Notifier && w.Notifier->thread() == QThread::currentThread())
        delete w.Notifier;
    else if (w.Notifier)
        w.Notifier->deleteLater();
    w.Notifier = nullptr;
    ::close(w.Fd);
    w.Fd = -1;
}

}  // namespace

// --- Inputs from the socket calls ----------------------------------------------------------------

int watch(SOCKET s, Entry& e) {
    if (e.Watched) return 0;
    Watcher& w = watcher();
    if (w.Fd < 0) w.Fd = ::epoll_create1(EPOLL_CLOEXEC);
    if (w.Fd < 0) return ErrorFromErrno(errno);
    if (!w.Notifier) {
        w.Notifier = new QSocketNotifier(w.Fd, QSocketNotifier::Read);
        QObject::connect(w.Notifier, &QSocketNotifier::activated, [] { onReady(); });
    }
    epoll_event watch{};
    watch.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
    watch.data.u64 = s;
    if (::epoll_ctl(w.Fd, EPOLL_CTL_ADD, e.Fd, &watch) != 0) return ErrorFromErrno(errno);
    e.Watched = true;
    return 0;
}

// A new selection re-arms every event and looks at the socket as it is now, since no edge is
// owed for what was there before: waiting bytes, a waiting connection, an ended connection
// (whose FD_CLOSE comes again), a connect that completed while nobody listened.
void selected(SOCKET s, Entry& e) {
    ++e.Serial;
    if (e.Events == 0) return;
    e.Read = ReadState::Armed;
    e.AcceptArmed = true;
    e.WriteArmed = false;
    e.ClosePosted = false;
    if (e.Type != SOCK_STREAM || e.State == Phase::Listening) {
        if (watch(s, e) == 0) onEdge(s, e, readinessNow(e.Fd, POLLIN));
        return;
    }
    switch (e.State) {
    case Phase::Open:
    case Phase::Failed:
    case Phase::Listening:
        return;
    case Phase::Connecting:
        return settleConnect(s, e, readinessNow(e.Fd, POLLIN | POLLOUT | POLLRDHUP));
    case Phase::Connected:
        post(s, e, FD_WRITE, 0);
        // A socket connected while it blocked is watched from its first selection on.
        if (watch(s, e) == 0) onEdge(s, e, readinessNow(e.Fd, POLLIN | POLLRDHUP));
        return;
    }
}

void connectStarted(SOCKET s, Entry& e, int error) {
    if (error == 0) {
        e.State = Phase::Connecting;
        return;
    }
    e.State = Phase::Failed;
    post(s, e, FD_CONNECT, error);
}

// accept re-enables FD_ACCEPT; a connection that was already waiting behind the one taken has
// no edge of its own left, so it is looked for now.
void accepted(SOCKET listener, Entry& l, bool more) {
    l.AcceptArmed = true;
    if (more) onEdge(listener, l, readinessNow(l.Fd, POLLIN));
}

// A recv on a stream: Taken bytes (0 at the end of the stream), or none with Error; Left is
// what the kernel still holds (-1: unknown). recv re-enables FD_READ:
//   Posted              -> Posted (the queued one finds what is left)
//   Delivering/Reading  -> Reading (what is left is announced when the handler returns)
//   Armed/Waiting       -> Armed, and what is left is announced now
void received(SOCKET s, Entry& e, int taken, int left, int error) {
    if (e.Type != SOCK_STREAM) {
        left = -1;  // whether another datagram waits is asked when it matters
    } else if (taken == 0 || error == WSAECONNRESET || error == WSAECONNABORTED ||
               error == WSAETIMEDOUT) {
        e.PeerEnded = true;
        if (error != 0) e.EndError = error;
        left = 0;
    } else if (error == WSAEWOULDBLOCK) {
        left = 0;
    }
    e.LeftByRecv = left;
    switch (e.Read) {
    case ReadState::Posted:
        e.Announced = std::max(0, e.Announced - std::max(taken, 0));
        return;
    case ReadState::Delivering:
    case ReadState::Reading:
        e.Read = ReadState::Reading;
        return;
    case ReadState::Armed:
    case ReadState::Waiting:
        e.Read = ReadState::Armed;
        return settleRead(s, e, pendingFromLeft(left));
    }
}

// A send that took less than offered: would-block (the edge of freed space brings FD_WRITE), or
// a gathering send that left pieces beyond its limit (the socket takes more at once).
void sendCut(SOCKET s, Entry& e, bool wouldBlock) {
    if (!e.NonBlocking) return;
    if (wouldBlock)
        e.WriteArmed = true;
    else
        post(s, e, FD_WRITE, 0);
}

void released(SOCKET) { releaseWatcherIfIdle(); }

void startedUp() {
    std::lock_guard lock(table().Lock);
    Watcher& w = watcher();
    if (w.Fd < 0) w.Fd = ::epoll_create1(EPOLL_CLOEXEC);
}

void cleanedUp() {
    std::lock_guard lock(table().Lock);
    releaseWatcherIfIdle();
}

}  // namespace winsock::detail

namespace winsock {

int WSAAsyncSelect(SOCKET s, HWND window, unsigned msg, long events) {
    using namespace detail;
    std::lock_guard lock(table().Lock);
    Entry* e = find(s);
    if (!e) return SOCKET_ERROR;
    if (events != 0 && !msgwindow::IsWindow(window)) {
        WSASetLastError(WSAEINVAL);
        return SOCKET_ERROR;
    }
    // One system call, and none for a socket that is non-blocking already (a new selection).
    if (!e->NonBlocking) {
        int on = 1;
        ::ioctl(e->Fd, posix::fionbio, &on);
        e->NonBlocking = true;
    }
    e->Window = window;
    e->Msg = msg;
    e->Events = events;
    selected(s, *e);
    return 0;
}

}  // namespace winsock
