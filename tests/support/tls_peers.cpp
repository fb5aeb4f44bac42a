#include "tls_peers.h"

#include "event_loop.h"
#include "posix_peer.h"

#include <QTemporaryDir>

#include <cstdlib>
#include <stdexcept>

namespace {

void Run(const QString& Dir, const QString& CommandLine) {
    QProcess p;
    p.setWorkingDirectory(Dir);
    p.start("/bin/sh", {"-c", CommandLine});
    if (!p.waitForFinished(20000) || p.exitCode() != 0)
        throw std::runtime_error("openssl failed: " + CommandLine.toStdString() + "\n" +
                                 p.readAllStandardError().toStdString());
}

TlsTestFiles Make() {
    // Not under TMPDIR: window tests point it at a folder of their own that goes with them.
    static QTemporaryDir dir(QStringLiteral("/tmp/korvel-tls-XXXXXX"));
    const QString d = dir.path();
    const QString key = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    const QString local = "subjectAltName=DNS:localhost,IP:127.0.0.1";
    Run(d, "openssl req -x509 " + key + " -keyout ca.key -out ca.pem -days 30 -subj '/CN=Korvel Test CA'");
    Run(d, "openssl req " + key + " -keyout good.key -out good.csr -subj /CN=localhost");
    const auto sign = [&](const QString& Out, const QString& Days, const QString& San) {
        Run(d, "printf '" + San + "\\n' > " + Out + ".ext && openssl x509 -req -in good.csr -CA ca.pem "
               "-CAkey ca.key -CAcreateserial -out " + Out + " -days " + Days + " -extfile " + Out + ".ext");
    };
    sign("good.pem", "30", local);
    sign("expired.pem", "-1", local);
    sign("other.pem", "30", "subjectAltName=DNS:chat.example.org");
    for (const QString name : {"self", "changed"})
        Run(d, "openssl req -x509 " + key + " -keyout " + name + ".key -out " + name +
                   ".pem -days 30 -subj /CN=localhost -addext '" + local + "'");
    const auto path = [&](const char* f) { return (d + "/" + f).toStdString(); };
    ::setenv("SSL_CERT_FILE", path("ca.pem").c_str(), 1);
    return {d.toStdString(), path("ca.pem"), path("good.pem"), path("good.key"), path("self.pem"),
            path("self.key"), path("changed.pem"), path("changed.key"), path("expired.pem"),
            path("other.pem")};
}

}  // namespace

const TlsTestFiles& TlsFiles() {
    static const TlsTestFiles files = Make();
    return files;
}

DaemonProcess::DaemonProcess(const QString& Program, const QStringList& Args) {
    Process.setProcessChannelMode(QProcess::MergedChannels);
    Process.start(Program, Args);
}

DaemonProcess::~DaemonProcess() {
    if (Process.state() == QProcess::NotRunning) return;
    Process.kill();
    Process.waitForFinished(5000);
}

bool DaemonProcess::WaitListening(uint16_t Port, int TimeoutMs) {
    return RunUntil([&] {
        if (Process.state() == QProcess::NotRunning) return true;
        const int fd = peer::Connect(Port);
        if (fd < 0) return false;
        peer::Close(fd);
        return true;
    }, TimeoutMs) && Process.state() != QProcess::NotRunning;
}

std::string DaemonProcess::Output() { return Process.readAll().toStdString(); }

#include <openssl/ssl.h>

struct TlsServerEnd::TImpl {
    SSL* Ssl = nullptr;
    BIO* In = nullptr;
    BIO* Out = nullptr;
    bool Failed = false;
};

namespace {
SSL_CTX* ServerContext() {
    static SSL_CTX* context = [] {
        SSL_CTX* c = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate_chain_file(c, TlsFiles().GoodCert.c_str());
        SSL_CTX_use_PrivateKey_file(c, TlsFiles().GoodKey.c_str(), SSL_FILETYPE_PEM);
        SSL_CTX_set_num_tickets(c, 0);
        return c;
    }();
    return context;
}
}  // namespace

TlsServerEnd::TlsServerEnd() : Impl(new TImpl) {
    Impl->Ssl = SSL_new(ServerContext());
    Impl->In = BIO_new(BIO_s_mem());
    Impl->Out = BIO_new(BIO_s_mem());
    BIO_set_mem_eof_return(Impl->In, -1);
    SSL_set_bio(Impl->Ssl, Impl->In, Impl->Out);
    SSL_set_accept_state(Impl->Ssl);
}

TlsServerEnd::~TlsServerEnd() {
    SSL_free(Impl->Ssl);
    delete Impl;
}

void TlsServerEnd::Put(const std::string& Raw) {
    if (!Raw.empty()) BIO_write(Impl->In, Raw.data(), static_cast<int>(Raw.size()));
}

bool TlsServerEnd::Step(std::string& Plain) {
    if (Impl->Failed) return false;
    if (!SSL_is_init_finished(Impl->Ssl)) {
        const int r = SSL_do_handshake(Impl->Ssl);
        if (r <= 0 && SSL_get_error(Impl->Ssl, r) != SSL_ERROR_WANT_READ) Impl->Failed = true;
        if (r <= 0) return !Impl->Failed;
    }
    char buf[16384];
    for (int n; (n = SSL_read(Impl->Ssl, buf, sizeof buf)) > 0;) Plain.append(buf, static_cast<size_t>(n));
    return true;
}

bool TlsServerEnd::Ready() const { return SSL_is_init_finished(Impl->Ssl); }

void TlsServerEnd::Write(const char* Data, size_t Len) {
    if (Len > 0) SSL_write(Impl->Ssl, Data, static_cast<int>(Len));
}

void TlsServerEnd::Shutdown() { SSL_shutdown(Impl->Ssl); }

void TlsServerEnd::TakeOut(std::string& Raw) {
    char* data = nullptr;
    const long len = BIO_get_mem_data(Impl->Out, &data);
    if (len > 0) Raw.append(data, static_cast<size_t>(len));
    (void)BIO_reset(Impl->Out);
}
