#pragma once
// A peer or local address of either family in the platform's layout, its usual text form, and
// the look-up that gives every address of a host for a connection.
#include "winsock.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class TSocketAddress {
public:
    TSocketAddress() { Address.V4.sin_family = winsock::AF_INET; }
    static TSocketAddress V4(uint32_t NetworkOrder, uint16_t Port);
    static TSocketAddress V6(const winsock::in6_addr& Address, uint16_t Port);
    // The record getpeername, getsockname or accept filled in (Length bytes of it).
    static TSocketAddress FromRecord(const winsock::sockaddr_storage& Record, int Length);

    int Family() const { return Address.V4.sin_family; }
    uint16_t Port() const;  // host order
    void SetPort(uint16_t Port);
    const winsock::sockaddr* Record() const {
        return reinterpret_cast<const winsock::sockaddr*>(&Address);
    }
    int RecordLength() const;
    const winsock::sockaddr_in& AsV4() const { return Address.V4; }
    // Dotted for IPv4 and for IPv4 reached through an IPv6 socket (::ffff:a.b.c.d); otherwise the
    // compressed IPv6 text (RFC 5952).
    std::string Text() const;
    bool operator==(const TSocketAddress& Other) const;

private:
    union {
        winsock::sockaddr_in V4;
        winsock::sockaddr_in6 V6;
    } Address{};
};

// An IPv6 literal, bare ("2001:db8::5") or in brackets ("[::1]"), blanks around it ignored.
std::optional<winsock::in6_addr> ParseIPv6Literal(const std::string& Text);
// The text of an address record of either family, as TSocketAddress::Text.
std::string AddressText(const winsock::sockaddr_storage& Record, int Length);

// Every address a connection to Host may use, in the order to try them (port 0). A dotted
// address, or a name with IPv4 addresses only, gives exactly what WSocketResolveHost gives, with
// its failure texts; an IPv6 literal gives itself; a name with IPv6 addresses gives them and the
// IPv4 ones alternately, IPv6 first (RFC 8305). Raises ESocketException.
std::vector<TSocketAddress> WSocketResolveHostAddresses(const std::string& Host);
