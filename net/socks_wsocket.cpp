// The SOCKS handshake. The TCP connection goes to the proxy; once it stands, the requests go out
// from FireSessionConnected and the proxy's replies are taken in FireDataAvailable until the
// tunnel is up, and only then is the owner told that the session is connected.
//
//   version 5:   connected -> 5,1,method -> [method choice] -> (credentials -> [auth result])
//                -> connect request -> [connect reply] -> tunnel up
//   version 4/4A: connected -> connect request -> [connect reply] -> tunnel up
#include "socks_wsocket.h"

#include "socket_exception.h"
#include "text_util.h"
#include "winsock_binding.h"
#include "wsocket_resolve.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

std::string exceptionClassName(const std::exception& E) {
    if (dynamic_cast<const ESocketException*>(&E)) return "ESocketException";
    return "Exception";
}

// Whether Host has IPv6 addresses but no IPv4 one (its IPv4 look-up has just failed).
bool hasIPv6Only(const std::string& Host) {
    try {
        const auto all = WSocketResolveHostAddresses(Host);
        return !all.empty() && all.front().Family() == winsock::AF_INET6;
    } catch (const std::exception&) {
        return false;
    }
}

void appendPort(std::string& Request, int Port) {
    Request += static_cast<char>((Port >> 8) & 0xFF);
    Request += static_cast<char>(Port & 0xFF);
}

// Values do not fit the request any more (changed between Connect and the request).
constexpr int SocksRequestTooLong = 20014;
// The proxy ended the connection instead of replying. Some proxies answer an unreachable
// target, a name they cannot resolve or an unacceptable method offer that way.
constexpr int SocksProxyClosed = 20018;
const char* const SocksProxyClosedText = "socks server closed the connection";
// Version 4 carries IPv4 addresses only.
constexpr int SocksNoIPv6 = 20019;
const char* const SocksNoIPv6Text = "socks 4 cannot reach an IPv6 address, use socks 4A or 5";

}  // namespace

// --- Properties ---------------------------------------------------------------------------

void TCustomSocksWSocket::SetSocksLevel(const std::string& Value) {
    if (State_ != wsClosed) return ReportError("Can't change socks level if not closed");
    if (Value != "4" && Value != "5" && Value != "4A" && Value != "4a")
        return ReportError("Invalid socks level. Must be 4, 4A or 5.");
    SocksLevel_ = Value == "4a" ? "4A" : Value;
}

void TCustomSocksWSocket::SetSocksServer(const std::string& Value) {
    if (State_ != wsClosed) return ReportError("Can't change socks server if not closed");
    SocksServer_ = TrimBlanks(Value);
    SocksServerAssigned = !SocksServer_.empty();
    // The peer address and port resolved last may be another proxy's or the target's own (a
    // Connect through a proxy that failed before it started leaves the proxy's behind).
    AddrResolved = PortResolved = false;
}

void TCustomSocksWSocket::SetSocksPort(const std::string& Value) {
    if (State_ != wsClosed) return ReportError("Can't change socks port if not closed");
    SocksPort_ = TrimBlanks(Value);
    SocksPortAssigned = !SocksPort_.empty();
    PortResolved = false;
}

TSocksVersion TCustomSocksWSocket::Version() const {
    if (SocksLevel_ == "4") return svSocks4;
    if (SocksLevel_ == "4A") return svSocks4A;
    return svSocks5;
}

void TCustomSocksWSocket::ResetToDefaults() {
    TCustomWSocket::ResetToDefaults();
    ClearSocksSettings();
    SocksSettingsCleared = false;
    SocksLeftoverCount = 0;
    SocksLeftoverPos = 0;
}

// The proxy settings of one connection. The close of a connection clears them before the owner
// hears of it: ResetToDefaults comes too late for a handler of OnSessionClosed that connects
// anew (the close then leaves the new connection's settings alone).
void TCustomSocksWSocket::ClearSocksSettings() {
    // The peer address resolved for a tunnel is the proxy's: the next Connect resolves its own.
    if (SocksServerAssigned) AddrResolved = PortResolved = false;
    SetSocksState(ssIdle);
    SocksServer_.clear();
    SocksPort_.clear();
    SocksLevel_ = "5";
    SocksServerAssigned = false;
    SocksPortAssigned = false;
}

