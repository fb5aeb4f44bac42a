#include "tls_baseline.h"

#include "posix_baseline.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <ctime>
#include <thread>

namespace {

std::string DigestText(X509* Cert) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    X509_digest(Cert, EVP_sha256(), digest, &len);
    static const char hex[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned i = 0; i < len; ++i) {
        if (i) text += ':';
        text += hex[digest[i] >> 4];
        text += hex[digest[i] & 15];
    }
    return text;
}

// The same client set-up as the socket layer's: TLS 1.2 at least, the system's trusted
// certificates, the host name checked, the certificate judged after the handshake.
SSL_CTX* ClientContext() {
    static SSL_CTX* c = [] {
        SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
        SSL_CTX_set_default_verify_paths(ctx);
        SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
        return ctx;
    }();
    return c;
}

SSL* Handshake(int Fd, const std::string& Fingerprint) {
    SSL* ssl = SSL_new(ClientContext());
    SSL_set_fd(ssl, Fd);
    SSL_set_tlsext_host_name(ssl, "localhost");
    SSL_set1_host(ssl, "localhost");
    if (SSL_connect(ssl) != 1) {
        SSL_free(ssl);
        return nullptr;
    }
    X509* cert = SSL_get0_peer_certificate(ssl);
    if (!cert || (SSL_get_verify_result(ssl) != X509_V_OK && DigestText(cert) != Fingerprint)) {
        SSL_free(ssl);
        return nullptr;
    }
    return ssl;
}

}  // namespace

double ThreadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct TTlsBenchServer::TImpl {
    TMode Mode;
    std::string Stream;
    int Listener = -1;
    uint16_t Port = 0;
    SSL_CTX* Context = nullptr;
    std::string Fingerprint;
    std::atomic<bool> Stop{false};
    std::thread Thread;

    void Serve() {
        while (!Stop) {
            const int fd = ::accept4(Listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            SSL* ssl = SSL_new(Context);
            SSL_set_fd(ssl, fd);
            if (SSL_accept(ssl) == 1) {
                if (Mode == TMode::Streams) {
                    for (size_t at = 0; at < Stream.size();) {
                        const int n = SSL_write(ssl, Stream.data() + at, static_cast<int>(std::min<size_t>(Stream.size() - at, 65536)));
                        if (n <= 0) break;
                        at += static_cast<size_t>(n);
                    }
                    SSL_shutdown(ssl);
                } else {
                    char b[256];
                    while (SSL_read(ssl, b, sizeof b) > 0) {
                    }
                }
            }
            SSL_free(ssl);
            ERR_clear_error();
            ::close(fd);
        }
    }
};

TTlsBenchServer::TTlsBenchServer(TMode Mode, std::string Stream) : Impl(std::make_unique<TImpl>()) {
    Impl->Mode = Mode;
    Impl->Stream = std::move(Stream);
    // A key and a self-signed certificate made in memory: nothing is written anywhere.
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    X509_set_pubkey(cert, key);
    X509_sign(cert, key, EVP_sha256());
    Impl->Fingerprint = DigestText(cert);
    Impl->Context = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate(Impl->Context, cert);
    SSL_CTX_use_PrivateKey(Impl->Context, key);
    SSL_CTX_set_num_tickets(Impl->Context, 0);  // no resumption on either side
    X509_free(cert);
    EVP_PKEY_free(key);

    Impl->Listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(Impl->Listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(Impl->Listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(Impl->Listener, 64) != 0)
        return;
    ::getsockname(Impl->Listener, reinterpret_cast<sockaddr*>(&a), &len);
    Impl->Port = ntohs(a.sin_port);
    Impl->Thread = std::thread([this] { Impl->Serve(); });
}

TTlsBenchServer::~TTlsBenchServer() {
    Impl->Stop = true;
    if (Impl->Thread.joinable()) {
        const int fd = ConnectLoopback(Impl->Port);  // wakes the accept; its end ends the handshake
        if (fd >= 0) ::close(fd);
        Impl->Thread.join();
    }
    if (Impl->Listener >= 0) ::close(Impl->Listener);
    SSL_CTX_free(Impl->Context);
}

bool TTlsBenchServer::Ok() const { return Impl->Port != 0; }
uint16_t TTlsBenchServer::Port() const { return Impl->Port; }
std::string TTlsBenchServer::Fingerprint() const { return Impl->Fingerprint; }

TRunResult BlockingTlsRead(uint16_t Port, const std::string& Fingerprint, uint64_t Total, int ReadSize) {
    TRunResult r;
    const auto wall = std::chrono::steady_clock::now();
    const double cpu = ThreadCpuSeconds();
    const int fd = ConnectLoopback(Port);
    SSL* ssl = fd >= 0 ? Handshake(fd, Fingerprint) : nullptr;
    if (!ssl) {
        r.Failure = "no TLS connection";
        if (fd >= 0) ::close(fd);
        return r;
    }
    std::string buffer(static_cast<size_t>(ReadSize), '\0');
    uint64_t got = 0;
    for (int n; got < Total && (n = SSL_read(ssl, buffer.data(), ReadSize)) > 0;) {
        got += static_cast<uint64_t>(n);
        asm volatile("" : : "r"(buffer.data()) : "memory");
    }
    r.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count();
    r.CpuSeconds = ThreadCpuSeconds() - cpu;
    r.Count = got;
    if (got != Total) r.Failure = "the stream did not arrive whole";
    SSL_free(ssl);
    ::close(fd);
    return r;
}

TRunResult BlockingTlsHandshakes(uint16_t Port, const std::string& Fingerprint, int Cycles) {
    TRunResult r;
    const auto wall = std::chrono::steady_clock::now();
    const double cpu = ThreadCpuSeconds();
    for (int i = 0; i < Cycles; ++i) {
        const int fd = ConnectLoopback(Port);
        SSL* ssl = fd >= 0 ? Handshake(fd, Fingerprint) : nullptr;
        if (!ssl) {
            r.Failure = "a handshake failed";
            if (fd >= 0) ::close(fd);
            break;
        }
        SSL_shutdown(ssl);
        SSL_free(ssl);
        ::shutdown(fd, SHUT_WR);
        ::close(fd);
        ++r.Count;
    }
    r.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count();
    r.CpuSeconds = ThreadCpuSeconds() - cpu;
    return r;
}
