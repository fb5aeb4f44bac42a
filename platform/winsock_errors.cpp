// Windows Sockets start-up and the error numbers: errno translated to the Windows codes.
#include "winsock.h"
#include "winsock_table.h"

#include <cerrno>
#include <cstring>
#include <atomic>

namespace winsock {
namespace {
thread_local int LastError = 0;
std::atomic<int> StartCount{0};
}  // namespace

int ErrorFromErrno(int err) {
    switch (err) {
    case 0: return 0;
    case EINTR: return WSAEINTR;
    case EBADF: return WSAENOTSOCK;
    case EACCES: case EPERM: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE: case ENFILE: return WSAEMFILE;
    case EWOULDBLOCK: return WSAEWOULDBLOCK;
    case EINPROGRESS: return WSAEINPROGRESS;
    case EALREADY: return WSAEALREADY;
    case ENOTSOCK: return WSAENOTSOCK;
    case EDESTADDRREQ: return WSAEDESTADDRREQ;
    case EMSGSIZE: return WSAEMSGSIZE;
    case EPROTOTYPE: return WSAEPROTOTYPE;
    case ENOPROTOOPT: return WSAENOPROTOOPT;
    case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT: return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP: return WSAEOPNOTSUPP;
    case EPFNOSUPPORT: return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ENETRESET: return WSAENETRESET;
    case ECONNABORTED: return WSAECONNABORTED;
    case ECONNRESET: case EPIPE: return WSAECONNRESET;
    case ENOBUFS: case ENOMEM: return WSAENOBUFS;
    case EISCONN: return WSAEISCONN;
    case ENOTCONN: return WSAENOTCONN;
    case ESHUTDOWN: return WSAESHUTDOWN;
    case ETOOMANYREFS: return WSAETOOMANYREFS;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case ELOOP: return WSAELOOP;
    case ENAMETOOLONG: return WSAENAMETOOLONG;
    case EHOSTDOWN: return WSAEHOSTDOWN;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    case ENOTEMPTY: return WSAENOTEMPTY;
    case EUSERS: return WSAEUSERS;
    case EDQUOT: return WSAEDQUOT;
    case ESTALE: return WSAESTALE;
    case EREMOTE: return WSAEREMOTE;
    default: return WSAEINVAL;
    }
}

int WSAGetLastError() { return LastError; }
void WSASetLastError(int error) { LastError = error; }

int WSAStartup(std::uint16_t versionRequested, WSADATA* data) {
    const int major = versionRequested & 0xFF, minor = versionRequested >> 8;
    if (!data) return WSAEFAULT;
    std::memset(data, 0, sizeof *data);
    data->wHighVersion = MAKEWORD(2, 2);
    // Versions below 1.0 are not served; anything above 2.2 is answered with 2.2.
    if (major < 1) return WSAVERNOTSUPPORTED;
    data->wVersion = (major > 2 || (major == 2 && minor > 2)) ? MAKEWORD(2, 2) : versionRequested;
    std::strcpy(data->szDescription, "POSIX sockets");
    std::strcpy(data->szSystemStatus, "Running");
    data->iMaxSockets = 0xFFFF;
    data->iMaxUdpDg = 65507;
    if (StartCount++ == 0) detail::startedUp();
    return 0;
}

int WSACleanup() {
    int count = StartCount.load();
    do {
        if (count == 0) {
            LastError = WSANOTINITIALISED;
            return SOCKET_ERROR;
        }
    } while (!StartCount.compare_exchange_weak(count, count - 1));
    // The last user is gone: the readiness watcher goes too, once no socket is left open.
    if (count == 1) detail::cleanedUp();
    return 0;
}

bool IsStarted() { return StartCount.load() > 0; }

u_short htons(u_short v) { return static_cast<u_short>((v >> 8) | (v << 8)); }
u_short ntohs(u_short v) { return htons(v); }
u_long htonl(u_long v) { return __builtin_bswap32(v); }
u_long ntohl(u_long v) { return __builtin_bswap32(v); }

}  // namespace winsock
