// Judging the proxy's replies. Each kind is read up to a fixed size and judged on the bytes
// held so far; the socket decides what to send next.
#include "socks_reply.h"

#include <algorithm>
#include <cstdio>

namespace {

// The version-5 reply codes after the version byte (RFC 1928, section 6).
struct TReplyCode {
    int Code;
    const char* Text;
};
constexpr TReplyCode ReplyCodes5[] = {
    {0, nullptr},
    {20004, "general SOCKS server failure"},
    {20005, "connection not allowed by ruleset"},
    {20006, "network unreachable"},
    {20007, "host unreachable"},
    {20008, "connection refused"},
    {20009, "time to live expired"},
    {20010, "command not supported"},
    {20011, "address type not supported"},
};

std::string unassigned(uint8_t Value) { return "unassigned error #" + std::to_string(Value); }

}  // namespace

std::string HexQuote(const char* Data, int Count) {
    std::string text;
    char hex[4];
    for (int i = 0; i < Count; ++i) {
        std::snprintf(hex, sizeof hex, i ? " %02x" : "%02x", static_cast<uint8_t>(Data[i]));
        text += hex;
    }
    return text;
}

void TSocksReplyReader::Start(TSocksReplyKind Kind) {
    Kind_ = Kind;
    Count_ = 0;
    ReplyLength_ = 0;
    FailCode_ = 0;
    FailText_.clear();
    Quote_.clear();
}

int TSocksReplyReader::Room() const {
    switch (Kind_) {
    // The two-byte replies are read in larger pieces: a proxy that sends more than it should
    // is caught by the judgement (authentication) or loses nothing that matters (method
    // choice, after which the proxy waits for the next request).
    case srMethodChoice:
    case srAuthResult: return 127 - Count_;
    // Only the 8 reply bytes: whatever follows is the tunnel's data and stays at the platform.
    case srConnectReply4: return 8 - Count_;
    // Bytes behind the reply are kept and handed out as the tunnel's first data.
    case srConnectReply5: return Capacity - Count_;
    }
    return 0;
}

TSocksOutcome TSocksReplyReader::Added(int N) {
    Count_ += std::clamp(N, 0, Room());
    switch (Kind_) {
    case srMethodChoice: return JudgeMethodChoice();
    case srAuthResult: return JudgeAuthResult();
    case srConnectReply5: return JudgeConnectReply5();
    case srConnectReply4: return JudgeConnectReply4();
    }
    return Fail(20013, "internal error", Count_);
}

TSocksOutcome TSocksReplyReader::Fail(int Code, std::string Text, int QuotedBytes) {
    FailCode_ = Code;
    FailText_ = std::move(Text);
    Quote_ = HexQuote(Data_, std::min(QuotedBytes, Capacity));  // bytes that were held
    return soFailed;
}

// Method choice:
//   +-----+--------+
//   | VER | METHOD |     VER 5; METHOD 0 none, 2 user name and password, 255 none acceptable
//   +-----+--------+
TSocksOutcome TSocksReplyReader::JudgeMethodChoice() {
    if (Count_ < 2) return soNeedMore;
    Count_ = 0;
    if (Byte(0) != 5) return Fail(20002, "socks version error", 2);
    switch (Byte(1)) {
    case 0: return soNoAuth;
    case 2: return soUserPassword;
    }
    return Fail(20003, "authentification method not acceptable", 2);
}

// Authentication result (RFC 1929):
//   +-----+--------+
//   | VER | STATUS |     VER 1; STATUS 0 success, anything else failure
//   +-----+--------+
TSocksOutcome TSocksReplyReader::JudgeAuthResult() {
    if (Count_ >= 1 && Byte(0) != 1) return Fail(20002, "socks version error", Count_);
    if (Count_ > 2) return Fail(20001, "too much data availaible", Count_);
    if (Count_ < 2) return soNeedMore;
    if (Byte(1) != 0) return Fail(20015, "socks authentication failed", 2);
    Count_ = 0;
    return soAuthAccepted;
}

