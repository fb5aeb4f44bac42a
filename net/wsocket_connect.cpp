// Connection set-up, the server side, asynchronous look-ups and the address accessors.
#include "socket_exception.h"
#include "text_util.h"
#include "winsock_binding.h"
#include "wsocket.h"
#include "wsocket_resolve.h"

#include <cstring>

using namespace winsock;

namespace {
constexpr long ConnectEvents = FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE;  // 59
constexpr long ListenEvents = FD_READ | FD_WRITE | FD_ACCEPT | FD_CLOSE;                // 43
constexpr long DupEvents = FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE;                  // 51

int socketTypeFor(int protocol) {
    return protocol == IPPROTO_TCP ? SOCK_STREAM : protocol == IPPROTO_UDP ? SOCK_DGRAM : SOCK_RAW;
}

bool setBoolOption(SOCKET s, int level, int name) {
    const int on = -1;  // a true value, all bits set
    return WS(setsockopt)(s, level, name, reinterpret_cast<const char*>(&on), sizeof on) == 0;
}

// A handle that exists while the state is still closed would never be released: Close has
// nothing to do in that state and the next Connect or Listen overwrites the handle. Such a
// handle is closed at once when a step fails, keeping that step's error for the report.
void releaseWhileClosed(SOCKET& handle) {
    const int err = WS(WSAGetLastError)();
    WS(closesocket)(handle);
    handle = INVALID_SOCKET;
    WS(WSASetLastError)(err);
}
}  // namespace

void TCustomWSocket::Connect() {
    if (Handle != INVALID_SOCKET && State_ != wsClosed)
        return ReportError("Connect: Socket already in use");
    if (!PortAssigned) return ReportError("Connect: No Port Specified");
    if (!AddrAssigned) return ReportError("Connect: No IP Address Specified");
    if (!ProtoAssigned) return ReportError("Connect: No Protocol Specified");

    try {
        if (!ProtoResolved) {
            Protocol = WSocketResolveProto(ProtoText);
            SocketType = socketTypeFor(Protocol);
            ProtoResolved = true;
        }
        if (!PortResolved) {
            PortNumber = WSocketResolvePort(PortText, ProtoText);
            PeerAddress.sin_port = WS(htons)(static_cast<winsock::u_short>(PortNumber));
            PortResolved = true;
        }
        if (!LocalPortResolved) {
            LocalPortNumber = WSocketResolvePort(LocalPortText, ProtoText);
            LocalPortResolved = true;
        }
        if (!AddrResolved) {
            std::vector<TSocketAddress> found = ResolvePeerAddresses(AddrText);
            // One address is kept for the next Connect; a name with several is looked up again,
            // so that every connection races them all, not only the one tried first last time.
            AddrResolved = found.size() == 1;
            UsePeerAddresses(std::move(found));
        }
    } catch (const std::exception& E) {
        return ReportError(std::string("connect: ") + E.what());
    }

    BeginConnection();
    // A datagram goes to the first address only.
    if (SocketType != SOCK_STREAM) PeerAddresses.clear();
    // A family the machine has no sockets for (IPv6 switched off): the next address, if any.
    for (;;) {
        Handle = WS(socket)(AddressFamily, SocketType, Protocol);
        if (Handle != INVALID_SOCKET || PeerAddresses.empty()) break;
        std::vector<TSocketAddress> rest(PeerAddresses.begin(), PeerAddresses.end());
        UsePeerAddresses(std::move(rest));
    }
    if (Handle == INVALID_SOCKET) return ReportSocketError("Connect (socket)");

    int size = sizeof SendBufferSize;
    if (GuardedGetsockopt(Handle, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<char*>(&SendBufferSize),
                          &size) == SOCKET_ERROR) {
        releaseWhileClosed(Handle);
        return ReportSocketError("getsockopt(SO_SNDBUF)");
    }

    ChangeState(wsOpened);
    if (State_ != wsOpened) {
        WS(WSASetLastError)(WSAEINVAL);
        return ReportSocketError("Connect (Invalid operation in OnChangeState)");
    }

    if (SocketType == SOCK_DGRAM) {
        BindLocal();
        if (MultiCast_) {
            if (MultiCastIpTTL_ != 1) {
                const int ttl = MultiCastIpTTL_;
                if (WS(setsockopt)(Handle, IPPROTO_IP, IP_MULTICAST_TTL,
                                   reinterpret_cast<const char*>(&ttl), sizeof ttl) == SOCKET_ERROR)
                    return ReportSocketError("setsockopt(IP_MULTICAST_TTL)");
            }
            if (LocalAddrText != "0.0.0.0") {
                in_addr iface{WSocketResolveHost(LocalAddrText)};
                if (WS(setsockopt)(Handle, IPPROTO_IP, IP_MULTICAST_IF,
                                   reinterpret_cast<const char*>(&iface),
                                   sizeof iface) == SOCKET_ERROR)
                    return ReportSocketError("setsockopt(IP_MULTICAST_IF)");
            }
        }
        if (AddressFamily == AF_INET && PeerAddress.sin_addr.s_addr == INADDR_NONE &&
            !setBoolOption(Handle, SOL_SOCKET, SO_BROADCAST))
            return ReportSocketError("setsockopt(SO_BROADCAST)");
    } else {
        if (!setBoolOption(Handle, SOL_SOCKET, SO_REUSEADDR))
            return ReportSocketError("setsockopt(SO_REUSEADDR)");
        if (ComponentOptions_.Contains(wsoTcpNoDelay) &&
            !setBoolOption(Handle, IPPROTO_TCP, TCP_NODELAY))
            return ReportSocketError("setsockopt(IPPROTO_TCP, TCP_NODELAY)");
        SetLinger();
        if (!setBoolOption(Handle, SOL_SOCKET, SO_KEEPALIVE))
            return ReportSocketError("setsockopt(SO_KEEPALIVE)");
        if (LocalPortNumber != 0 || LocalAddrText != "0.0.0.0") BindLocal();
    }

    EventMask = ConnectEvents;
    if (WS(WSAAsyncSelect)(Handle, WindowHandle, WM_SOCKET_SELECT, EventMask) == SOCKET_ERROR)
        return ReportSocketError("WSAAsyncSelect");

    if (SocketType == SOCK_DGRAM) {
        ChangeState(wsConnected);
        FireSessionConnected(0);
        return;
    }
    const TSocketAddress target = PeerSocketAddress();
    if (WS(connect)(Handle, target.Record(), target.RecordLength()) == SOCKET_ERROR) {
        const int err = WS(WSAGetLastError)();
        if (err != WSAEWOULDBLOCK) {
            LastError_ = err;
            return ReportSocketError("Connect");
        }
    }
    const SOCKET connection = Handle;
    ChangeState(wsConnecting);
    if (Handle == connection && State_ == wsConnecting && !PeerAddresses.empty()) ArmRaceTimer();
}

