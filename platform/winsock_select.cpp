// WSAAsyncSelect: readiness seen by Qt socket notifiers, turned into posted notifications that
// follow the Windows re-enabling rules (each event posted once, then again only after its
// re-enabling call while the condition still holds).
#include "posix_net.h"
#include "winsock_table.h"

#include <QThread>

#include <sys/epoll.h>

#include <algorithm>


namespace winsock::detail {
namespace {

int pendingBytes(int fd) {
    int n = 0;
    return ::ioctl(fd, posix::fionread, &n) == 0 ? n : 0;
}

int socketError(int fd) {
    int err = 0;
    socklen_t len = sizeof err;
    ::getsockopt(fd, posix::sol_socket, posix::so_error, &err, &len);
    return err;
}

void onReadable(SOCKET s, Entry& e);
void onWritable(SOCKET s, Entry& e);
void onNewData(SOCKET s, Entry& e);

// A notifier's callback runs under the table's lock, for a socket that is still open.
template <void (*Handler)(SOCKET, Entry&)>
void notified(SOCKET s) {
    auto& t = table();
    std::lock_guard lock(t.Lock);
    auto it = t.Sockets.find(s);
    if (it != t.Sockets.end()) Handler(s, *it->second);
}

QSocketNotifier* notifier(SOCKET s, Entry& e, QSocketNotifier::Type type) {
    auto& slot = type == QSocketNotifier::Read ? e.ReadNotifier : e.WriteNotifier;
    if (!slot) {
        // Made without a descriptor and then given one, so that it starts disabled: the
        // constructor that takes the descriptor registers the notifier at once, and every
        // registration change costs the event loop a wake-up.
        slot = std::make_unique<QSocketNotifier>(type);
        slot->setSocket(e.Fd);
        if (type == QSocketNotifier::Read)
            QObject::connect(slot.get(), &QSocketNotifier::activated, [s] { notified<onReadable>(s); });
        else
            QObject::connect(slot.get(), &QSocketNotifier::activated, [s] { notified<onWritable>(s); });
    }
    return slot.get();
}

void setWatch(SOCKET s, Entry& e, QSocketNotifier::Type type, bool on) {
    auto& slot = type == QSocketNotifier::Read ? e.ReadNotifier : e.WriteNotifier;
    if (!on && !slot) return;
    QSocketNotifier* n = notifier(s, e, type);
    if (n->isEnabled() != on) n->setEnabled(on);
}

// The connection has ended (error: the errno of a break, 0 for an orderly close): FD_CLOSE, once.
// Linux reports a broken connection once (the probe that found the end took it); reads report it
// from now on, as Windows does.
void postClose(SOCKET s, Entry& e, int error) {
    if (error) e.ResetError = ErrorFromErrno(error);
    if ((e.Events & FD_CLOSE) && !e.CloseDone) {
        e.CloseDone = true;
        e.Ended = true;
        e.EndError = ErrorFromErrno(error);
        post(s, e, FD_CLOSE, e.EndError);
    }
}

// Takes the edges reported so far, so that the edge descriptor is readable again only for
// what arrives from now on.
void drainEdges(int edgeFd) {
    epoll_event events[4];
    while (::epoll_wait(edgeFd, events, 4, 0) == 4) {
    }
}

void setEdgeWatch(SOCKET s, Entry& e, bool on) {
    if (!on && !e.EdgeNotifier) return;
    if (!e.EdgeNotifier) {
        e.EdgeNotifier = std::make_unique<QSocketNotifier>(QSocketNotifier::Read);
        e.EdgeNotifier->setSocket(e.EdgeFd);
        QObject::connect(e.EdgeNotifier.get(), &QSocketNotifier::activated, [s] { notified<onNewData>(s); });
    }
    if (e.EdgeNotifier->isEnabled() != on) e.EdgeNotifier->setEnabled(on);
}

// A reader waits for more than ReadWhenAbove bytes: more have come (FD_READ is armed again and
// posted by the read notifier), or the connection has ended with the bytes still pending
// (FD_CLOSE; the receiver reads what remains when it gets it).
void checkNewData(SOCKET s, Entry& e) {
    if (e.ReadWhenAbove < 0) return;
    if (pendingBytes(e.Fd) > e.ReadWhenAbove) {
        e.ReadWhenAbove = -1;
        e.ReadArmed = true;
        return;
    }
    pollfd p{e.Fd, POLLIN | POLLRDHUP, 0};
    ::poll(&p, 1, 0);
    if (!(p.revents & (POLLRDHUP | POLLHUP | POLLERR))) return;
    e.ReadWhenAbove = -1;
    postClose(s, e, (p.revents & POLLERR) ? socketError(e.Fd) : 0);
}

void onNewData(SOCKET s, Entry& e) {
    drainEdges(e.EdgeFd);
    e.KnownPending = -1;
    checkNewData(s, e);
    updateNotifiers(s, e);
}

// A readable socket: a waiting connection, data, or the end of the connection.
void onReadable(SOCKET s, Entry& e) {
    e.KnownPending = -1;  // something new may have arrived

    if (e.Listening) {
        if ((e.Events & FD_ACCEPT) && e.AcceptArmed) {
            e.AcceptArmed = false;
            post(s, e, FD_ACCEPT, 0);
        }
        updateNotifiers(s, e);
        return;
    }

    const int pending = pendingBytes(e.Fd);
    if (pending > 0 || e.Type != SOCK_STREAM) {
        if ((e.Events & FD_READ) && e.ReadArmed && !e.ReadQueued) {
            e.ReadArmed = false;
            e.ReadQueued = true;
            post(s, e, FD_READ, 0);
        } else {
            e.ReadArmed = false;  // nobody reads: wait for the next recv or selection
        }
        updateNotifiers(s, e);
        return;
    }

    // Nothing pending on a stream socket: find out whether the connection has ended.
    int error = 0;
    pollfd p{e.Fd, POLLIN | POLLRDHUP, 0};
    ::poll(&p, 1, 0);
    if (p.revents & POLLERR) {
        error = socketError(e.Fd);
    } else {
        char probe;
        const ssize_t n = ::recv(e.Fd, &probe, 1, posix::msg_peek | posix::msg_dontwait);
        if (n > 0) return;  // data arrived meanwhile: the next activation posts FD_READ
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
            error = errno;
        }
    }
    e.ReadArmed = false;
    postClose(s, e, error);
    updateNotifiers(s, e);
}

// A writable socket: a connect has completed, or buffer space freed after a would-block send.
void onWritable(SOCKET s, Entry& e) {

    if (e.Connecting) {
        e.Connecting = false;
        const int error = socketError(e.Fd);
        if (error == 0) {
            e.Connected = true;
            if (e.Events & FD_CONNECT) post(s, e, FD_CONNECT, 0);
            if (e.Events & FD_WRITE) post(s, e, FD_WRITE, 0);
        } else {
            e.CloseDone = true;  // a failed connect ends with FD_CONNECT and no FD_CLOSE
            if (e.Events & FD_CONNECT) post(s, e, FD_CONNECT, ErrorFromErrno(error));
        }
    } else if (e.WriteArmed) {
        e.WriteArmed = false;
        if (e.Events & FD_WRITE) post(s, e, FD_WRITE, 0);
    }
    updateNotifiers(s, e);
}

}  // namespace

