#pragma once
// POSIX socket headers for the winsock stand-in. Their macros share names with the Windows
// constants (SOL_SOCKET, SO_LINGER, FIONREAD …) but not values, so the Linux values are copied
// into namespace posix and the macros removed before winsock.h is read.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace posix {
constexpr int af_inet = AF_INET, af_inet6 = AF_INET6;
constexpr int ipv6_v6only = IPV6_V6ONLY;
constexpr int sol_socket = SOL_SOCKET;
constexpr int so_debug = SO_DEBUG, so_acceptconn = SO_ACCEPTCONN, so_reuseaddr = SO_REUSEADDR,
              so_keepalive = SO_KEEPALIVE, so_dontroute = SO_DONTROUTE,
              so_broadcast = SO_BROADCAST, so_linger = SO_LINGER, so_oobinline = SO_OOBINLINE,
              so_sndbuf = SO_SNDBUF, so_rcvbuf = SO_RCVBUF, so_error = SO_ERROR, so_type = SO_TYPE;
constexpr int ip_multicast_if = IP_MULTICAST_IF, ip_multicast_ttl = IP_MULTICAST_TTL,
              ip_multicast_loop = IP_MULTICAST_LOOP, ip_add_membership = IP_ADD_MEMBERSHIP,
              ip_drop_membership = IP_DROP_MEMBERSHIP;
constexpr int tcp_nodelay = TCP_NODELAY;
constexpr int tcp_keepidle = TCP_KEEPIDLE, tcp_keepcnt = TCP_KEEPCNT, tcp_keepintvl = TCP_KEEPINTVL;
constexpr int tcp_inq = TCP_INQ;
constexpr unsigned long fionread = FIONREAD, fionbio = FIONBIO;
constexpr int msg_oob = MSG_OOB, msg_peek = MSG_PEEK, msg_dontwait = MSG_DONTWAIT,
              msg_nosignal = MSG_NOSIGNAL;
}  // namespace posix

#undef AF_INET
#undef AF_INET6
#undef AF_UNSPEC
#undef IPPROTO_IPV6
#undef IPV6_V6ONLY
#undef INET6_ADDRSTRLEN
#undef SOL_SOCKET
#undef SO_DEBUG
#undef SO_ACCEPTCONN
#undef SO_REUSEADDR
#undef SO_KEEPALIVE
#undef SO_DONTROUTE
#undef SO_BROADCAST
#undef SO_LINGER
#undef SO_OOBINLINE
#undef SO_SNDBUF
#undef SO_RCVBUF
#undef SO_ERROR
#undef SO_TYPE
#undef IP_MULTICAST_IF
#undef IP_MULTICAST_TTL
#undef IP_MULTICAST_LOOP
#undef IP_ADD_MEMBERSHIP
#undef IP_DROP_MEMBERSHIP
#undef TCP_NODELAY
#undef TCP_KEEPIDLE
#undef TCP_KEEPCNT
#undef TCP_KEEPINTVL
#undef FIONREAD
#undef FIONBIO
#undef MSG_OOB
#undef MSG_PEEK
#undef MSG_DONTWAIT
#undef MSG_NOSIGNAL
#undef INADDR_NONE
#undef INADDR_ANY
