// The TLS session on OpenSSL 3 with two memory BIOs. OpenSSL is a library, not an interface of
// the operating system: it is called from here only, never from the socket code around it.
//
// The certificate is checked after the handshake rather than inside it: the session completes
// the handshake whatever the chain, and the socket layer then decides (a chain that verifies, or
// a certificate the user trusted for this server). Nothing of the owner's goes out before that.
#include "tls_session.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <ctime>
#include <mutex>

namespace {

// One client context for the process: loading the system's trusted certificates costs some
// milliseconds, far more than a handshake on loopback, so it is done once.
SSL_CTX* ClientContext() {
    static SSL_CTX* context = [] {
        SSL_CTX* c = SSL_CTX_new(TLS_client_method());
        if (!c) return c;
        SSL_CTX_set_min_proto_version(c, TLS1_2_VERSION);
        SSL_CTX_set_default_verify_paths(c);
        // Verified after the handshake (see above); the result is kept all the same.
        SSL_CTX_set_verify(c, SSL_VERIFY_NONE, nullptr);
        // A short write is never asked to be repeated with the same buffer: the memory BIO takes
        // everything, and the caller's buffer may move between calls.
        SSL_CTX_set_mode(c, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
        return c;
    }();
    return context;
}

std::string NameText(X509_NAME* Name) {
    if (!Name) return {};
    BIO* out = BIO_new(BIO_s_mem());
    X509_NAME_print_ex(out, Name, 0, XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB);
    char* data = nullptr;
    const long len = BIO_get_mem_data(out, &data);
    std::string text(data, static_cast<size_t>(len > 0 ? len : 0));
    BIO_free(out);
    return text;
}

std::string TimeText(const ASN1_TIME* Time) {
    tm t{};
    if (!Time || ASN1_TIME_to_tm(Time, &t) != 1) return "unknown";
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d UTC", t.tm_year + 1900,
                  t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    return text;
}

std::string LibraryError() {
    const unsigned long code = ERR_peek_last_error();
    char text[256] = {};
    if (code) ERR_error_string_n(code, text, sizeof text);
    ERR_clear_error();
    return text;
}

}  // namespace

struct TTlsSession::TImpl {
    SSL* Ssl = nullptr;
    BIO* In = nullptr;   // what the peer sent, read by the session
    BIO* Out = nullptr;  // what the session wrote for the peer

    // The session of a new connection, with its two buffers; false when the library failed.
    bool Start(SSL_CTX* Context) {
        Ssl = Context ? SSL_new(Context) : nullptr;
        if (!Ssl) return false;
        In = BIO_new(BIO_s_mem());
        Out = BIO_new(BIO_s_mem());
        // An empty memory BIO means "more to come", not the end of the stream.
        BIO_set_mem_eof_return(In, -1);
        SSL_set_bio(Ssl, In, Out);
        return true;
    }
};

TTlsSession::TTlsSession(const std::string& HostName) : Impl(std::make_unique<TImpl>()) {
    if (!Impl->Start(ClientContext())) return;
    SSL_set_connect_state(Impl->Ssl);
    // An address is checked as one, and sent as no server name (SNI carries names only).
    ASN1_OCTET_STRING* address = a2i_IPADDRESS(HostName.c_str());
    const bool literal = address != nullptr;
    ASN1_OCTET_STRING_free(address);
    if (literal) {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(Impl->Ssl), HostName.c_str());
    } else if (!HostName.empty()) {
        SSL_set_tlsext_host_name(Impl->Ssl, HostName.c_str());
        SSL_set1_host(Impl->Ssl, HostName.c_str());
    }
}