int waitForNewData(SOCKET s, Entry& e) {
    // Only a connected stream has pending bytes to wait beyond; an FD_READ already under way
    // gives the reader its next look anyway.
    if (e.Listening || e.Type != SOCK_STREAM || !e.Connected || e.ReadQueued) return 0;
    if (e.EdgeFd < 0) {
        const int edgeFd = ::epoll_create1(EPOLL_CLOEXEC);
        if (edgeFd < 0) {
            WSASetLastError(ErrorFromErrno(errno));
            return SOCKET_ERROR;
        }
        epoll_event watch{};
        watch.events = EPOLLIN | EPOLLRDHUP | EPOLLET;
        if (::epoll_ctl(edgeFd, EPOLL_CTL_ADD, e.Fd, &watch) != 0) {
            const int err = errno;
            ::close(edgeFd);
            WSASetLastError(ErrorFromErrno(err));
            return SOCKET_ERROR;
        }
        e.EdgeFd = edgeFd;
    }
    // Edges first, then the count: a byte that arrives in between is both counted and
    // announced by a new edge, never neither.
    drainEdges(e.EdgeFd);
    const int pending = pendingBytes(e.Fd);
    e.ReadWhenAbove = e.PendingTold >= 0 ? std::min(e.PendingTold, pending) : pending;
    e.ReadArmed = false;
    checkNewData(s, e);
    updateNotifiers(s, e);
    return 0;
}

