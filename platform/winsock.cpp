// The socket calls of the Windows Sockets stand-in, over POSIX sockets.
#include "posix_net.h"
#include "winsock_table.h"


#include <cerrno>
#include <cstdint>
#include <cstring>

namespace winsock {
namespace detail {

Table& table() {
    static Table t;
    return t;
}

Entry* find(SOCKET s) {
    auto& t = table();
    auto it = t.Sockets.find(s);
    if (it == t.Sockets.end()) {
        WSASetLastError(IsStarted() ? WSAENOTSOCK : WSANOTINITIALISED);
        return nullptr;
    }
    return it->second.get();
}

SOCKET adopt(int fd, int type) {
    auto& t = table();
    std::lock_guard lock(t.Lock);
    auto e = std::make_unique<Entry>();
    e->Fd = fd;
    e->Type = type;
    const SOCKET s = t.NextHandle++;
    t.Sockets.emplace(s, std::move(e));
    return s;
}

}  // namespace detail

namespace {
using namespace detail;

int fail(int posixErrno) {
    WSASetLastError(ErrorFromErrno(posixErrno));
    return SOCKET_ERROR;
}

int failWith(int wsaError) {
    WSASetLastError(wsaError);
    return SOCKET_ERROR;
}

// Whether a stream socket is connected, also when its FD_CONNECT is still to come.
bool hasPeer(int fd) {
    ::sockaddr_storage a;
    socklen_t len = sizeof a;
    return ::getpeername(fd, reinterpret_cast<::sockaddr*>(&a), &len) == 0;
}

// A stream socket's own settings: the kernel tells with every read how many bytes it still
// holds (so the receive loop rarely asks), and urgent bytes are read in order with the rest
// (telnet servers send their Synch so; out of line it would sit at a mark that stops FIONREAD
// and every read short of it).
void prepareStream(int fd) {
    const int on = 1;
    ::setsockopt(fd, ::IPPROTO_TCP, posix::tcp_inq, &on, sizeof on);
    ::setsockopt(fd, posix::sol_socket, posix::so_oobinline, &on, sizeof on);
}

bool started() {
    if (IsStarted()) return true;
    WSASetLastError(WSANOTINITIALISED);
    return false;
}

// A socket address in the Linux layout.
struct PosixAddr {
    ::sockaddr_storage Storage{};
    socklen_t Len = sizeof Storage;
    ::sockaddr* Raw() { return reinterpret_cast<::sockaddr*>(&Storage); }
};

// Windows and Linux share the IPv4 socket address layout; IPv6 differs in the family number.
// An address of any family but IPv6 is passed on as the 16-byte IPv4 record, as before.
bool toPosix(const sockaddr* name, int len, PosixAddr& out) {
    if (!name || len < static_cast<int>(sizeof(sockaddr_in))) return false;
    if (name->sa_family == AF_INET6) {
        if (len < static_cast<int>(sizeof(sockaddr_in6))) return false;
        sockaddr_in6 w;
        std::memcpy(&w, name, sizeof w);
        ::sockaddr_in6 a{};
        a.sin6_family = posix::af_inet6;
        a.sin6_port = w.sin6_port;
        a.sin6_flowinfo = w.sin6_flowinfo;
        std::memcpy(&a.sin6_addr, &w.sin6_addr, 16);
        a.sin6_scope_id = w.sin6_scope_id;
        std::memcpy(&out.Storage, &a, sizeof a);
        out.Len = sizeof a;
        return true;
    }
    std::memcpy(&out.Storage, name, sizeof(sockaddr_in));
    out.Len = sizeof(sockaddr_in);
    return true;
}

int fromPosix(const PosixAddr& in, sockaddr* name, int* len) {
    if (in.Storage.ss_family == posix::af_inet6) {
        if (!name || !len || *len < static_cast<int>(sizeof(sockaddr_in6))) return failWith(WSAEFAULT);
        ::sockaddr_in6 a;
        std::memcpy(&a, &in.Storage, sizeof a);
        sockaddr_in6 w{};
        w.sin6_family = AF_INET6;
        w.sin6_port = a.sin6_port;
        w.sin6_flowinfo = a.sin6_flowinfo;
        std::memcpy(&w.sin6_addr, &a.sin6_addr, 16);
        w.sin6_scope_id = a.sin6_scope_id;
        std::memcpy(name, &w, sizeof w);
        *len = sizeof w;
        return 0;
    }
    if (!name || !len || *len < static_cast<int>(sizeof(sockaddr_in))) return failWith(WSAEFAULT);
    std::memcpy(name, &in.Storage, sizeof(sockaddr_in));
    *len = sizeof(sockaddr_in);
    return 0;
}

// Windows option (level, name) to the Linux pair; false when there is no counterpart.
bool translateOption(int level, int name, int& posixLevel, int& posixName) {
    if (level == SOL_SOCKET) {
        posixLevel = posix::sol_socket;
        switch (name) {
        case SO_DEBUG: posixName = posix::so_debug; return true;
        case SO_ACCEPTCONN: posixName = posix::so_acceptconn; return true;
        case SO_REUSEADDR: posixName = posix::so_reuseaddr; return true;
        case SO_KEEPALIVE: posixName = posix::so_keepalive; return true;
        case SO_DONTROUTE: posixName = posix::so_dontroute; return true;
        case SO_BROADCAST: posixName = posix::so_broadcast; return true;
        case SO_LINGER: posixName = posix::so_linger; return true;
        case SO_OOBINLINE: posixName = posix::so_oobinline; return true;
        case SO_SNDBUF: posixName = posix::so_sndbuf; return true;
        case SO_RCVBUF: posixName = posix::so_rcvbuf; return true;
        case SO_ERROR: posixName = posix::so_error; return true;
        case SO_TYPE: posixName = posix::so_type; return true;
        }
        return false;
    }
    if (level == IPPROTO_IP) {
        posixLevel = ::IPPROTO_IP;
        switch (name) {
        case IP_MULTICAST_IF: posixName = posix::ip_multicast_if; return true;
        case IP_MULTICAST_TTL: posixName = posix::ip_multicast_ttl; return true;
        case IP_MULTICAST_LOOP: posixName = posix::ip_multicast_loop; return true;
        case IP_ADD_MEMBERSHIP: posixName = posix::ip_add_membership; return true;
        case IP_DROP_MEMBERSHIP: posixName = posix::ip_drop_membership; return true;
        }
        return false;
    }
    if (level == IPPROTO_IPV6) {
        posixLevel = ::IPPROTO_IPV6;
        if (name == IPV6_V6ONLY) {
            posixName = posix::ipv6_v6only;
            return true;
        }
        return false;
    }
    if (level == IPPROTO_TCP) {
        posixLevel = ::IPPROTO_TCP;
        switch (name) {
        case TCP_NODELAY: posixName = posix::tcp_nodelay; return true;
        case TCP_KEEPIDLE: posixName = posix::tcp_keepidle; return true;
        case TCP_KEEPCNT: posixName = posix::tcp_keepcnt; return true;
        case TCP_KEEPINTVL: posixName = posix::tcp_keepintvl; return true;
        }
    }
    return false;
}

}  // namespace

SOCKET socket(int af, int type, int protocol) {
    if (!started()) return INVALID_SOCKET;
    if (af != AF_INET && af != AF_INET6) {
        WSASetLastError(WSAEAFNOSUPPORT);
        return INVALID_SOCKET;
    }
    if (type != SOCK_STREAM && type != SOCK_DGRAM && type != SOCK_RAW) {
        WSASetLastError(WSAESOCKTNOSUPPORT);
        return INVALID_SOCKET;
    }
    const int fd = ::socket(af == AF_INET6 ? posix::af_inet6 : posix::af_inet, type | SOCK_CLOEXEC,
                            protocol);
    if (fd < 0) {
        fail(errno);
        return INVALID_SOCKET;
    }
    if (type == SOCK_STREAM) prepareStream(fd);
    return adopt(fd, type);
}

int closesocket(SOCKET s) {
    int fd;
    {
        auto& t = table();
        std::lock_guard lock(t.Lock);
        Entry* e = find(s);
        if (!e) return SOCKET_ERROR;
        fd = e->Fd;
        t.Sockets.erase(s);
        released(s);
    }
    // Closing the descriptor also takes it out of the readiness watcher.
    ::close(fd);
    return 0;
}

int shutdown(SOCKET s, int how) {
    std::lock_guard lock(table().Lock);
    Entry* e = find(s);
    if (!e) return SOCKET_ERROR;
    if (how < SD_RECEIVE || how > SD_BOTH) return failWith(WSAEINVAL);
    if (::shutdown(e->Fd, how) != 0) return fail(errno);
    if (how != SD_RECEIVE) e->ShutSend = true;
    return 0;
}

int bind(SOCKET s, const sockaddr* name, int nameLen) {
    std::lock_guard lock(table().Lock);
    Entry* e = find(s);
    if (!e) return SOCKET_ERROR;
    PosixAddr a;
    if (!toPosix(name, nameLen, a)) return failWith(WSAEFAULT);
    // Windows lets a stream socket bind while old connections of its port wait in TIME_WAIT, so
    // that a server can listen again at once after a restart; Linux does so only with
    // SO_REUSEADDR, which there never lets two listeners share a port. The connections a
    // listener accepts inherit the option, and their TIME_WAIT then lets the next one bind.
    if (e->Type == SOCK_STREAM) {
        const int on = 1;
        ::setsockopt(e->Fd, posix::sol_socket, posix::so_reuseaddr, &on, sizeof on);
    }
    if (::bind(e->Fd, a.Raw(), a.Len) != 0) return fail(errno);
    return 0;
}

int listen(SOCKET s, int backlog) {
    std::lock_guard lock(table().Lock);
    Entry* e = find(s);
    if (!e) return SOCKET_ERROR;
    if (::listen(e->Fd, backlog) != 0) return fail(errno);
    e->State = Phase::Listening;
    if (const int err = watch(s, *e)) return failWith(err);
    selected(s, *e);
    return 0;
}

SOCKET accept(SOCKET s, sockaddr* addr, int* addrLen) {
    HWND window;
    unsigned msg;
    long events;
    bool nonBlocking;
    int fd;
    PosixAddr peer;
    {
        std::lock_guard lock(table().Lock);
        Entry* e = find(s);
        if (!e) return INVALID_SOCKET;
        if (e->State != Phase::Listening) {
            failWith(WSAEINVAL);
            return INVALID_SOCKET;
        }
        fd = ::accept4(e->Fd, peer.Raw(), &peer.Len,
                       SOCK_CLOEXEC | (e->NonBlocking ? SOCK_NONBLOCK : 0));
        const int err = errno;
        accepted(s, *e, fd >= 0);
        if (fd < 0) {
            fail(err);
            return INVALID_SOCKET;
        }
        prepareStream(fd);
        window = e->Window;
        msg = e->Msg;
        events = e->Events;
        nonBlocking = e->NonBlocking;
    }
    if (addr && addrLen && fromPosix(peer, addr, addrLen) != 0) {
        ::close(fd);
        return INVALID_SOCKET;
    }
    const SOCKET n = adopt(fd, SOCK_STREAM);
    // The accepted socket starts with the listening socket's selection.
    std::lock_guard lock(table().Lock);
    Entry* e = find(n);
    e->State = Phase::Connected;
    e->NonBlocking = nonBlocking;
    e->Window = window;
    e->Msg = msg;
    e->Events = events;
    selected(n, *e);
    return n;
}

int connect(SOCKET s, const sockaddr* name, int nameLen) {
    std::lock_guard lock(table().Lock);
    Entry* e = find(s);
    if (!e) return SOCKET_ERROR;
    PosixAddr a;
    if (!toPosix(name, nameLen, a)) return failWith(WSAEFAULT);
    if (e->State == Phase::Connecting) return failWith(WSAEALREADY);
    if (e->State == Phase::Connected && e->Type == SOCK_STREAM) return failWith(WSAEISCONN);
    const int rc = ::connect(e->Fd, a.Raw(), a.Len);
    const int err = errno;
    if (e->Type != SOCK_STREAM || !e->NonBlocking) {
        if (rc != 0) return fail(err);
        e->State = Phase::Connected;
        return 0;
    }
    // Non-blocking: the outcome always arrives as FD_CONNECT, as on Windows.
    if (rc == 0 || err == EINPROGRESS) {
        if (const int watchErr = watch(s, *e)) return failWith(watchErr);
        connectStarted(s, *e, 0);
        return rc == 0 ? 0 : failWith(WSAEWOULDBLOCK);
    }
    if (err == ECONNREFUSED || err == ETIMEDOUT || err == ENETUNREACH || err == EHOSTUNREACH) {
        connectStarted(s, *e, ErrorFromErrno(err));
        return failWith(WSAEWOULDBLOCK);
    }
    return fail(err);
}

namespace {
// send and sendv: the checks before one transmitting call of Len bytes (Transmit, given the
// descriptor) and the bookkeeping after it. Left: bytes the caller offered beyond Len (pieces
// of a gathering send past its limit).
template <typename Transmit>
int streamSend(SOCKET s, long long len, long long left, Transmit&& transmit) {
    std::lock_guard lock(table().Lock);
    Entry* e = find(s);
    if (!e) return SOCKET_ERROR;
    if (len < 0) return failWith(WSAEINVAL);
    if (e->Type == SOCK_STREAM && e->State != Phase::Connected && !hasPeer(e->Fd))
        return failWith(WSAENOTCONN);
    const ssize_t n = transmit(e->Fd);
    if (n >= 0) {
        // Linux takes part of a send when the buffer fills up, where Windows would refuse the
        // call with would-block; either way the caller waits for FD_WRITE to send the rest.
        if (n < len || left > 0) sendCut(s, *e, n < len);
        return static_cast<int>(n);
    }
    const int err = errno;
    if (err == EAGAIN || err == EWOULDBLOCK) {
        sendCut(s, *e, true);  // FD_WRITE follows when buffer space frees up
        return failWith(WSAEWOULDBLOCK);
    }
    if (err == EPIPE && e->ShutSend) return failWith(WSAESHUTDOWN);
    return fail(err);
}
}  // namespace

int send(SOCKET s, const char* buf, int len, int flags) {
    return streamSend(s, len, 0, [&](int fd) {
        return ::send(fd, buf, static_cast<size_t>(len), (flags & MSG_OOB) | posix::msg_nosignal);
    });
}

int sendv(SOCKET s, const WSABUF* pieces, int count, int flags) {
    if (!pieces && count > 0) return failWith(WSAEFAULT);
    // The joined length must fit the int result: pieces beyond that count as not taken.
    ::iovec iov[SENDV_MAX];
    int taken = 0;
    long long len = count < 0 ? -1 : 0;
    for (; taken < count && taken < SENDV_MAX; ++taken) {
        if (len + pieces[taken].len > INT32_MAX) break;
        iov[taken] = {pieces[taken].buf, pieces[taken].len};
        len += pieces[taken].len;
    }
    long long left = 0;
    for (int i = taken; i < count; ++i) left += pieces[i].len;
    return streamSend(s, len, left, [&](int fd) {
        ::msghdr m{};
        m.msg_iov = iov;
        m.msg_iovlen = static_cast<size_t>(taken);
        return ::sendmsg(fd, &m, (flags & MSG_OOB) | posix::msg_nosignal);
    });
}

int sendto(SOCKET s, const char* buf, int len, int flags, const sockaddr* to, int toLen) {
    std::lock_guard lock(table().Lock);
    Entry* e = find(s);
    if (!e) return SOCKET_ERROR;
    if (len < 0) return failWith(WSAEINVAL);
    PosixAddr a;
    const bool hasTo = to != nullptr;
    if (hasTo && !toPosix(to, toLen, a)) return failWith(WSAEFAULT);
    const ssize_t n = ::sendto(e->Fd, buf, static_cast<size_t>(len), (flags & MSG_OOB) | posix::msg_nosignal,
                               hasTo ? a.Raw() : nullptr, hasTo ? a.Len : 0);
    if (n >= 0) return static_cast<int>(n);
    const int err = errno;
    if (err == EAGAIN || err == EWOULDBLOCK) {
        sendCut(s, *e, true);
        return failWith(WSAEWOULDBLOCK);
    }
    if (err == EPIPE && e->ShutSend) return failWith(WSAESHUTDOWN);
    return fail(err);
}

int recv(SOCKET s, char* buf, int len, int flags) {
    std::lock_guard lock(table().Lock);
    Entry* e = find(s);
    if (!e) return SOCKET_ERROR;
    if (len < 0) return failWith(WSAEINVAL);
    if (len == 0) {
        // A zero-length read probes the connection: 0 when data waits or the peer has closed,
        // would-block while it is open and idle.
        char probe;
        const ssize_t n = ::recv(e->Fd, &probe, 1, posix::msg_peek | posix::msg_dontwait);
        return n >= 0 ? 0 : fail(errno);
    }
    if ((flags & MSG_PEEK) || e->Type != SOCK_STREAM) {
        const ssize_t n = ::recv(e->Fd, buf, static_cast<size_t>(len), flags & (MSG_OOB | MSG_PEEK));
        const int err = errno;
        if (!(flags & MSG_PEEK)) received(s, *e, static_cast<int>(n), -1, n < 0 ? ErrorFromErrno(err) : 0);
        return n >= 0 ? static_cast<int>(n) : fail(err);
    }
    // The kernel reports with the data how many bytes it still holds (TCP_INQ).
    ::iovec iov{buf, static_cast<size_t>(len)};
    alignas(::cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    ::msghdr m{};
    m.msg_iov = &iov;
    m.msg_iovlen = 1;
    m.msg_control = control;
    m.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(e->Fd, &m, flags & MSG_OOB);
    const int err = errno;
    int left = -1;
    if (n > 0)
        for (::cmsghdr* c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c))
            if (c->cmsg_level == ::IPPROTO_TCP && c->cmsg_type == posix::tcp_inq)
                std::memcpy(&left, CMSG_DATA(c), sizeof(int));
    received(s, *e, static_cast<int>(n), left, n < 0 ? ErrorFromErrno(err) : 0);
    // A broken connection goes on failing with its error, as on Windows.
    if (n == 0 && e->EndError) return failWith(e->EndError);
    return n >= 0 ? static_cast<int>(n) : fail(err);
}

int recvfrom(SOCKET s, char* buf, int len, int flags, sockaddr* from, int* fromLen) {
    std::lock_guard lock(table().Lock);
    Entry* e = find(s);
    if (!e) return SOCKET_ERROR;
    if (len < 0) return failWith(WSAEINVAL);
    PosixAddr peer;
    const ssize_t n = ::recvfrom(e->Fd, buf, static_cast<size_t>(len), flags & (MSG_OOB | MSG_PEEK),
                                 peer.Raw(), &peer.Len);
    const int err = errno;
    if (!(flags & MSG_PEEK)) received(s, *e, static_cast<int>(n), -1, n < 0 ? ErrorFromErrno(err) : 0);
    if (n < 0) return fail(err);
    if (from && fromLen && fromPosix(peer, from, fromLen) != 0) return SOCKET_ERROR;
    return static_cast<int>(n);
}

int setsockopt(SOCKET s, int level, int optName, const char* optVal, int optLen) {
    std::lock_guard lock(table().Lock);
    Entry* e = find(s);
    if (!e) return SOCKET_ERROR;
    int posixLevel, posixName;
    if (!translateOption(level, optName, posixLevel, posixName)) return failWith(WSAENOPROTOOPT);
    if (!optVal || optLen <= 0) return failWith(WSAEFAULT);
    if (level == SOL_SOCKET && optName == SO_LINGER) {
        if (optLen < static_cast<int>(sizeof(linger))) return failWith(WSAEFAULT);
        linger w;
        std::memcpy(&w, optVal, sizeof w);
        ::linger l{w.l_onoff != 0, w.l_linger};
        if (::setsockopt(e->Fd, posixLevel, posixName, &l, sizeof l) != 0) return fail(errno);
        return 0;
    }
    if (level == IPPROTO_IP && (optName == IP_MULTICAST_IF || optName == IP_ADD_MEMBERSHIP ||
                                optName == IP_DROP_MEMBERSHIP)) {
        if (::setsockopt(e->Fd, posixLevel, posixName, optVal, static_cast<socklen_t>(optLen)) != 0)
            return fail(errno);
        return 0;
    }
    // Integer and Boolean options: Windows takes a 4-byte value (or a single byte for BOOL).
    int value = 0;
    if (optLen >= 4)
        std::memcpy(&value, optVal, 4);
    else
        value = static_cast<unsigned char>(optVal[0]);
    if (::setsockopt(e->Fd, posixLevel, posixName, &value, sizeof value) != 0) return fail(errno);
    return 0;
}

int getsockopt(SOCKET s, int level, int optName, char* optVal, int* optLen) {
    std::lock_guard lock(table().Lock);
    Entry* e = find(s);
    if (!e) return SOCKET_ERROR;
    int posixLevel, posixName;
    if (!translateOption(level, optName, posixLevel, posixName)) return failWith(WSAENOPROTOOPT);
    if (!optVal || !optLen) return failWith(WSAEFAULT);
    if (level == SOL_SOCKET && optName == SO_LINGER) {
        if (*optLen < static_cast<int>(sizeof(linger))) return failWith(WSAEFAULT);
        ::linger l{};
        socklen_t len = sizeof l;
        if (::getsockopt(e->Fd, posixLevel, posixName, &l, &len) != 0) return fail(errno);
        linger w{static_cast<u_short>(l.l_onoff != 0), static_cast<u_short>(l.l_linger)};
        std::memcpy(optVal, &w, sizeof w);
        *optLen = sizeof w;
        return 0;
    }
    if (*optLen < 4) return failWith(WSAEFAULT);
    int value = 0;
    socklen_t len = sizeof value;
    if (::getsockopt(e->Fd, posixLevel, posixName, &value, &len) != 0) return fail(errno);
    if (level == SOL_SOCKET && optName == SO_ERROR) value = ErrorFromErrno(value);
    std::memcpy(optVal, &value, 4);
    *optLen = 4;
    return 0;
}

int ioctlsocket(SOCKET s, long cmd, u_long* argp) {
    std::lock_guard lock(table().Lock);
    Entry* e = find(s);
    if (!e) return SOCKET_ERROR;
    if (!argp) return failWith(WSAEFAULT);
    if (cmd == FIONREAD || cmd == FIONREADANY) {
        // FIONREADANY only asks whether anything is left. The count the kernel gave with the
        // last read answers that without a system call where it is certain (it counts a
        // received end of stream as one more byte, so 0 and counts above 1 are); bytes that
        // came since are announced by their own edge. FIONREAD is always asked of the kernel:
        // framing code waits for the exact count to reach a record's length.
        if (cmd == FIONREADANY && e->Type == SOCK_STREAM && (e->LeftByRecv == 0 || e->LeftByRecv > 1)) {
            *argp = static_cast<u_long>(e->LeftByRecv);
            return 0;
        }
        int n = 0;
        if (::ioctl(e->Fd, posix::fionread, &n) != 0) return fail(errno);
        *argp = static_cast<u_long>(n);
        return 0;
    }
    if (cmd == FIONBIO) {
        // A selected socket cannot be made blocking again (Windows refuses it too).
        if (*argp == 0 && e->Events != 0) return failWith(WSAEINVAL);
        const int flags = ::fcntl(e->Fd, F_GETFL);
        ::fcntl(e->Fd, F_SETFL, *argp ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK));
        e->NonBlocking = *argp != 0;
        return 0;
    }
    return failWith(WSAEINVAL);
}

