#include "wsocket_resolve.h"

#include "socket_exception.h"
#include "text_util.h"
#include "winsock_binding.h"
#include "wsocket.h"

#include <cstring>

namespace {
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isBlank(char c) { return c == ' '; }
}  // namespace

int LeadingNumber(const std::string& Text) {
    std::size_t i = 0;
    while (i < Text.size() && isBlank(Text[i])) ++i;
    // No overflow check: the value wraps like the 32-bit accumulator it stands for.
    uint32_t value = 0;
    for (; i < Text.size() && isDigit(Text[i]); ++i) value = value * 10 + uint32_t(Text[i] - '0');
    return static_cast<int>(value);
}

bool IsDottedAddress(const std::string& Text) {
    std::size_t i = 0;
    while (i < Text.size() && isBlank(Text[i])) ++i;
    if (i < Text.size() && Text[i] == '.') return false;
    int dots = 0;
    uint32_t group = 0;
    for (; i < Text.size(); ++i) {
        const char c = Text[i];
        if (c == '.') {
            ++dots;
            if (dots > 3 || group > 255 || i + 1 == Text.size() || !isDigit(Text[i + 1]))
                return false;
            group = 0;
        } else if (isDigit(c)) {
            // Saturate so that a long run of digits cannot wrap back into range.
            group = group > 0xFFFFFF ? 0xFFFFFFF : group * 10 + uint32_t(c - '0');
        } else {
            while (i < Text.size() && isBlank(Text[i])) ++i;
            if (i == Text.size()) break;
            return false;
        }
    }
    return dots == 3 && group <= 255;
}

uint32_t WSocketResolveHost(const std::string& Host) {
    if (Host.empty() || Host.size() > 256)
        throw ESocketException("WSocketResolveHost: '" + Host + "' Invalid Hostname.");
    const std::string trimmed = TrimBlanks(Host);
    if (IsDottedAddress(Host)) {
        const uint32_t addr = WS(inet_addr)(trimmed.c_str());
        if (addr == winsock::INADDR_NONE && trimmed != "255.255.255.255")
            throw ESocketException("WSocketResolveHost: '" + Host + "' Invalid IP address.");
        return addr;
    }
    const winsock::hostent* host = WS(gethostbyname)(trimmed.c_str());
    if (!host || !host->h_addr_list || !host->h_addr_list[0])
        throw ESocketException(
            FormatText("WSocketResolveHost: Cannot convert host address '%s', Error #%d",
                       {Host, static_cast<long long>(WS(WSAGetLastError)())}));
    uint32_t addr;
    std::memcpy(&addr, host->h_addr_list[0], 4);
    return addr;
}

uint16_t WSocketResolvePort(const std::string& Port, const std::string& Proto) {
    if (Port.empty() || Port.size() >= 32) throw ESocketException("WSocketResolvePort: Invalid Port.");
    if (Proto.empty() || Proto.size() >= 32)
        throw ESocketException("WSocketResolvePort: Invalid Proto.");
    if (isDigit(Port[0])) return static_cast<uint16_t>(LeadingNumber(Port));
    const std::string port = TrimBlanks(Port), proto = TrimBlanks(Proto);
    const winsock::servent* entry =
        WS(getservbyname)(port.c_str(), proto.empty() ? nullptr : proto.c_str());
    if (!entry)
        throw ESocketException(FormatText("WSocketResolvePort: Cannot convert port '%s', Error #%d",
                                          {Port, static_cast<long long>(WS(WSAGetLastError)())}));
    return WS(ntohs)(static_cast<winsock::u_short>(entry->s_port));
}

int WSocketResolveProto(const std::string& Proto) {
    if (Proto.empty() || Proto.size() >= 32)
        throw ESocketException("WSocketResolveProto: Invalid Protocol.");
    if (isDigit(Proto[0])) return LeadingNumber(Proto);
    const std::string proto = LowerCase(TrimBlanks(Proto));
    if (proto == "tcp") return winsock::IPPROTO_TCP;
    if (proto == "udp") return winsock::IPPROTO_UDP;
    if (proto == "raw") return winsock::IPPROTO_RAW;
    const winsock::protoent* entry = WS(getprotobyname)(proto.c_str());
    if (!entry)
        throw ESocketException(
            FormatText("WSocketResolveProto: Cannot convert protocol '%s', Error #%d",
                       {proto, static_cast<long long>(WS(WSAGetLastError)())}));
    return entry->p_proto;
}