std::vector<TSocketAddress> TCustomWSocket::ResolvePeerAddresses(const std::string& Host) {
    return WSocketResolveHostAddresses(Host);
}

void TCustomWSocket::UsePeerAddresses(std::vector<TSocketAddress> Addresses) {
    if (Addresses.empty()) return;
    const TSocketAddress& first = Addresses.front();
    AddressFamily = first.Family();
    if (AddressFamily == AF_INET6) {
        PeerAddress6 = reinterpret_cast<const sockaddr_in6*>(first.Record())->sin6_addr;
    } else {
        PeerAddress.sin_addr = first.AsV4().sin_addr;
    }
    PeerAddresses.assign(Addresses.begin() + 1, Addresses.end());
}

TSocketAddress TCustomWSocket::PeerSocketAddress() const {
    const uint16_t port = WS(ntohs)(PeerAddress.sin_port);
    if (AddressFamily == AF_INET6) return TSocketAddress::V6(PeerAddress6, port);
    return TSocketAddress::V4(PeerAddress.sin_addr.s_addr, port);
}

// A connection starts from the defaults of the per-connection state, also when a handler of the
// last one's close starts it (the close then leaves that state as the last connection had it).
void TCustomWSocket::BeginConnection() {
    ClearSendChain();
    AllSent = true;
    CloseReported = false;
    Paused = false;
    ConnectHeld = false;
    ReadCount_ = 0;
}

void TCustomWSocket::SetLinger() {
    if (LingerOnOff_ == wsLingerNoSet) return;
    if (Handle == INVALID_SOCKET) return ReportError("Cannot set linger option at this time");
    linger l{static_cast<winsock::u_short>(LingerOnOff_), static_cast<winsock::u_short>(LingerTimeout_)};
    if (WS(setsockopt)(Handle, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l),
                       sizeof l) == SOCKET_ERROR)
        ReportSocketError("setsockopt(SO_LINGER)");
}