// Every change of the handshake's state passes here.
void TCustomSocksWSocket::SetSocksState(TSocksState Next) { SocksState = Next; }

// --- Events of this layer -----------------------------------------------------------------

void TCustomSocksWSocket::FireSocksConnected(uint16_t ErrCode) {
    if (OnSocksConnected) OnSocksConnected(this, ErrCode);
}

void TCustomSocksWSocket::FireSocksError(int Error, const std::string& Msg) {
    if (OnSocksError) OnSocksError(this, Error, Msg);
}

void TCustomSocksWSocket::FireSocksAuthState(TSocksAuthState AuthState) {
    if (OnSocksAuthState) OnSocksAuthState(this, AuthState);
}

// --- Connecting through the proxy ---------------------------------------------------------

void TCustomSocksWSocket::Connect() {
    // A socket in use is refused by the plain Connect, before anything here is touched.
    if (Handle != winsock::INVALID_SOCKET && State_ != wsClosed) return TCustomWSocket::Connect();
    // Bytes of an earlier tunnel that its owner never read are no data of this connection (one
    // started from OnSessionClosed comes before the close has reset anything).
    SocksLeftoverCount = 0;
    SocksLeftoverPos = 0;
    if (!SocksServerAssigned) return TCustomWSocket::Connect();
    if (LowerCase(ProtoText) != "tcp")
        return ReportError("tcp is the only protocol supported thru socks server");
    const bool offerCredentials =
        Version() == svSocks5 && SocksAuthentication_ == socksAuthenticateUsercode;
    const std::string problem = SocksRequestProblem(Version(), AddrText, SocksUsercode_,
                                                    SocksPassword_, offerCredentials);
    if (!problem.empty()) return ReportError(problem);
    try {
        // The plain Connect opens the connection to PeerAddress: the proxy's address, marked
        // resolved so that it stays. It is resolved for every attempt: an address resolved
        // before may be the last direct connection's target. PortNumber keeps the target's
        // port for the request.
        PeerAddress.sin_port = WS(htons)(WSocketResolvePort(SocksPort_, ProtoText));
        PortResolved = true;
        UsePeerAddresses(ResolvePeerAddresses(SocksServer_));
        AddrResolved = true;
        PortNumber = WSocketResolvePort(PortText, ProtoText);
        SetSocksState(ssMethodChoice);
        SocksReply.Start(srMethodChoice);
    } catch (const std::exception& E) {
        return ReportError(std::string("connect: ") + E.what());
    }
    TCustomWSocket::Connect();
}

void TCustomSocksWSocket::Listen() {
    if (SocksServerAssigned) return ReportError("Listening is not supported thru socks server");
    TCustomWSocket::Listen();
}

void TCustomSocksWSocket::FireSessionConnected(uint16_t Error) {
    if (SocksState == ssMethodChoice) {
        // The connection to the proxy: the owner hears of the session once the tunnel stands,
        // or now when the proxy could not be reached.
        const SOCKET connection = Handle;
        FireSocksConnected(Error);
        // Closed by the handler, or another attempt started from it: that one has its own.
        if (Handle != connection) return;
        if (Error == 0) {
            if (SocksState != ssMethodChoice) return;
            if (Version() != svSocks5) return SendSocksConnectRequest();
            // Method offer:
            //   +-----+----------+---------+
            //   | VER | NMETHODS | METHODS |    5, 1, 0 (none) or 2 (user name and password)
            //   +-----+----------+---------+
            SocksMethodOffered = SocksAuthentication_ == socksAuthenticateUsercode ? 2 : 0;
            return SendRequest(std::string{5, 1, static_cast<char>(SocksMethodOffered)});
        }
    }
    TCustomWSocket::FireSessionConnected(Error);
}