void updateNotifiers(SOCKET s, Entry& e) {
    if (e.ReadArmed || e.Events == 0) e.ReadWhenAbove = -1;
    if (e.EdgeFd >= 0) setEdgeWatch(s, e, e.ReadWhenAbove >= 0);
    bool read = false, write = false;
    if (e.Events != 0) {
        if (e.Listening) {
            read = (e.Events & FD_ACCEPT) && e.AcceptArmed;
        } else if (e.Connected || e.Type != SOCK_STREAM) {
            const bool wantData = (e.Events & FD_READ) && e.ReadArmed && !e.ReadQueued;
            const bool wantClose = (e.Events & FD_CLOSE) && !e.CloseDone && !e.ReadQueued &&
                                   !(e.Events & FD_READ);
            read = wantData || wantClose;
        }
        write = e.Connecting || (e.WriteArmed && (e.Events & FD_WRITE));
    }
    setWatch(s, e, QSocketNotifier::Read, read);
    setWatch(s, e, QSocketNotifier::Write, write);
}

void post(SOCKET s, Entry& e, long event, int error) {
    if (!e.Window || !e.Msg) return;
    msgwindow::DeliveryGate gate;
    if (event == FD_READ) {
        // At most one undelivered FD_READ per socket: the flag drops when it is delivered.
        gate = [s] {
            auto& t = table();
            std::lock_guard lock(t.Lock);
            auto it = t.Sockets.find(s);
            if (it != t.Sockets.end()) {
                it->second->ReadQueued = false;
                it->second->KnownPending = -1;
                updateNotifiers(s, *it->second);
            }
            return true;
        };
    }
    const bool posted = msgwindow::PostMessage(
        e.Window, e.Msg, s,
        WSAMAKESELECTREPLY(static_cast<std::uint16_t>(event), static_cast<std::uint16_t>(error)),
        std::move(gate));
    if (!posted && event == FD_READ) e.ReadQueued = false;
}

void releaseNotifiers(Entry& e) {
    for (auto* slot : {&e.ReadNotifier, &e.WriteNotifier, &e.EdgeNotifier}) {
        if (!*slot) continue;
        (*slot)->setEnabled(false);
        if ((*slot)->thread() == QThread::currentThread())
            slot->reset();
        else
            slot->release()->deleteLater();
    }
    if (e.EdgeFd >= 0) ::close(e.EdgeFd);
    e.EdgeFd = -1;
}

}  // namespace winsock::detail

namespace winsock {

int WSAAsyncSelect(SOCKET s, HWND window, unsigned msg, long events) {
    using namespace detail;
    auto& t = table();
    std::lock_guard lock(t.Lock);
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
    e->KnownPending = -1;
    if (events != 0) {
        e->ReadArmed = true;
        e->AcceptArmed = true;
        e->WriteArmed = false;
        // A connected socket can be written to at once.
        if (e->Connected && (events & FD_WRITE)) post(s, *e, FD_WRITE, 0);
        if (e->Ended && (events & FD_CLOSE)) post(s, *e, FD_CLOSE, e->EndError);
    }
    updateNotifiers(s, *e);
    return 0;
}

}  // namespace winsock
