#pragma once
// The replies of a SOCKS proxy, read without any I/O: the socket appends what it received and
// asks for a verdict. Also the sizes of the requests this client builds.
#include <cstdint>
#include <string>

enum TSocksReplyKind : uint8_t {
    // Version 5 (RFC 1928, RFC 1929).
    srMethodChoice,   // 5, method
    srAuthResult,     // 1, status
    srConnectReply5,  // 5, reply, 0, address type, address, port
    // Versions 4 and 4A.
    srConnectReply4,  // 0, status, port, address
};

enum TSocksOutcome : uint8_t {
    soNeedMore,      // the reply is not complete yet
    soNoAuth,        // method choice: no authentication
    soUserPassword,  // method choice: user name and password
    soAuthAccepted,  // the credentials were accepted
    soConnected,     // the connect reply reports success; ReplyLength() bytes form the reply
    soFailed,        // FailCode(), FailText(); Quote() shows what the proxy sent
};

class TSocksReplyReader {
public:
    // A version-5 connect reply is at most 262 bytes: 4 header bytes, a name of up to 255
    // bytes behind its length byte, 2 port bytes. The area takes the longest reply, so every
    // reply a proxy may legally send can complete.
    static constexpr int Capacity = 262;

    void Start(TSocksReplyKind Kind);  // expects a reply of this kind; nothing held
    TSocksReplyKind Kind() const { return Kind_; }

    // Where received bytes go and how many may be read now for this kind of reply.
    char* Free() { return Data_ + Count_; }
    int Room() const;
    // Counts N more bytes (at most Room()) and judges what is held.
    TSocksOutcome Added(int N);

    int Count() const { return Count_; }
    const char* Data() const { return Data_; }
    int ReplyLength() const { return ReplyLength_; }
    int FailCode() const { return FailCode_; }
    const std::string& FailText() const { return FailText_; }
    const std::string& Quote() const { return Quote_; }

private:
    TSocksOutcome Fail(int Code, std::string Text, int QuotedBytes);
    TSocksOutcome JudgeMethodChoice();
    TSocksOutcome JudgeAuthResult();
    TSocksOutcome JudgeConnectReply5();
    TSocksOutcome JudgeConnectReply4();
    uint8_t Byte(int I) const { return static_cast<uint8_t>(Data_[I]); }

    TSocksReplyKind Kind_ = srMethodChoice;
    char Data_[Capacity] = {};
    int Count_ = 0;
    int ReplyLength_ = 0;
    int FailCode_ = 0;
    std::string FailText_;
    std::string Quote_;
};

// Requests are built in 128-byte areas. That is this client's own limit: it holds a host name
// of up to 121 bytes and a user code of up to 119, more than any real proxy account or host
// name needs, and a value that does not fit is refused before anything goes on the wire, so a
// request is never cut short or overrun.
constexpr int SocksRequestArea = 128;

enum TSocksVersion : uint8_t { svSocks4, svSocks4A, svSocks5 };

// The text that refuses the values when a request does not fit its area; empty when all fit.
// Credentials are checked only when WithCredentials (the user name and password method is
// offered).
std::string SocksRequestProblem(TSocksVersion Version, const std::string& Target,
                                const std::string& Usercode, const std::string& Password,
                                bool WithCredentials);

// Bytes as "05 ff" for failure reports.
std::string HexQuote(const char* Data, int Count);
