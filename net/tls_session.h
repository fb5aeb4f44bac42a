#pragma once
// One client-side TLS session over memory buffers: the bytes that arrive from the peer are
// written into it, the bytes it produces for the peer are taken out of it, and the socket layer
// moves both. It knows nothing of sockets or events. TLS 1.2 or later, the server name sent
// (SNI) and checked against the certificate, the system's trusted certificates (or those named
// by SSL_CERT_FILE / SSL_CERT_DIR).
#include <memory>
#include <string>

// What a person needs to judge a certificate.
struct TTlsCertificate {
    std::string Subject;      // who it names
    std::string Issuer;       // who signed it
    std::string NotBefore;    // valid from, "YYYY-MM-DD hh:mm:ss UTC"
    std::string NotAfter;     // valid until
    std::string Fingerprint;  // SHA-256 of the certificate, "AB:CD:..." (32 pairs)
    bool Present() const { return !Fingerprint.empty(); }
};

// A server's certificate chain and key, loaded once and shared by its connections.
class TTlsServerCredentials {
public:
    // Null, with Error set to the reason, when the files cannot be used.
    static std::shared_ptr<const TTlsServerCredentials> Load(const std::string& CertFile,
                                                             const std::string& KeyFile,
                                                             std::string& Error);
    ~TTlsServerCredentials();
    TTlsServerCredentials(const TTlsServerCredentials&) = delete;
    TTlsServerCredentials& operator=(const TTlsServerCredentials&) = delete;

private:
    TTlsServerCredentials() = default;
    void* Context = nullptr;  // the library's context
    friend class TTlsSession;
};

class TTlsSession {
public:
    enum class TStep { Done, WantMore, Failed };
    enum class TRead { Data, WantMore, Closed, Failed };

    // HostName: sent as SNI and checked against the certificate (an IP address is checked as one).
    explicit TTlsSession(const std::string& HostName);
    // The server's end of a connection.
    explicit TTlsSession(const TTlsServerCredentials& Credentials);
    ~TTlsSession();
    TTlsSession(const TTlsSession&) = delete;
    TTlsSession& operator=(const TTlsSession&) = delete;

    // Bytes from the peer.
    void PutIncoming(const char* Data, int Len);
    // Ciphertext bytes received but not yet taken by the session.
    int IncomingBuffered() const;
    // Bytes for the peer, appended to Out.
    void TakeOutgoing(std::string& Out);

    TStep Handshake();
    // Up to Len bytes of plain text; Got is set for TRead::Data.
    TRead Read(char* Buffer, int Len, int& Got);
    // Decrypted bytes the session holds ready for Read.
    int PlainBuffered() const;
    // Encrypts Len bytes (all of them: the outgoing buffer grows as needed).
    bool Write(const char* Data, int Len);
    // Queues the close alert.
    void Shutdown();

    // After the handshake: whether the certificate chain verified for the host name, and if not,
    // why, in plain words. The peer's certificate, when it sent one.
    bool Verified() const;
    std::string VerifyReason() const;
    TTlsCertificate PeerCertificate() const;
    // The library's reason for the last failure (for logs, never for the user).
    std::string LastLibraryError() const { return LastError_; }

private:
    struct TImpl;
    std::unique_ptr<TImpl> Impl;
    std::string LastError_;
};