// Version-5 connect reply:
//   +-----+-----+------+------+----------+----------+
//   | VER | REP | RSV  | ATYP | BND.ADDR | BND.PORT |
//   +-----+-----+------+------+----------+----------+
//   |  1  |  1  | 0x00 |  1   | variable |    2     |
//   ATYP 1: 4 address bytes (10 in all); ATYP 3: a length byte and that many name bytes
//   (length + 7 in all); ATYP 4: 16 address bytes (22 in all). Other types are not supported
//   by this client.
TSocksOutcome TSocksReplyReader::JudgeConnectReply5() {
    if (Count_ >= 1 && Byte(0) != 5) return Fail(20002, "socks version error", Count_);
    if (Count_ >= 2 && Byte(1) != 0) {
        const uint8_t rep = Byte(1);
        if (rep < std::size(ReplyCodes5)) return Fail(ReplyCodes5[rep].Code, ReplyCodes5[rep].Text, 2);
        return Fail(20012, unassigned(rep), 2);
    }
    if (Count_ < 5) return soNeedMore;
    int length = 0;
    switch (Byte(3)) {
    case 1: length = 10; break;
    case 3: length = Byte(4) + 7; break;
    case 4: length = 22; break;
    default: return Fail(20011, "address type not supported", 5);
    }
    if (Count_ < length) return soNeedMore;
    ReplyLength_ = length;
    return soConnected;
}

// Version-4 and 4A connect reply:
//   +----+--------+---------+---------+
//   | VN | STATUS | DSTPORT |  DSTIP  |     VN 0; STATUS 90 granted, 91 rejected or failed,
//   +----+--------+---------+---------+     92 no identd, 93 identd user mismatch
//   | 1  |   1    |    2    |    4    |
TSocksOutcome TSocksReplyReader::JudgeConnectReply4() {
    if (Count_ < 8) return soNeedMore;
    Count_ = 0;
    if (Byte(0) != 0) return Fail(20002, "socks version error", 8);
    switch (Byte(1)) {
    case 90: ReplyLength_ = 8; return soConnected;
    case 91: return Fail(20016, "request rejected or failed", 8);
    case 92: return Fail(20008, "connection refused", 8);
    case 93: return Fail(20015, "authentification failed", 8);
    }
    return Fail(20012, unassigned(Byte(1)), 8);
}

std::string SocksRequestProblem(TSocksVersion Version, const std::string& Target,
                                const std::string& Usercode, const std::string& Password,
                                bool WithCredentials) {
    const auto tooLong = [](const std::string& What, size_t Have, int Fits) {
        return "Socks " + What + " too long: " + std::to_string(Have) + " bytes, at most " +
               std::to_string(Fits) + " fit in the request";
    };
    switch (Version) {
    case svSocks4:
        // 4, 1, port (2), address (4), user code, 0.
        if (Usercode.size() > SocksRequestArea - 9u)
            return tooLong("user code", Usercode.size(), SocksRequestArea - 9);
        break;
    case svSocks4A:
        // 4, 1, port (2), 0.0.0.1 (4), user code, 0, host name, 0.
        if (Usercode.size() + Target.size() > SocksRequestArea - 10u)
            return tooLong("user code and target address", Usercode.size() + Target.size(),
                           SocksRequestArea - 10);
        break;
    case svSocks5:
        // 5, 1, 0, 3, name length, name, port (2).
        if (Target.size() > SocksRequestArea - 7u)
            return tooLong("target address", Target.size(), SocksRequestArea - 7);
        // 1, user length, user, password length, password.
        if (WithCredentials && Usercode.size() + Password.size() > SocksRequestArea - 3u)
            return tooLong("user code and password", Usercode.size() + Password.size(),
                           SocksRequestArea - 3);
        break;
    }
    return {};
}