std::shared_ptr<const TTlsServerCredentials> TTlsServerCredentials::Load(const std::string& CertFile,
                                                                        const std::string& KeyFile,
                                                                        std::string& Error) {
    std::shared_ptr<TTlsServerCredentials> credentials(new TTlsServerCredentials);
    SSL_CTX* c = SSL_CTX_new(TLS_server_method());
    credentials->Context = c;
    if (!c) {
        Error = LibraryError();
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(c, TLS1_2_VERSION);
    SSL_CTX_set_mode(c, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (SSL_CTX_use_certificate_chain_file(c, CertFile.c_str()) != 1) {
        Error = "cannot use the certificate file " + CertFile + ": " + LibraryError();
        return nullptr;
    }
    if (SSL_CTX_use_PrivateKey_file(c, KeyFile.c_str(), SSL_FILETYPE_PEM) != 1 || SSL_CTX_check_private_key(c) != 1) {
        Error = "cannot use the key file " + KeyFile + " with that certificate: " + LibraryError();
        return nullptr;
    }
    return credentials;
}

TTlsServerCredentials::~TTlsServerCredentials() { SSL_CTX_free(static_cast<SSL_CTX*>(Context)); }

TTlsSession::TTlsSession(const TTlsServerCredentials& Credentials) : Impl(std::make_unique<TImpl>()) {
    if (Impl->Start(static_cast<SSL_CTX*>(Credentials.Context))) SSL_set_accept_state(Impl->Ssl);
}

TTlsSession::~TTlsSession() {
    if (Impl->Ssl) SSL_free(Impl->Ssl);  // frees both BIOs with it
    ERR_clear_error();
}

void TTlsSession::PutIncoming(const char* Data, int Len) {
    if (Impl->In && Len > 0) BIO_write(Impl->In, Data, Len);
}

int TTlsSession::IncomingBuffered() const {
    return Impl->In ? static_cast<int>(BIO_ctrl_pending(Impl->In)) : 0;
}

void TTlsSession::TakeOutgoing(std::string& Out) {
    if (!Impl->Out) return;
    char* data = nullptr;
    const long len = BIO_get_mem_data(Impl->Out, &data);
    if (len <= 0) return;
    Out.append(data, static_cast<size_t>(len));
    (void)BIO_reset(Impl->Out);
}

TTlsSession::TStep TTlsSession::Handshake() {
    if (!Impl->Ssl) {
        LastError_ = "no TLS context";
        return TStep::Failed;
    }
    const int r = SSL_do_handshake(Impl->Ssl);
    if (r == 1) return TStep::Done;
    const int e = SSL_get_error(Impl->Ssl, r);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return TStep::WantMore;
    LastError_ = LibraryError();
    return TStep::Failed;
}

TTlsSession::TRead TTlsSession::Read(char* Buffer, int Len, int& Got) {
    Got = 0;
    if (!Impl->Ssl) return TRead::Failed;
    const int r = SSL_read(Impl->Ssl, Buffer, Len);
    if (r > 0) {
        Got = r;
        return TRead::Data;
    }
    switch (SSL_get_error(Impl->Ssl, r)) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE: return TRead::WantMore;
    case SSL_ERROR_ZERO_RETURN: return TRead::Closed;
    default: LastError_ = LibraryError(); return TRead::Failed;
    }
}

int TTlsSession::PlainBuffered() const { return Impl->Ssl ? SSL_pending(Impl->Ssl) : 0; }

bool TTlsSession::Write(const char* Data, int Len) {
    while (Len > 0) {
        const int r = SSL_write(Impl->Ssl, Data, Len);
        if (r <= 0) {
            LastError_ = LibraryError();
            return false;
        }
        Data += r;
        Len -= r;
    }
    return true;
}

void TTlsSession::Shutdown() {
    if (Impl->Ssl && SSL_is_init_finished(Impl->Ssl)) SSL_shutdown(Impl->Ssl);
    ERR_clear_error();
}

bool TTlsSession::Verified() const {
    return Impl->Ssl && SSL_get0_peer_certificate(Impl->Ssl) &&
           SSL_get_verify_result(Impl->Ssl) == X509_V_OK;
}

std::string TTlsSession::VerifyReason() const {
    if (!Impl->Ssl || !SSL_get0_peer_certificate(Impl->Ssl)) return "The server sent no certificate.";
    switch (SSL_get_verify_result(Impl->Ssl)) {
    case X509_V_OK: return {};
    case X509_V_ERR_CERT_HAS_EXPIRED: return "The certificate has expired.";
    case X509_V_ERR_CERT_NOT_YET_VALID: return "The certificate is not valid yet.";
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return "The certificate was made out for another server name.";
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        return "The certificate is self-signed: nobody your system trusts vouches for it.";
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        return "The certificate was signed by someone your system does not trust.";
    case X509_V_ERR_CERT_REVOKED: return "The certificate has been revoked.";
    default:
        return std::string("The certificate could not be checked (") +
               X509_verify_cert_error_string(SSL_get_verify_result(Impl->Ssl)) + ").";
    }
}

TTlsCertificate TTlsSession::PeerCertificate() const {
    TTlsCertificate c;
    X509* cert = Impl->Ssl ? SSL_get0_peer_certificate(Impl->Ssl) : nullptr;
    if (!cert) return c;
    c.Subject = NameText(X509_get_subject_name(cert));
    c.Issuer = NameText(X509_get_issuer_name(cert));
    c.NotBefore = TimeText(X509_get0_notBefore(cert));
    c.NotAfter = TimeText(X509_get0_notAfter(cert));
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (X509_digest(cert, EVP_sha256(), digest, &len) == 1) {
        static const char hex[] = "0123456789ABCDEF";
        for (unsigned i = 0; i < len; ++i) {
            if (i) c.Fingerprint += ':';
            c.Fingerprint += hex[digest[i] >> 4];
            c.Fingerprint += hex[digest[i] & 15];
        }
    }
    return c;
}