void TCustomSocksWSocket::FireSessionClosed(uint16_t Error) {
    if (SocksFailureUnreported) {
        // The owner closed the socket from OnSocksError: the failed attempt still ends as every
        // failed one does, with OnSessionConnected and the failure's code, then the close.
        // The close may also be the proxy's own, reported while OnSocksError still runs (it
        // waits in a nested loop): then the socket is still open here, and its close is still
        // to be reported all the same.
        const uint16_t code = *std::exchange(SocksFailureUnreported, std::nullopt);
        const SOCKET connection = Handle;
        SetSocksState(ssIdle);
        FireSessionConnected(code);
        // The handler started another attempt: this close is no event of that one.
        if (Handle != connection && Handle != winsock::INVALID_SOCKET) return;
        Error = code;
    } else {
        if (SocksState == ssAuthResult) FireSocksAuthState(sasFailed);
        // The connection to the proxy ended under a handshake that was waiting for a reply: the
        // tunnel failed, and the owner hears so as from any failed attempt (a close the owner
        // made itself is no failure of the proxy).
        if (SocksState != ssIdle && State_ == wsConnected) {
            const SOCKET connection = Handle;
            LastSocksFailure_ = {SocksProxyClosed, SocksProxyClosedText, {}};
            SocksFailureUnreported = SocksProxyClosed;
            FireSocksError(SocksProxyClosed, SocksProxyClosedText);
            // Reported by a close the handler made, or ended by another attempt it started.
            if (!std::exchange(SocksFailureUnreported, std::nullopt) || Handle != connection)
                return;
            SetSocksState(ssIdle);
            FireSessionConnected(SocksProxyClosed);
            // The owner has started another attempt. One that only closed this one still hears
            // of the close: it is under way, so that Close reported nothing.
            if (Handle != connection && Handle != winsock::INVALID_SOCKET) return;
            Error = SocksProxyClosed;
        }
    }
    if (!std::exchange(SocksSettingsCleared, false)) ClearSocksSettings();
    TCustomWSocket::FireSessionClosed(Error);
}

// A close made while OnSocksError reports a failure: when the failure came with the proxy's
// own close, that close is under way and counted as reported; it is reported now, as the end
// of the failed attempt (see FireSessionClosed).
void TCustomSocksWSocket::DoClose(bool ShutFirst, uint16_t Error) {
    if (SocksFailureUnreported && Handle != winsock::INVALID_SOCKET && State_ != wsClosed)
        CloseReported = false;
    TCustomWSocket::DoClose(ShutFirst, Error);
}

// The handshake's own requests are none of the owner's business: an owner that sends its
// queue on OnDataSent or OnSendData would put its bytes into the handshake.
void TCustomSocksWSocket::FireDataSent(uint16_t Error) {
    if (SocksState != ssIdle) return;
    TCustomWSocket::FireDataSent(Error);
}

void TCustomSocksWSocket::FireSendData(int Count) {
    if (SocksState != ssIdle) return;
    TCustomWSocket::FireSendData(Count);
}

// The proxy broke the connection while a request went out: the tunnel failed, as when it
// closes instead of replying.
void TCustomSocksWSocket::ConnectionLost(int Error) {
    if (SocksState == ssIdle) return TCustomWSocket::ConnectionLost(Error);
    FailSocks(Error, "data send error");
}

// --- The proxy's replies ------------------------------------------------------------------

bool TCustomSocksWSocket::FireDataAvailable(uint16_t Error) {
    if (SocksState == ssIdle) return TCustomWSocket::FireDataAvailable(Error);
    if (Error != 0) {
        FailSocks(Error, "data receive error");
        return false;
    }
    const int n = Receive(SocksReply.Free(), SocksReply.Room());
    if (n < 0) return true;  // nothing there after all (a spare notification)
    if (SocksState == ssMethodChoice && Version() != svSocks5) {
        // Versions 4 and 4A send their request as soon as the proxy is reached.
        FailSocks(20001, "TWSocket logic error");
        return true;
    }
    return HandleReply(SocksReply.Added(n));
}

