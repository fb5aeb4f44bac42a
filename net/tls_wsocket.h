#pragma once
// The TLS layer of the socket object, between SOCKS and line mode. With Tls on, the handshake
// starts once the connection stands (through a proxy: once the tunnel stands), and the owner
// hears OnSessionConnected only when it is done and the certificate is accepted: one that
// verifies against the system's trusted certificates for the host name, or the one whose
// SHA-256 fingerprint the owner set in TlsTrustedFingerprint. A failed handshake ends the
// attempt with OnSessionConnected(one of the codes below), then OnSessionClosed, and
// LastTlsFailure says why in plain words and names the certificate. Above this layer, bytes,
// OnSendData and OnDataSent mean the plain text, as on a plain socket. With Tls off it passes
// everything through.
//
// Server side: with TlsServer set, a connection taken over with Dup shakes hands as the server
// before the owner's first bytes go out or any of the client's are offered; a failed handshake
// ends it with OnSessionClosed(code).
#include "socks_wsocket.h"
#include "tls_session.h"

#include <memory>
#include <string>

// The server answered, but not with TLS (a plain port, say).
constexpr uint16_t TlsErrNotTls = 20101;
// The handshake failed: refused by the server, or no version or cipher both sides take.
constexpr uint16_t TlsErrHandshake = 20102;
// The certificate does not verify and is not the one trusted for this server.
constexpr uint16_t TlsErrUntrusted = 20103;
// The connection ended or broke during the handshake.
constexpr uint16_t TlsErrClosed = 20104;
// A record failed its check after the handshake: the connection is ended.
constexpr uint16_t TlsErrBroken = 20105;

class TCustomTlsWSocket : public TCustomSocksWSocket {
public:
    using TCustomSocksWSocket::TCustomSocksWSocket;
    ~TCustomTlsWSocket() override;

    void Connect() override;
    int Resume() override;

    bool Tls() const { return Tls_; }
    void SetTls(bool Value);
    // The name sent to the server and checked against its certificate; empty: Addr.
    std::string TlsHostName() const { return TlsHostName_; }
    void SetTlsHostName(const std::string& Value) { TlsHostName_ = Value; }
    std::shared_ptr<const TTlsServerCredentials> TlsServer() const { return TlsServer_; }
    void SetTlsServer(std::shared_ptr<const TTlsServerCredentials> Value) { TlsServer_ = std::move(Value); }
    // The SHA-256 fingerprint ("AB:CD:...") of a certificate the user accepted for this server.
    std::string TlsTrustedFingerprint() const { return TlsTrustedFingerprint_; }
    void SetTlsTrustedFingerprint(const std::string& Value) { TlsTrustedFingerprint_ = Value; }

    struct TTlsFailure {
        int Code = 0;
        std::string Reason;           // in plain words
        TTlsCertificate Certificate;  // the server's, when it sent one
        std::string Detail;           // the library's reason, for logs
    };
    // The failure of the last attempt, cleared by a handshake that succeeds.
    const TTlsFailure& LastTlsFailure() const { return LastTlsFailure_; }
    // The certificate of the session that stands.
    const TTlsCertificate& TlsCertificate() const { return TlsCertificate_; }
    bool TlsEstablished() const { return TlsState == tlsUp; }

protected:
    // A handshake of this layer or the one below is under way: its bytes are not the owner's.
    bool Negotiating() const { return SocksNegotiating() || TlsState == tlsHandshake; }

    void ResetToDefaults() override;
    void DoClose(bool ShutFirst, uint16_t Error) override;
    int GetRcvdCount() override;
    int AnyPending(winsock::u_long& Pending) override;
    int RecvRaw(void* Buffer, int Len, int Flags) override;
    int RawTransmit(const void* Data, int Len) override;
    int RawSendBlocks(const winsock::WSABUF* Pieces, int Count) override;
    bool FireDataAvailable(uint16_t Error) override;
    void FireSessionConnected(uint16_t Error) override;
    void FireSessionClosed(uint16_t Error) override;
    void FireDataSent(uint16_t Error) override;
    void FireSendData(int Count) override;
    void HandleWriteEvent(TMessage& Msg) override;
    void DupDone() override;

private:
    enum TTlsState : uint8_t {
        tlsOff,        // a plain connection
        tlsWaiting,    // the connection (or the tunnel) is not up yet
        tlsHandshake,  // the handshake runs
        tlsUp,         // the session stands
        tlsFailed,     // the handshake failed; the close follows
    };

    void StartHandshake();
    void AdvanceHandshake();
    void HandshakeDone();
    void FailTls(uint16_t Code, const std::string& Reason);
    // One read from the layer below into the session: what recv returns.
    int PullCipher();
    // Decrypts into the plain-text buffer, up to a bound.
    void FillPlain();
    int TransmitPlain(const winsock::WSABUF* Pieces, int Count);
    // Sends what the session produced; 0, or the error that stopped it (10035: the rest waits
    // for FD_WRITE).
    int FlushCipher();
    bool Buffered() const;
    void PeerEnded(uint16_t Error);
    void ResetSession();

    bool Tls_ = false;
    std::string TlsHostName_;
    std::string TlsTrustedFingerprint_;
    std::shared_ptr<const TTlsServerCredentials> TlsServer_;
    bool Serving = false;  // this connection's handshake is the server's
    TTlsFailure LastTlsFailure_;
    TTlsCertificate TlsCertificate_;

    TTlsState TlsState = tlsOff;
    std::unique_ptr<TTlsSession> Session;
    // Ciphertext for the peer not yet taken by the platform, from CipherOutPos on.
    std::string CipherOut;
    size_t CipherOutPos = 0;
    // Plain-text bytes at the head of the send chain whose ciphertext is in CipherOut: they
    // count as sent once all of it has left.
    int CipherPlain = 0;
    // Decrypted bytes not yet read (taken ahead by RcvdCount).
    std::string PlainIn;
    size_t PlainInPos = 0;
    std::string CipherIn;  // one read's worth from the platform
    bool AnyByteSeen = false;
    bool EndPosted = false;
};
