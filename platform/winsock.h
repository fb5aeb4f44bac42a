#pragma once
// The Windows Sockets 1.1 calls over POSIX, with the IPv6 calls of later versions as an addition
// (IPv4 behaves as in 1.1). Numbers, record layouts and error codes are the Windows ones; they are translated to Linux inside. Handles are this module's own ids,
// never reused, so a notification queued for a closed handle can never be mistaken for a new
// socket's. Errors are left for WSAGetLastError (per thread). No call ever raises SIGPIPE.
#include "msgwindow.h"

#include <cstddef>
#include <cstdint>

namespace winsock {

using SOCKET = std::uintptr_t;
using u_short = std::uint16_t;
using u_long = std::uint32_t;
using HANDLE = std::uintptr_t;  // asynchronous request handle, 0 for failure
using msgwindow::HWND;

constexpr SOCKET INVALID_SOCKET = ~SOCKET(0);
constexpr int SOCKET_ERROR = -1;
constexpr u_long INADDR_NONE = 0xFFFFFFFF;
constexpr u_long INADDR_ANY = 0;

constexpr int AF_UNSPEC = 0, AF_INET = 2, AF_INET6 = 23;
constexpr int SOCK_STREAM = 1, SOCK_DGRAM = 2, SOCK_RAW = 3;
constexpr int IPPROTO_IP = 0, IPPROTO_TCP = 6, IPPROTO_UDP = 17, IPPROTO_IPV6 = 41,
              IPPROTO_RAW = 255;

// Socket levels and options, as Windows numbers them.
constexpr int SOL_SOCKET = 0xFFFF;
constexpr int SO_DEBUG = 0x0001, SO_ACCEPTCONN = 0x0002, SO_REUSEADDR = 0x0004,
              SO_KEEPALIVE = 0x0008, SO_DONTROUTE = 0x0010, SO_BROADCAST = 0x0020,
              SO_LINGER = 0x0080, SO_OOBINLINE = 0x0100, SO_SNDBUF = 0x1001,
              SO_RCVBUF = 0x1002, SO_ERROR = 0x1007, SO_TYPE = 0x1008;
constexpr int IP_MULTICAST_IF = 2, IP_MULTICAST_TTL = 3, IP_MULTICAST_LOOP = 4,
              IP_ADD_MEMBERSHIP = 5, IP_DROP_MEMBERSHIP = 6;
constexpr int TCP_NODELAY = 1;
constexpr int IPV6_V6ONLY = 27;  // level IPPROTO_IPV6: 0 lets an IPv6 listener take IPv4 too
// Keepalive timing (idle seconds, seconds between probes, probes before giving up).
constexpr int TCP_KEEPIDLE = 3, TCP_KEEPCNT = 16, TCP_KEEPINTVL = 17;

constexpr long FIONREAD = 0x4004667F;
constexpr long FIONBIO = static_cast<long>(0x8004667EL);
// This stand-in's own command, for a loop that only asks whether anything is left to read: the
// answer is 0 exactly when FIONREAD's would be (bytes that arrived since the last recv aside:
// they are announced by FD_READ), but may exceed FIONREAD's by one. It spares the system call
// when the count the kernel gave with the last recv already answers it.
constexpr long FIONREADANY = 0x20006B02;
constexpr int MSG_OOB = 1, MSG_PEEK = 2;
constexpr int SD_RECEIVE = 0, SD_SEND = 1, SD_BOTH = 2;

// Notification bits of WSAAsyncSelect.
constexpr long FD_READ = 1, FD_WRITE = 2, FD_OOB = 4, FD_ACCEPT = 8, FD_CONNECT = 16,
               FD_CLOSE = 32;

// Windows Sockets error numbers.
enum : int {
    WSAEINTR = 10004, WSAEBADF = 10009, WSAEACCES = 10013, WSAEFAULT = 10014,
    WSAEINVAL = 10022, WSAEMFILE = 10024, WSAEWOULDBLOCK = 10035, WSAEINPROGRESS = 10036,
    WSAEALREADY = 10037, WSAENOTSOCK = 10038, WSAEDESTADDRREQ = 10039, WSAEMSGSIZE = 10040,
    WSAEPROTOTYPE = 10041, WSAENOPROTOOPT = 10042, WSAEPROTONOSUPPORT = 10043,
    WSAESOCKTNOSUPPORT = 10044, WSAEOPNOTSUPP = 10045, WSAEPFNOSUPPORT = 10046,
    WSAEAFNOSUPPORT = 10047, WSAEADDRINUSE = 10048, WSAEADDRNOTAVAIL = 10049,
    WSAENETDOWN = 10050, WSAENETUNREACH = 10051, WSAENETRESET = 10052,
    WSAECONNABORTED = 10053, WSAECONNRESET = 10054, WSAENOBUFS = 10055, WSAEISCONN = 10056,
    WSAENOTCONN = 10057, WSAESHUTDOWN = 10058, WSAETOOMANYREFS = 10059, WSAETIMEDOUT = 10060,
    WSAECONNREFUSED = 10061, WSAELOOP = 10062, WSAENAMETOOLONG = 10063, WSAEHOSTDOWN = 10064,
    WSAEHOSTUNREACH = 10065, WSAENOTEMPTY = 10066, WSAEPROCLIM = 10067, WSAEUSERS = 10068,
    WSAEDQUOT = 10069, WSAESTALE = 10070, WSAEREMOTE = 10071, WSASYSNOTREADY = 10091,
    WSAVERNOTSUPPORTED = 10092, WSANOTINITIALISED = 10093, WSAHOST_NOT_FOUND = 11001,
    WSATRY_AGAIN = 11002, WSANO_RECOVERY = 11003, WSANO_DATA = 11004,
};

// Records in the Windows layout.
struct in_addr { u_long s_addr; };  // network byte order
struct sockaddr { u_short sa_family; char sa_data[14]; };
struct sockaddr_in {
    u_short sin_family;
    u_short sin_port;  // network byte order
    in_addr sin_addr;
    char sin_zero[8];
};
static_assert(sizeof(sockaddr_in) == 16);
struct in6_addr { union { unsigned char Byte[16]; u_short Word[8]; } u; };
struct sockaddr_in6 {
    u_short sin6_family;
    u_short sin6_port;  // network byte order
    u_long sin6_flowinfo;
    in6_addr sin6_addr;
    u_long sin6_scope_id;
};
static_assert(sizeof(sockaddr_in6) == 28);
// Room for an address of either family.
struct sockaddr_storage { alignas(8) char ss_data[128]; };
// One answer of getaddrinfo (the ADDRINFOA layout).
struct addrinfo {
    int ai_flags;
    int ai_family;
    int ai_socktype;
    int ai_protocol;
    std::size_t ai_addrlen;
    char* ai_canonname;
    sockaddr* ai_addr;
    addrinfo* ai_next;
};
struct linger { u_short l_onoff; u_short l_linger; };
struct WSABUF { u_long len; char* buf; };  // one piece of a gathering send
struct ip_mreq { in_addr imr_multiaddr; in_addr imr_interface; };
struct hostent {
    char* h_name;
    char** h_aliases;
    short h_addrtype;
    short h_length;
    char** h_addr_list;
};
struct servent { char* s_name; char** s_aliases; short s_port; char* s_proto; };
struct protoent { char* p_name; char** p_aliases; short p_proto; };
struct WSADATA {
    std::uint16_t wVersion;
    std::uint16_t wHighVersion;
    char szDescription[257];
    char szSystemStatus[129];
    unsigned short iMaxSockets;
    unsigned short iMaxUdpDg;
    char* lpVendorInfo;
};

constexpr std::uint16_t MAKEWORD(std::uint8_t low, std::uint8_t high) {
    return static_cast<std::uint16_t>(low | (high << 8));
}
// The long parameter of a notification or lookup reply: event or length low, error high.
constexpr std::intptr_t WSAMAKESELECTREPLY(std::uint16_t event, std::uint16_t error) {
    return static_cast<std::intptr_t>(static_cast<std::uint32_t>(event) |
                                      (static_cast<std::uint32_t>(error) << 16));
}
constexpr std::uint16_t WSAGETSELECTEVENT(std::intptr_t l) { return l & 0xFFFF; }
constexpr std::uint16_t WSAGETSELECTERROR(std::intptr_t l) { return (l >> 16) & 0xFFFF; }

// Start-up and errors.
int WSAStartup(std::uint16_t versionRequested, WSADATA* data);
int WSACleanup();
int WSAGetLastError();
void WSASetLastError(int error);
bool IsStarted();  // true between a successful WSAStartup and its matching WSACleanup

// Sockets.
SOCKET socket(int af, int type, int protocol);
int closesocket(SOCKET s);
int shutdown(SOCKET s, int how);
int bind(SOCKET s, const sockaddr* name, int nameLen);
int listen(SOCKET s, int backlog);
SOCKET accept(SOCKET s, sockaddr* addr, int* addrLen);
int connect(SOCKET s, const sockaddr* name, int nameLen);
int send(SOCKET s, const char* buf, int len, int flags);
// This stand-in's own call: the pieces, in order, as one send of their joined bytes (a gathering
// write, one system call for many buffers). Result and errors are those of send. At most
// SENDV_MAX pieces are taken; the rest count as bytes the transport did not take.
constexpr int SENDV_MAX = 1024;
int sendv(SOCKET s, const WSABUF* pieces, int count, int flags);
int sendto(SOCKET s, const char* buf, int len, int flags, const sockaddr* to, int toLen);
int recv(SOCKET s, char* buf, int len, int flags);
int recvfrom(SOCKET s, char* buf, int len, int flags, sockaddr* from, int* fromLen);
int setsockopt(SOCKET s, int level, int optName, const char* optVal, int optLen);
int getsockopt(SOCKET s, int level, int optName, char* optVal, int* optLen);
int ioctlsocket(SOCKET s, long cmd, u_long* argp);
int getsockname(SOCKET s, sockaddr* name, int* nameLen);
int getpeername(SOCKET s, sockaddr* name, int* nameLen);
int WSAIoctl(SOCKET s, u_long code, const void* in, u_long inLen, void* out, u_long outLen,
             u_long* bytesReturned);

// Byte order and addresses.
u_short htons(u_short v);
u_short ntohs(u_short v);
u_long htonl(u_long v);
u_long ntohl(u_long v);
u_long inet_addr(const char* text);
char* inet_ntoa(in_addr address);  // a buffer of the calling thread

// Blocking look-ups; the record lives in a buffer of the calling thread until its next call.
hostent* gethostbyname(const char* name);
servent* getservbyname(const char* name, const char* proto);
protoent* getprotobyname(const char* name);

// IPv6 and the look-ups of both families (ws2_32). getaddrinfo takes a name or a literal, no
// service, and the hints' family (AF_UNSPEC, AF_INET, AF_INET6) and socket type; it returns 0 or
// the Windows error (11001 to 11004). inet_pton returns 1, 0 for a text that is no address of
// the family, -1 for an unknown family; inet_ntop returns Buffer, or null when it is too small.
int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** result);
void freeaddrinfo(addrinfo* list);
int inet_pton(int family, const char* text, void* address);
const char* inet_ntop(int family, const void* address, char* buffer, std::size_t size);
constexpr std::size_t INET6_ADDRSTRLEN = 65;

// Asynchronous notification and look-ups (see the notification contract).
int WSAAsyncSelect(SOCKET s, HWND window, unsigned msg, long events);
HANDLE WSAAsyncGetHostByName(HWND window, unsigned msg, const char* name, char* buf, int bufLen);
HANDLE WSAAsyncGetHostByAddr(HWND window, unsigned msg, const char* addr, int len, int type,
                             char* buf, int bufLen);
int WSACancelAsyncRequest(HANDLE request);

// The Windows number for a POSIX errno (exposed for tests).
int ErrorFromErrno(int err);

}  // namespace winsock