bool TCustomSocksWSocket::HandleReply(TSocksOutcome Outcome) {
    switch (Outcome) {
    case soNeedMore: return true;
    case soNoAuth:
        if (SocksMethodOffered == 2) {
            const SOCKET connection = Handle;
            FireSocksAuthState(sasNotRequired);
            // Closed by the handler, or another attempt started from it.
            if (SocksState == ssIdle || Handle != connection) return true;
        }
        SendSocksConnectRequest();
        return true;
    case soUserPassword:
        // A proxy may only choose a method that was offered: the credentials go to a proxy
        // only when the owner asked for authentication.
        if (SocksMethodOffered != 2) {
            FailSocks(20003, "authentification method not acceptable",
                      HexQuote(SocksReply.Data(), 2));
            return true;
        }
        SendSocksCredentials();
        return true;
    case soAuthAccepted: {
        const SOCKET connection = Handle;
        FireSocksAuthState(sasSucceeded);
        if (SocksState == ssIdle || Handle != connection) return true;
        SendSocksConnectRequest();
        return true;
    }
    case soConnected:
        if (SocksReply.Kind() == srConnectReply5) {
            SocksLeftoverPos = SocksReply.ReplyLength();
            SocksLeftoverCount = SocksReply.Count() - SocksReply.ReplyLength();
        }
        return Succeed();
    case soFailed:
        FailSocks(SocksReply.FailCode(), SocksReply.FailText(), SocksReply.Quote());
        return true;
    }
    return true;
}

// The tunnel stands: the owner is told, then offered what came with or after the reply.
bool TCustomSocksWSocket::Succeed() {
    SetSocksState(ssIdle);
    LastSocksFailure_ = {};
    const SOCKET connection = Handle;
    FireSessionConnected(0);
    if (Handle != connection) return true;  // closed or replaced by the handler
    // The owner's first OnDataSent, as a direct connection gives it once it stands.
    if (AllSent) PostOwnNotification(winsock::FD_WRITE);
    // Paused by the handler: Resume offers the bytes that came with the reply.
    if (Paused) return true;
    bool handled = FireDataAvailable(0);
    // The platform will not announce bytes that are already here: a handler that reads them
    // in small pieces is called again while it makes progress.
    while (handled && SocksLeftoverCount > 0 && Handle == connection && !Paused) {
        const int before = SocksLeftoverCount;
        handled = FireDataAvailable(0);
        if (SocksLeftoverCount == before) break;
    }
    return handled;
}

int TCustomSocksWSocket::Resume() {
    const int result = TCustomWSocket::Resume();
    // Bytes that came behind the proxy's reply are here already: no platform notice comes.
    if (SocksLeftoverCount > 0) PostOwnNotification(winsock::FD_READ);
    return result;
}

void TCustomSocksWSocket::FailSocks(int Code, const std::string& Text, const std::string& Reply) {
    LastSocksFailure_ = {Code, Text, Reply};
    const SOCKET connection = Handle;
    SocksFailureUnreported = static_cast<uint16_t>(Code);
    FireSocksError(Code, Text);
    // A handler that closed the socket has had the failure reported by that close; one that
    // started another attempt (directly, or through the proxy again) has ended this one, and
    // nothing of it may touch the new one.
    if (!std::exchange(SocksFailureUnreported, std::nullopt) || Handle != connection) return;
    SetSocksState(ssIdle);
    FireSessionConnected(static_cast<uint16_t>(Code));
    // A handler that closed the socket, or started another attempt, has dealt with this one.
    if (Handle == connection) DoClose(true, static_cast<uint16_t>(Code));
}

// --- Requests -----------------------------------------------------------------------------

void TCustomSocksWSocket::SendRequest(const std::string& Bytes) {
    try {
        Send(Bytes.data(), static_cast<int>(Bytes.size()));
    } catch (...) {
        // A failed send has closed the socket and reported the close; nothing more to do.
    }
}

