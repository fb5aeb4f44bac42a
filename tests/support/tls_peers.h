#pragma once
// Real TLS peers for tests: certificates made with the openssl program at run time (never kept
// in the tree), and Debian's daemons (openssl s_server, socat, stunnel4) started and ended by the
// test itself.
#include <QProcess>
#include <QStringList>

#include <cstdint>
#include <string>

struct TlsTestFiles {
    std::string Dir;
    std::string Ca;                     // the test's certificate authority, trusted by the process
    std::string GoodCert, GoodKey;      // signed by it for localhost and 127.0.0.1
    std::string SelfCert, SelfKey;      // self-signed for localhost
    std::string ChangedCert, ChangedKey;  // self-signed too, another key
    std::string ExpiredCert;            // signed by it, expired yesterday (GoodKey)
    std::string OtherHostCert;          // signed by it for chat.example.org only (GoodKey)
};
// Made once per process; the process then trusts Ca as the system's store (SSL_CERT_FILE), so
// call it before the first TLS connection.
const TlsTestFiles& TlsFiles();

// A daemon started for one test and killed at its end.
class DaemonProcess {
public:
    DaemonProcess(const QString& Program, const QStringList& Args);
    ~DaemonProcess();
    // Waits until something accepts on 127.0.0.1:Port.
    bool WaitListening(uint16_t Port, int TimeoutMs = 5000);
    std::string Output();

private:
    QProcess Process;
};

// The server's end of one TLS connection over memory buffers, for scripted peers that choose
// how the ciphertext is cut into segments: raw bytes from the client go in with Put, and what
// the server has for the client comes out of TakeOut. Certificate: TlsFiles().GoodCert.
class TlsServerEnd {
public:
    TlsServerEnd();
    ~TlsServerEnd();
    TlsServerEnd(const TlsServerEnd&) = delete;
    TlsServerEnd& operator=(const TlsServerEnd&) = delete;
    void Put(const std::string& Raw);
    // Runs the handshake on and reads what the client sent into Plain; false once it failed.
    bool Step(std::string& Plain);
    bool Ready() const;  // the handshake is done
    void Write(const char* Data, size_t Len);
    void Shutdown();     // the close alert
    void TakeOut(std::string& Raw);

private:
    struct TImpl;
    TImpl* Impl;
};