void TCustomWSocket::BindLocal() {
    const auto port = static_cast<uint16_t>(LocalPortNumber);
    TSocketAddress local;
    if (AddressFamily == AF_INET6) {
        // An IPv6 socket binds to an IPv6 local address; the IPv4 default stands for "any".
        const auto literal = ParseIPv6Literal(LocalAddrText);
        local = TSocketAddress::V6(literal ? *literal : in6_addr{}, port);
    } else {
        local = TSocketAddress::V4(WSocketResolveHost(LocalAddrText), port);
    }
    if (WS(bind)(Handle, local.Record(), local.RecordLength()) == SOCKET_ERROR)
        return ReportErrorFmt("winsock.bind failed, error #%d",
                              {static_cast<long long>(WS(WSAGetLastError)())});
    sockaddr_storage bound{};
    int len = sizeof bound;
    if (WS(getsockname)(Handle, reinterpret_cast<sockaddr*>(&bound), &len) == SOCKET_ERROR)
        return ReportErrorFmt("winsock.getsockname failed, error #%d",
                              {static_cast<long long>(WS(WSAGetLastError)())});
    LocalPortNumber = TSocketAddress::FromRecord(bound, len).Port();
    LocalPortText = std::to_string(LocalPortNumber);
}

// --- Asynchronous look-ups ------------------------------------------------------------------

void TCustomWSocket::DnsLookup(const std::string& HostName) {
    if (HostName.empty()) {
        ReportError("DNS lookup: invalid host name.");
        FireDnsLookupDone(WSAEINVAL);
        return;
    }
    if (LookupHandle != 0) {
        WS(WSACancelAsyncRequest)(LookupHandle);
        LookupHandle = 0;
    }
    DnsResult_.clear();
    DnsResultList_.clear();
    if (IsDottedAddress(HostName)) {
        const winsock::u_long addr = WS(inet_addr)(HostName.c_str());
        if (addr != INADDR_NONE) {
            DnsResult_ = GuardedInetNtoa(in_addr{addr});
            DnsResultList_.push_back(DnsResult_);
            FireDnsLookupDone(0);
            return;
        }
    }
    if (!WindowHandle) return ReportError("DnsLookup: Window not assigned");
    LookupReplyEarly = false;
    LookupHandle = StartHostByName(HostName);
    if (LookupHandle == 0)
        return ReportErrorFmt("%s: can't start DNS lookup, error #%d",
                              {HostName, static_cast<long long>(WS(WSAGetLastError)())});
    // A reply that came in while the request was being made is handled now.
    if (LookupReplyEarly) {
        LookupReplyEarly = false;
        HandleLookupReply(LookupReplySaved, true);
    }
}

winsock::HANDLE TCustomWSocket::StartHostByName(const std::string& HostName) {
    return WS(WSAAsyncGetHostByName)(WindowHandle, WM_SOCKET_HOSTBYNAME, HostName.c_str(),
                                     LookupBuffer, sizeof LookupBuffer);
}

void TCustomWSocket::ReverseDnsLookup(const std::string& HostAddr) {
    if (HostAddr.empty() || HostAddr.size() > 256) {
        ReportError("ReverseDnsLookup: Invalid host name.");
        FireDnsLookupDone(WSAEINVAL);
        return;
    }
    if (LookupHandle != 0) {
        WS(WSACancelAsyncRequest)(LookupHandle);
        LookupHandle = 0;
    }
    DnsResult_.clear();
    DnsResultList_.clear();
    const winsock::u_long addr = WS(inet_addr)(HostAddr.c_str());
    if (!WindowHandle) return ReportError("ReverseDnsLookup: Window not assigned");
    LookupHandle = WS(WSAAsyncGetHostByAddr)(WindowHandle, WM_SOCKET_HOSTBYADDR,
                                             reinterpret_cast<const char*>(&addr), 4, AF_INET,
                                             LookupBuffer, sizeof LookupBuffer);
    if (LookupHandle == 0)
        return ReportErrorFmt("%s: can't start DNS lookup, error #%d",
                              {HostAddr, static_cast<long long>(WS(WSAGetLastError)())});
}

void TCustomWSocket::CancelDnsLookup() {
    if (LookupHandle == 0) return;
    const int rc = WS(WSACancelAsyncRequest)(LookupHandle);
    LookupHandle = 0;
    if (rc == SOCKET_ERROR) return ReportSocketError("WSACancelAsyncRequest");
    if (!Destroying()) FireDnsLookupDone(WSAEINTR);
}