void TCustomSocksWSocket::SendSocksConnectRequest() {
    if (Handle == winsock::INVALID_SOCKET) return;
    const std::string problem =
        SocksRequestProblem(Version(), AddrText, SocksUsercode_, SocksPassword_, false);
    if (!problem.empty()) return FailSocks(SocksRequestTooLong, problem);
    SetSocksState(ssConnectReply);
    std::string request;
    switch (Version()) {
    case svSocks4:
    case svSocks4A: {
        // Version 4 and 4A connect request:
        //   +----+----+---------+--------+--------+---+------------+---+
        //   | VN | CD | DSTPORT | DSTIP  | USERID | 0 | (4A) HOST  | 0 |
        //   +----+----+---------+--------+--------+---+------------+---+
        //   | 4  | 1  |    2    |   4    |  var.  |   |    var.    |   |
        //   4A sends the address 0.0.0.1 and lets the proxy resolve HOST.
        SocksReply.Start(srConnectReply4);
        request = {4, 1};
        appendPort(request, PortNumber);
        if (Version() == svSocks4A) {
            request += std::string{0, 0, 0, 1};
        } else {
            if (ParseIPv6Literal(AddrText)) return FailSocks(SocksNoIPv6, SocksNoIPv6Text);
            uint32_t address = 0;
            try {
                address = WSocketResolveHost(AddrText);
            } catch (const std::exception& E) {
                // A name with IPv6 addresses only: the same refusal as for an IPv6 literal.
                if (hasIPv6Only(AddrText)) return FailSocks(SocksNoIPv6, SocksNoIPv6Text);
                const std::string text = exceptionClassName(E) + " " + E.what();
                LastSocksFailure_ = {20017, text, {}};
                const SOCKET connection = Handle;
                FireSocksError(20017, text);
                if (Handle == connection) DoClose(true, 20017);
                return;
            }
            request.append(reinterpret_cast<const char*>(&address), 4);  // network order
        }
        request += SocksUsercode_;
        request += '\0';
        if (Version() == svSocks4A) {
            request += AddrText;
            request += '\0';
        }
        break;
    }
    case svSocks5:
        // Version 5 connect request, the target as a name (dotted addresses too), or an IPv6
        // literal as its 16 bytes:
        //   +-----+-----+------+------+-----+------+----------+
        //   | VER | CMD | RSV  | ATYP | LEN | NAME | DST.PORT |
        //   +-----+-----+------+------+-----+------+----------+
        //   |  5  |  1  |  0   |  3   |  1  | var. |    2     |
        //   |  5  |  1  |  0   |  4   |   16 bytes | DST.PORT |
        SocksReply.Start(srConnectReply5);
        if (const auto v6 = ParseIPv6Literal(AddrText)) {
            request = {5, 1, 0, 4};
            request.append(reinterpret_cast<const char*>(v6->u.Byte), 16);
        } else {
            request = {5, 1, 0, 3, static_cast<char>(AddrText.size())};
            request += AddrText;
        }
        appendPort(request, PortNumber);
        break;
    }
    SendRequest(request);
}

void TCustomSocksWSocket::SendSocksCredentials() {
    if (Handle == winsock::INVALID_SOCKET) return;
    const std::string problem =
        SocksRequestProblem(svSocks5, AddrText, SocksUsercode_, SocksPassword_, true);
    if (!problem.empty()) return FailSocks(SocksRequestTooLong, problem);
    SetSocksState(ssAuthResult);
    SocksReply.Start(srAuthResult);
    const SOCKET connection = Handle;
    FireSocksAuthState(sasStarting);
    // Closed by the handler, or another attempt started from it.
    if (SocksState != ssAuthResult || Handle != connection) return;
    // User name and password (RFC 1929):
    //   +-----+------+-------+------+----------+
    //   | VER | ULEN | UNAME | PLEN | PASSWD   |     VER 1
    //   +-----+------+-------+------+----------+
    std::string request{1, static_cast<char>(SocksUsercode_.size())};
    request += SocksUsercode_;
    request += static_cast<char>(SocksPassword_.size());
    request += SocksPassword_;
    SendRequest(request);
}

// --- Bytes behind the version-5 reply -----------------------------------------------------

int TCustomSocksWSocket::GetRcvdCount() {
    if (SocksLeftoverCount > 0) return SocksLeftoverCount;
    return TCustomWSocket::GetRcvdCount();
}

int TCustomSocksWSocket::RecvRaw(void* Buffer, int Len, int Flags) {
    if (SocksLeftoverCount <= 0 || Len <= 0) return TCustomWSocket::RecvRaw(Buffer, Len, Flags);
    const int n = std::min(Len, SocksLeftoverCount);
    std::memcpy(Buffer, SocksReply.Data() + SocksLeftoverPos, static_cast<size_t>(n));
    SocksLeftoverPos += n;
    SocksLeftoverCount -= n;
    return n;
}