int getsockname(SOCKET s, sockaddr* name, int* nameLen) {
    std::lock_guard lock(table().Lock);
    Entry* e = find(s);
    if (!e) return SOCKET_ERROR;
    PosixAddr a;
    if (::getsockname(e->Fd, a.Raw(), &a.Len) != 0) return fail(errno);
    return fromPosix(a, name, nameLen);
}

int getpeername(SOCKET s, sockaddr* name, int* nameLen) {
    std::lock_guard lock(table().Lock);
    Entry* e = find(s);
    if (!e) return SOCKET_ERROR;
    PosixAddr a;
    if (::getpeername(e->Fd, a.Raw(), &a.Len) != 0) return fail(errno);
    return fromPosix(a, name, nameLen);
}

int WSAIoctl(SOCKET s, u_long, const void*, u_long, void*, u_long, u_long*) {
    std::lock_guard lock(table().Lock);
    if (!find(s)) return SOCKET_ERROR;
    // Capturing every packet of an interface (SIO_RCVALL) has no counterpart here.
    return failWith(WSAEOPNOTSUPP);
}

u_long inet_addr(const char* text) { return text ? ::inet_addr(text) : INADDR_NONE; }

int inet_pton(int family, const char* text, void* address) {
    if (family != AF_INET && family != AF_INET6) {
        WSASetLastError(WSAEAFNOSUPPORT);
        return -1;
    }
    if (!text || !address) {
        WSASetLastError(WSAEFAULT);
        return -1;
    }
    return ::inet_pton(family == AF_INET6 ? posix::af_inet6 : posix::af_inet, text, address);
}

const char* inet_ntop(int family, const void* address, char* buffer, std::size_t size) {
    if (family != AF_INET && family != AF_INET6) {
        WSASetLastError(WSAEAFNOSUPPORT);
        return nullptr;
    }
    const char* r = ::inet_ntop(family == AF_INET6 ? posix::af_inet6 : posix::af_inet, address,
                                buffer, static_cast<socklen_t>(size));
    if (!r) WSASetLastError(WSAEFAULT);
    return r;
}

char* inet_ntoa(in_addr address) {
    thread_local char buffer[16];
    ::in_addr a;
    a.s_addr = address.s_addr;
    ::inet_ntop(posix::af_inet, &a, buffer, sizeof buffer);
    return buffer;
}

}  // namespace winsock