void TCustomWSocket::HandleLookupReply(TMessage& Msg, bool ByName) {
    if (ByName && LookupHandle == 0) {
        LookupReplySaved = Msg;
        LookupReplyEarly = true;
        return;
    }
    if (Msg.WParam != LookupHandle) return;
    LookupHandle = 0;
    const uint16_t err = WSAGETSELECTERROR(Msg.LParam);
    if (err == 0) {
        const auto* host = reinterpret_cast<const hostent*>(LookupBuffer);
        if (ByName) {
            for (char** a = host->h_addr_list; a && *a; ++a) {
                in_addr addr;
                std::memcpy(&addr, *a, 4);
                DnsResultList_.push_back(GuardedInetNtoa(addr));
            }
            if (!DnsResultList_.empty()) DnsResult_ = DnsResultList_.front();
        } else {
            DnsResult_ = host->h_name;
            DnsResultList_ = {DnsResult_};
        }
    }
    FireDnsLookupDone(err);
}

// --- Addresses ------------------------------------------------------------------------------

std::string TCustomWSocket::GetPeerAddr() {
    if (State_ != wsConnected) return "error";
    sockaddr_storage peer{};
    int len = sizeof peer;
    if (WS(getpeername)(Handle, reinterpret_cast<sockaddr*>(&peer), &len) == SOCKET_ERROR) {
        ReportSocketError("GetPeerAddr");
        return "error";
    }
    return AddressText(peer, len);
}

std::string TCustomWSocket::GetPeerPort() {
    if (State_ != wsConnected) return "error";
    sockaddr_storage peer{};
    int len = sizeof peer;
    if (WS(getpeername)(Handle, reinterpret_cast<sockaddr*>(&peer), &len) == SOCKET_ERROR) {
        ReportSocketError("GetPeerPort");
        return "error";
    }
    return std::to_string(TSocketAddress::FromRecord(peer, len).Port());
}

int TCustomWSocket::GetPeerName(sockaddr_in& Name, int NameLen) {
    if (State_ != wsConnected) return -1;
    return WS(getpeername)(Handle, reinterpret_cast<sockaddr*>(&Name), &NameLen);
}

int TCustomWSocket::GetLocalName(sockaddr_in& Name, int& NameLen) {
    return WS(getsockname)(Handle, reinterpret_cast<sockaddr*>(&Name), &NameLen);
}

namespace {
bool boundState(TSocketState s) { return s == wsBound || s == wsConnected || s == wsListening; }
}  // namespace

std::string TCustomWSocket::GetBoundPort() {
    if (!boundState(State_)) return "error";
    sockaddr_storage local{};
    int len = sizeof local;
    if (WS(getsockname)(Handle, reinterpret_cast<sockaddr*>(&local), &len) == SOCKET_ERROR)
        return "error";
    return FormatText("%d", {static_cast<long long>(TSocketAddress::FromRecord(local, len).Port())});
}

std::string TCustomWSocket::GetBoundAddr() {
    if (!boundState(State_)) return "error";
    sockaddr_storage local{};
    int len = sizeof local;
    if (WS(getsockname)(Handle, reinterpret_cast<sockaddr*>(&local), &len) == SOCKET_ERROR)
        return "error";
    return AddressText(local, len);
}

// --- The server side ------------------------------------------------------------------------

