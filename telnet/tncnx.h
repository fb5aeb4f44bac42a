#pragma once
// TTnCnx: one telnet session over one TWSocket. Telnet commands are taken out of the received
// stream and the server's option negotiation is answered here; the remaining data reaches the
// owner in zero-terminated chunks, one per socket read. What the owner sends goes out unchanged.
// Any handler may destroy the component: the parse it interrupted stops at once, and the socket
// is released once its own handler frames have returned. Reads keep their order whatever a
// handler does: those made while it runs the event loop or left when it throws (and a close
// behind them) are delivered after its own, from the message loop when nothing else comes.
#include "line_wsocket.h"

#include <QPointer>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>

using TTnSessionConnected = std::function<void(QObject* Sender, uint16_t Error)>;
using TTnSessionClosed = std::function<void(QObject* Sender, uint16_t Error)>;
using TTnDataAvailable = std::function<void(QObject* Sender, const char* Buffer, int Len)>;
using TTnDisplay = std::function<void(QObject* Sender, std::string Str)>;

// A SOCKS proxy for the connections that follow (Level "4", "4A" or "5"; empty: none).
struct TTnProxy {
    std::string Level, Server, Port, Usercode, Password;
};

class TTnCnx : public QObject {
public:
    explicit TTnCnx(QObject* Owner = nullptr);
    ~TTnCnx() override;

    void Connect();
    void Close();
    int Send(const void* Data, int Len);
    int SendStr(const std::string& Str);
    TSocketState State() const;

    std::string Port() const { return Port_; }
    void SetPort(const std::string& Value) { Port_ = Value; }
    std::string Host() const { return Host_; }
    void SetHost(const std::string& Value) { Host_ = Value; }
    std::string Location() const { return Location_; }
    void SetLocation(const std::string& Value) { Location_ = Value; }
    std::string TermType() const { return TermType_; }
    void SetTermType(const std::string& Value) { TermType_ = Value; }
    bool LocalEcho() const { return LocalEcho_; }
    void SetLocalEcho(bool Value) { LocalEcho_ = Value; }
    const TTnProxy& Proxy() const { return Proxy_; }
    void SetProxy(const TTnProxy& Value) { Proxy_ = Value; }
    // The proxy's text for the last failed handshake (empty when none failed).
    std::string ProxyFailure() const;
    // A secure connection (TLS) from the next Connect on, and the SHA-256 fingerprint of a
    // certificate the user trusts for the server; why the last secure attempt failed.
    bool Tls() const { return Tls_; }
    void SetTls(bool Value) { Tls_ = Value; }
    std::string TlsTrustedFingerprint() const { return TlsTrustedFingerprint_; }
    void SetTlsTrustedFingerprint(const std::string& Value) { TlsTrustedFingerprint_ = Value; }
    TCustomTlsWSocket::TTlsFailure LastTlsFailure() const;

    TTnSessionConnected OnSessionConnected;
    TTnSessionClosed OnSessionClosed;
    TTnDataAvailable OnDataAvailable;
    TTnDisplay OnDisplay;
    TNotifyEvent OnEndOfRecord;
    TNotifyEvent OnSendLoc;
    TNotifyEvent OnTermType;
    TNotifyEvent OnLocalEcho;

    static constexpr int CollectSize = 2049;  // delivered at once when full
    static constexpr int ReadSize = 2048;     // one socket read

protected:
    // The parser, byte by byte and as runs; DeliverCollected hands the collected data over.
    // Both return false when a handler destroyed the component (nothing of it may be touched).
    // Parse keeps *Done at the count of bytes taken whenever a handler may run, so that a
    // handler that throws leaves the rest of the read known.
    void ParseByte(uint8_t B);
    bool Parse(const uint8_t* Data, int Len, int* Done = nullptr);
    bool DeliverCollected();
    TWSocket* Socket() const { return Socket_; }
    std::size_t SubnegotiationBytesHeld() const { return SubBytes_.size(); }

private:
    enum class TParseState : uint8_t {
        Data,         // plain data; an IAC starts a command
        Command,      // after IAC: the command byte
        Option,       // after IAC WILL/WONT/DO/DONT: the option byte
        Subnegotiation,  // after IAC SB: collecting up to SE
    };

    void SocketSessionConnected(uint16_t Error);
    void SocketSessionClosed(uint16_t Error);
    void SocketDataAvailable();
    void DrainBacklog();
    void PostDrain();
    void CollectByte(uint8_t B);
    void HandleCommand(uint8_t B);
    void HandleOption(uint8_t Verb, uint8_t Option);
    void HandleSubnegotiation(const std::string& Bytes);
    void SendNegotiation(uint8_t Verb, uint8_t Option);
    void Reply(const char* Bytes, int Len);
    void ResetParser();

    // A parse or delivery on the stack; the destructor marks every one of them.
    struct TFrame {
        explicit TFrame(TTnCnx* Cnx) : Cnx_(Cnx), Outer(Cnx->Frames_) { Cnx->Frames_ = this; }
        ~TFrame() {
            if (!Destroyed) Cnx_->Frames_ = Outer;
        }
        TFrame(const TFrame&) = delete;
        TFrame& operator=(const TFrame&) = delete;
        TTnCnx* Cnx_;
        TFrame* Outer;
        bool Destroyed = false;
    };
    TFrame* Frames_ = nullptr;
    // Reads not parsed yet, oldest first: those made while a handler ran the event loop
    // mid-parse, or left by a handler that threw; and a close that came behind them.
    std::deque<std::string> Backlog_;
    bool CloseHeld_ = false;
    uint16_t HeldCloseError_ = 0;
    bool DrainPosted_ = false;
    // Counts the parser resets, so that a parse can tell that a handler connected anew.
    unsigned ParserGeneration_ = 0;

    QPointer<TWSocket> Socket_;
    std::string Port_ = "23";
    std::string Host_;
    std::string Location_ = "TNCNX";
    std::string TermType_ = "VT100";
    bool LocalEcho_ = false;
    TTnProxy Proxy_;
    bool Tls_ = false;
    std::string TlsTrustedFingerprint_;

    // The collect buffer (CollectSize bytes and room for the terminating 0) and a spare one: a
    // chunk is handed to the owner in the buffer it was collected in, and collecting goes on in
    // the spare (see DeliverCollected).
    std::unique_ptr<char[]> Collected_;
    std::unique_ptr<char[]> Spare_;
    int CollectedCount_ = 0;

    TParseState ParseState_ = TParseState::Data;
    uint8_t PendingVerb_ = 0;
    std::string SubBytes_;
};
