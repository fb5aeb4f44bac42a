#include "posix_peer.h"

#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <set>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {
sockaddr_in loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

sockaddr_in6 loopback6(uint16_t port) {
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(port);
    a.sin6_addr = in6addr_loopback;
    return a;
}

bool readable(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) > 0;
}
}  // namespace

PosixListener::PosixListener(int Backlog, PeerFamily Family, uint16_t Port) : Family_(Family) {
    if (Family == PeerFamily::V6) {
        Fd_ = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(Fd_, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
        sockaddr_in6 a = loopback6(Port);
        socklen_t len = sizeof a;
        if (::bind(Fd_, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(Fd_, Backlog) != 0)
            return;
        ::getsockname(Fd_, reinterpret_cast<sockaddr*>(&a), &len);
        Port_ = ntohs(a.sin6_port);
        return;
    }
    Fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback(Port);
    ::bind(Fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(Fd_, Backlog);
    socklen_t len = sizeof a;
    ::getsockname(Fd_, reinterpret_cast<sockaddr*>(&a), &len);
    Port_ = ntohs(a.sin_port);
}

PosixListener::~PosixListener() {
    if (Filler_ >= 0) ::close(Filler_);
    ::close(Fd_);
}

void PosixListener::Silence() {
    if (Filler_ < 0 && Listening()) Filler_ = peer::Connect(Port_, Family_);
}

int PosixListener::Accept(int TimeoutMs) {
    if (!readable(Fd_, TimeoutMs)) return -1;
    return ::accept4(Fd_, nullptr, nullptr, SOCK_CLOEXEC);
}

namespace peer {

int Connect(uint16_t Port, PeerFamily Family) {
    const bool v6 = Family == PeerFamily::V6;
    const int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback(Port);
    sockaddr_in6 a6 = loopback6(Port);
    const int rc = v6 ? ::connect(fd, reinterpret_cast<sockaddr*>(&a6), sizeof a6)
                      : ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    if (rc != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool SendAll(int Fd, const std::string& Bytes) {
    std::size_t done = 0;
    while (done < Bytes.size()) {
        const ssize_t n = ::send(Fd, Bytes.data() + done, Bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

int SendNow(int Fd, const std::string& Bytes) {
    const ssize_t n = ::send(Fd, Bytes.data(), Bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    return static_cast<int>(n);
}

std::string Recv(int Fd, int TimeoutMs) {
    if (!readable(Fd, TimeoutMs)) return {};
    char buf[65536];
    const ssize_t n = ::recv(Fd, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

std::string RecvExactly(int Fd, std::size_t Count, int TimeoutMs) {
    std::string out;
    while (out.size() < Count) {
        if (!readable(Fd, TimeoutMs)) break;
        char buf[65536];
        const ssize_t n = ::recv(Fd, buf, std::min(sizeof buf, Count - out.size()), 0);
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

int RecvNow(int Fd, std::string& Out) {
    if (!readable(Fd, 0)) return -1;
    char buf[65536];
    const ssize_t n = ::recv(Fd, buf, sizeof buf, 0);
    if (n <= 0) return 0;
    Out.append(buf, static_cast<std::size_t>(n));
    return static_cast<int>(n);
}

bool WaitEof(int Fd, int TimeoutMs) {
    for (;;) {
        if (!readable(Fd, TimeoutMs)) return false;
        char buf[4096];
        const ssize_t n = ::recv(Fd, buf, sizeof buf, 0);
        if (n <= 0) return true;
    }
}

void Close(int Fd) { ::close(Fd); }

void Reset(int Fd) {
    linger l{1, 0};
    ::setsockopt(Fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(Fd);
}

void SetReceiveBuffer(int Fd, int Bytes) {
    ::setsockopt(Fd, SOL_SOCKET, SO_RCVBUF, &Bytes, sizeof Bytes);
}

int BindLocal(const std::string& Address, bool Listen) {
    sockaddr_un at{};
    at.sun_family = AF_UNIX;
    const std::size_t size = std::min(Address.size(), sizeof at.sun_path);
    std::memcpy(at.sun_path, Address.data(), size);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&at), socklen_t(offsetof(sockaddr_un, sun_path) + size)) == 0 &&
        (!Listen || ::listen(fd, 4) == 0))
        return fd;
    ::close(fd);
    return -1;
}

uint16_t UnusedPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback(0);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);  // bound but never listening: connections to it are refused
    return ntohs(a.sin_port);
}

}  // namespace peer

bool peer::SendUrgent(int Fd, const std::string& Bytes) {
    return ::send(Fd, Bytes.data(), Bytes.size(), MSG_OOB | MSG_NOSIGNAL) == static_cast<ssize_t>(Bytes.size());
}

int peer::OpenDescriptors() {
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (::readdir(d)) ++n;
        ::closedir(d);
    }
    return n;
}

long peer::LimitDescriptors(int Spare) {
    // The limit bounds descriptor numbers: a new descriptor takes the lowest free number, so
    // the limit goes just above the Spare-th free one.
    std::set<int> used;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (dirent* e = ::readdir(d))
            if (e->d_name[0] != '.') used.insert(std::atoi(e->d_name));
        used.erase(::dirfd(d));
        ::closedir(d);
    }
    int limit = 0;
    for (int free = 0; free < Spare || used.count(limit); ++limit)
        if (!used.count(limit)) ++free;
    rlimit r{};
    ::getrlimit(RLIMIT_NOFILE, &r);
    const long old = static_cast<long>(r.rlim_cur);
    r.rlim_cur = static_cast<rlim_t>(limit);
    ::setrlimit(RLIMIT_NOFILE, &r);
    return old;
}

void peer::RestoreDescriptorLimit(long Old) {
    rlimit r{};
    ::getrlimit(RLIMIT_NOFILE, &r);
    r.rlim_cur = static_cast<rlim_t>(Old);
    ::setrlimit(RLIMIT_NOFILE, &r);
}