void TCustomWSocket::Listen() {
    auto refuse = [this](const char* text) {
        WS(WSASetLastError)(WSAEINVAL);
        ReportSocketError(text);
    };
    if (!PortAssigned) return refuse("listen: port not assigned");
    if (!ProtoAssigned) return refuse("listen: protocol not assigned");
    if (!AddrAssigned) return refuse("listen: address not assigned");

    try {
        if (!ProtoResolved) {
            const std::string prefix = LowerCase(ProtoText.substr(0, 4));
            if (prefix == "raw_") {
                Protocol = WSocketResolveProto(ProtoText.substr(4, 10));
                SocketType = SOCK_RAW;
            } else {
                Protocol = WSocketResolveProto(ProtoText);
                SocketType = Protocol == IPPROTO_UDP ? SOCK_DGRAM : SOCK_STREAM;
            }
            ProtoResolved = true;
        }
        if (!PortResolved) {
            PortNumber = WSocketResolvePort(PortText, ProtoText);
            PeerAddress.sin_port = WS(htons)(static_cast<winsock::u_short>(PortNumber));
            PortResolved = true;
        }
        if (!AddrResolved) {
            UsePeerAddresses(ResolvePeerAddresses(AddrText));
            PeerAddresses.clear();  // a listener binds to one address
            AddrResolved = true;
        }
    } catch (const std::exception& E) {
        return ReportError(std::string("listen: ") + E.what());
    }

    BeginConnection();
    Handle = WS(socket)(AddressFamily, SocketType, Protocol);
    if (Handle == INVALID_SOCKET) return ReportSocketError("socket");
    if (SocketType == SOCK_DGRAM && ReuseAddr_ &&
        !setBoolOption(Handle, SOL_SOCKET, SO_REUSEADDR)) {
        releaseWhileClosed(Handle);
        return ReportSocketError("setsockopt(SO_REUSEADDR)");
    }
    if (AddressFamily == AF_INET6) {
        // An IPv6 listener takes IPv4 connections too ("::" listens on both families).
        const int off = 0;
        WS(setsockopt)(Handle, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&off),
                       sizeof off);
    }
    const TSocketAddress bindTo = PeerSocketAddress();
    if (WS(bind)(Handle, bindTo.Record(), bindTo.RecordLength()) == SOCKET_ERROR) {
        releaseWhileClosed(Handle);
        return ReportSocketError("Bind");
    }
    ChangeState(wsBound);

    switch (SocketType) {
    case SOCK_STREAM:
        if (WS(listen)(Handle, ListenBacklog_) == SOCKET_ERROR) return ReportSocketError("Listen");
        ChangeState(wsListening);
        break;
    case SOCK_DGRAM:
        if (MultiCast_) {
            ip_mreq group{};
            group.imr_multiaddr.s_addr = WS(inet_addr)(MultiCastAddrStr_.c_str());
            group.imr_interface.s_addr = PeerAddress.sin_addr.s_addr;
            if (WS(setsockopt)(Handle, IPPROTO_IP, IP_ADD_MEMBERSHIP,
                               reinterpret_cast<const char*>(&group), sizeof group) == SOCKET_ERROR)
                return ReportSocketError("setsockopt(IP_ADD_MEMBERSHIP)");
        }
        ChangeState(wsListening);
        break;
    case SOCK_RAW:
        if (ComponentOptions_.Contains(wsoSIO_RCVALL)) {
            // Capturing every packet of an interface has no counterpart on this platform: the
            // call fails with "Operation not supported on socket".
            const winsock::u_long on = 1;
            winsock::u_long returned = 0;
            if (WinsockCall<decltype(winsock::WSAIoctl)>(WinsockEntry::WSAIoctl)(
                    Handle, 0x98000001, &on, sizeof on, nullptr, 0, &returned) == SOCKET_ERROR)
                return ReportSocketError("WSAIoctl(SIO_RCVALL)");
        }
        ChangeState(wsListening);
        break;
    default:
        return ReportError("Listen: unexpected protocol.");
    }

    EventMask = ListenEvents;
    if (WS(WSAAsyncSelect)(Handle, WindowHandle, WM_SOCKET_SELECT, EventMask) == SOCKET_ERROR)
        return ReportSocketError("WSAASyncSelect");
}

SOCKET TCustomWSocket::Accept() {
    if (State_ != wsListening) {
        WS(WSASetLastError)(WSAEINVAL);
        ReportSocketError("not a listening socket");
        return INVALID_SOCKET;
    }
    sockaddr_storage caller{};
    int len = sizeof caller;
    AcceptedHandle = WS(accept)(Handle, reinterpret_cast<sockaddr*>(&caller), &len);
    if (AcceptedHandle == INVALID_SOCKET) {
        ReportSocketError("Accept");
        return AcceptedHandle;
    }
    // The caller's address: IPv4 in PeerAddress as before, IPv6 beside it (the port in both).
    const TSocketAddress from = TSocketAddress::FromRecord(caller, len);
    if (from.Family() == AF_INET6) {
        PeerAddress6 = reinterpret_cast<const sockaddr_in6*>(from.Record())->sin6_addr;
        PeerAddress.sin_port = WS(htons)(from.Port());
    } else {
        PeerAddress = from.AsV4();
    }
    return AcceptedHandle;
}

void TCustomWSocket::Dup(SOCKET NewHandle) {
    if (NewHandle == 0 || NewHandle == INVALID_SOCKET) {
        WS(WSASetLastError)(WSAEINVAL);
        return ReportSocketError("Dup");
    }
    if (State_ != wsClosed) {
        if (WS(closesocket)(Handle) == SOCKET_ERROR) return ReportSocketError("Dup (closesocket)");
        ChangeState(wsClosed);
    }
    BeginConnection();
    Handle = NewHandle;
    int size = sizeof SendBufferSize;
    if (GuardedGetsockopt(Handle, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<char*>(&SendBufferSize),
                          &size) == SOCKET_ERROR)
        return ReportSocketError("getsockopt(SO_SNDBUF)");
    SetLinger();
    EventMask = DupEvents;
    if (WS(WSAAsyncSelect)(Handle, WindowHandle, WM_SOCKET_SELECT, EventMask) == SOCKET_ERROR)
        return ReportSocketError("WSAAsyncSelect");
    DupDone();
}

void TCustomWSocket::DupDone() { ChangeState(wsConnected); }
