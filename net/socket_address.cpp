#include "socket_address.h"

#include "socket_exception.h"
#include "text_util.h"
#include "winsock_binding.h"
#include "wsocket_resolve.h"

#include <cstring>

using namespace winsock;

TSocketAddress TSocketAddress::V4(uint32_t NetworkOrder, uint16_t Port) {
    TSocketAddress a;
    a.Address.V4.sin_addr.s_addr = NetworkOrder;
    a.SetPort(Port);
    return a;
}

TSocketAddress TSocketAddress::V6(const in6_addr& Address, uint16_t Port) {
    TSocketAddress a;
    a.Address.V6 = {};
    a.Address.V6.sin6_family = AF_INET6;
    a.Address.V6.sin6_addr = Address;
    a.SetPort(Port);
    return a;
}

TSocketAddress TSocketAddress::FromRecord(const sockaddr_storage& Record, int Length) {
    TSocketAddress a;
    const auto* raw = reinterpret_cast<const sockaddr*>(&Record);
    if (raw->sa_family == AF_INET6 && Length >= static_cast<int>(sizeof(sockaddr_in6)))
        std::memcpy(&a.Address.V6, &Record, sizeof(sockaddr_in6));
    else if (Length >= static_cast<int>(sizeof(sockaddr_in)))
        std::memcpy(&a.Address.V4, &Record, sizeof(sockaddr_in));
    return a;
}

uint16_t TSocketAddress::Port() const {
    const u_short net = Family() == AF_INET6 ? Address.V6.sin6_port : Address.V4.sin_port;
    return static_cast<uint16_t>((net & 0xFF) << 8 | net >> 8);
}

void TSocketAddress::SetPort(uint16_t Port) {
    const auto net = static_cast<u_short>((Port & 0xFF) << 8 | Port >> 8);
    if (Family() == AF_INET6)
        Address.V6.sin6_port = net;
    else
        Address.V4.sin_port = net;
}

int TSocketAddress::RecordLength() const {
    return Family() == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

bool TSocketAddress::operator==(const TSocketAddress& Other) const {
    return RecordLength() == Other.RecordLength() &&
           std::memcmp(&Address, &Other.Address, static_cast<size_t>(RecordLength())) == 0;
}

namespace {
bool isV4Mapped(const in6_addr& a) {
    static const unsigned char prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    return std::memcmp(a.u.Byte, prefix, sizeof prefix) == 0;
}
}  // namespace

std::string TSocketAddress::Text() const {
    if (Family() != AF_INET6) return GuardedInetNtoa(Address.V4.sin_addr);
    const in6_addr& a = Address.V6.sin6_addr;
    if (isV4Mapped(a)) {
        in_addr v4;
        std::memcpy(&v4.s_addr, a.u.Byte + 12, 4);
        return GuardedInetNtoa(v4);
    }
    char text[INET6_ADDRSTRLEN];
    const char* r = WS(inet_ntop)(AF_INET6, &a, text, sizeof text);
    return r ? std::string(r) : std::string("error");
}

std::string AddressText(const sockaddr_storage& Record, int Length) {
    return TSocketAddress::FromRecord(Record, Length).Text();
}

std::optional<in6_addr> ParseIPv6Literal(const std::string& Text) {
    std::string t = TrimBlanks(Text);
    if (t.size() >= 2 && t.front() == '[' && t.back() == ']') t = t.substr(1, t.size() - 2);
    // Every IPv6 text has a colon; names and dotted addresses have none, and are never sent to
    // the parser (which would load the newer library for nothing).
    if (t.find(':') == std::string::npos || t.size() >= INET6_ADDRSTRLEN) return std::nullopt;
    in6_addr a{};
    if (WS(inet_pton)(AF_INET6, t.c_str(), &a) != 1) return std::nullopt;
    return a;
}

namespace {
// The IPv6 addresses of a name, in the resolver's order; none when it has none or the look-up
// fails (the IPv4 look-up then reports).
std::vector<TSocketAddress> ipv6AddressesOf(const std::string& Name) {
    std::vector<TSocketAddress> found;
    addrinfo hints{};
    hints.ai_family = AF_INET6;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (WS(getaddrinfo)(Name.c_str(), nullptr, &hints, &list) != 0) return found;
    for (const addrinfo* a = list; a; a = a->ai_next) {
        if (a->ai_family != AF_INET6) continue;
        sockaddr_in6 record;
        std::memcpy(&record, a->ai_addr, sizeof record);
        const TSocketAddress address = TSocketAddress::V6(record.sin6_addr, 0);
        bool seen = false;
        for (const auto& known : found) seen = seen || known == address;
        if (!seen) found.push_back(address);
    }
    WS(freeaddrinfo)(list);
    return found;
}

// The IPv4 addresses of a host record, in its order.
std::vector<TSocketAddress> ipv4AddressesOf(const hostent* Host) {
    std::vector<TSocketAddress> found;
    for (char** a = Host->h_addr_list; a && *a; ++a) {
        uint32_t addr;
        std::memcpy(&addr, *a, 4);
        found.push_back(TSocketAddress::V4(addr, 0));
    }
    return found;
}
}  // namespace

std::vector<TSocketAddress> WSocketResolveHostAddresses(const std::string& Host) {
    if (Host.empty() || Host.size() > 256 || IsDottedAddress(Host))
        return {TSocketAddress::V4(WSocketResolveHost(Host), 0)};
    if (const auto literal = ParseIPv6Literal(Host)) return {TSocketAddress::V6(*literal, 0)};
    const std::string trimmed = TrimBlanks(Host);
    std::vector<TSocketAddress> v6 = ipv6AddressesOf(trimmed);
    // Without an IPv6 address the connection goes exactly where it always went.
    if (v6.empty()) return {TSocketAddress::V4(WSocketResolveHost(Host), 0)};
    const hostent* host = WS(gethostbyname)(trimmed.c_str());
    const std::vector<TSocketAddress> v4 = host ? ipv4AddressesOf(host) : std::vector<TSocketAddress>{};
    std::vector<TSocketAddress> order;
    for (size_t i = 0; i < v6.size() || i < v4.size(); ++i) {
        if (i < v6.size()) order.push_back(v6[i]);
        if (i < v4.size()) order.push_back(v4[i]);
    }
    return order;
}
