// The TLS layer against real peers: openssl s_server and socat with certificates made at run
// time, stunnel4 in front of the chat server, and a plain server on the TLS port.
#include "socket_probe.h"

#include "event_loop.h"
#include "posix_peer.h"
#include "test_seed.h"
#include "tls_peers.h"

#include <gtest/gtest.h>

#include <QFile>

namespace {

class TlsProbe : public RecordingSocket {
public:
    TlsProbe() {
        OnChangeState = nullptr;
        OnDataAvailable = [this](QObject*, uint16_t) {
            char buf[3000];
            // Now and then a one-byte read: one byte is data, never the end of the stream.
            const int n = Receive(buf, Rng() % 4 == 0 ? 1 : 1 + static_cast<int>(Rng() % sizeof buf));
            if (n > 0) Data.append(buf, static_cast<size_t>(n));
        };
    }
    // Connects with TLS to Host:Port (Host "localhost" or an address).
    void ConnectTls(const std::string& Host, uint16_t Port) {
        SetTls(true);
        SetAddr(Host);
        SetPort(std::to_string(Port));
        Connect();
    }
    bool WaitConnected() {
        return RunUntil([&] { return Log.size() >= 1 && Log[0].rfind("connected", 0) == 0; });
    }
    std::string Data;
    std::minstd_rand Rng{7};
};

struct ServerCase {
    const char* Name;
    std::string TlsTestFiles::*Cert;
    std::string TlsTestFiles::*Key;
    const char* Host;
    QStringList Extra;      // further s_server options
    bool TrustSelf;         // the owner trusts the self-signed certificate's fingerprint
    uint16_t Expected;      // the code of OnSessionConnected
    const char* Reason;     // a part of LastTlsFailure().Reason
};

std::string Fingerprint(const std::string& CertFile) {
    QProcess p;
    p.start("openssl", {"x509", "-in", QString::fromStdString(CertFile), "-noout", "-fingerprint", "-sha256"});
    p.waitForFinished();
    const std::string out = p.readAllStandardOutput().trimmed().toStdString();
    return out.substr(out.find('=') + 1);
}

TEST(Tls, HandshakeOutcomesAgainstOpensslServer) {
    const TlsTestFiles& f = TlsFiles();
    using F = TlsTestFiles;
    const ServerCase cases[] = {
        {"good", &F::GoodCert, &F::GoodKey, "localhost", {}, false, 0, ""},
        {"good, by address", &F::GoodCert, &F::GoodKey, "127.0.0.1", {}, false, 0, ""},
        {"good, TLS 1.2 only", &F::GoodCert, &F::GoodKey, "localhost", {"-tls1_2"}, false, 0, ""},
        {"self-signed", &F::SelfCert, &F::SelfKey, "localhost", {}, false, TlsErrUntrusted, "self-signed"},
        {"self-signed, trusted", &F::SelfCert, &F::SelfKey, "localhost", {}, true, 0, ""},
        {"changed since trusted", &F::ChangedCert, &F::ChangedKey, "localhost", {}, true, TlsErrUntrusted, "self-signed"},
        {"expired", &F::ExpiredCert, &F::GoodKey, "localhost", {}, false, TlsErrUntrusted, "expired"},
        {"wrong host name", &F::OtherHostCert, &F::GoodKey, "localhost", {}, false, TlsErrUntrusted, "another server name"},
        {"only TLS 1.1", &F::GoodCert, &F::GoodKey, "localhost",
         {"-max_protocol", "TLSv1.1", "-cipher", "DEFAULT@SECLEVEL=0"}, false, TlsErrHandshake, "refused"},
    };
    for (const ServerCase& c : cases) {
        SCOPED_TRACE(c.Name);
        const uint16_t port = peer::UnusedPort();
        DaemonProcess server("openssl", QStringList{"s_server", "-quiet", "-accept", "127.0.0.1:" + QString::number(port),
                                                    "-cert", QString::fromStdString(f.*c.Cert), "-key",
                                                    QString::fromStdString(f.*c.Key)} + c.Extra);
        ASSERT_TRUE(server.WaitListening(port)) << server.Output();
        TlsProbe s;
        if (c.TrustSelf) s.SetTlsTrustedFingerprint(Fingerprint(f.SelfCert));
        s.ConnectTls(c.Host, port);
        ASSERT_TRUE(s.WaitConnected());
        EXPECT_EQ(s.Log[0], "connected " + std::to_string(c.Expected));
        if (c.Expected == 0) {
            EXPECT_TRUE(s.TlsEstablished());
            EXPECT_EQ(s.TlsCertificate().Fingerprint, Fingerprint(f.*c.Cert));
            EXPECT_EQ(s.LastTlsFailure().Code, 0);
            continue;
        }
        // The failed attempt closes, once, with its code; the failure names the certificate.
        ASSERT_TRUE(RunUntil([&] { return s.State() == wsClosed; }));
        RunFor(50);
        EXPECT_EQ(s.Log.back(), "closed " + std::to_string(c.Expected) + " in closed");
        EXPECT_EQ(std::count_if(s.Log.begin(), s.Log.end(), [](auto& l) { return l.rfind("connected", 0) == 0; }), 1);
        EXPECT_EQ(s.LastTlsFailure().Code, c.Expected);
        EXPECT_NE(s.LastTlsFailure().Reason.find(c.Reason), std::string::npos) << s.LastTlsFailure().Reason;
        if (c.Expected == TlsErrUntrusted) {
            const TTlsCertificate& cert = s.LastTlsFailure().Certificate;
            EXPECT_EQ(cert.Fingerprint, Fingerprint(f.*c.Cert));
            EXPECT_NE(cert.Subject.find("localhost"), std::string::npos);
            EXPECT_FALSE(cert.Issuer.empty());
            EXPECT_EQ(cert.NotAfter.size(), 23u) << cert.NotAfter;
        }
    }
}

// Random segments both ways through socat's echo, with an OnSendData handler (one block per
// send) and without (gathering sends): every byte once and in order, OnSendData counting exactly
// the plain text, OnDataSent once all of it has left.
TEST(Tls, EchoThroughSocatKeepsEveryByteAndTheSendReports) {
    const TlsTestFiles& f = TlsFiles();
    const uint32_t seed = TestSeed();
    SCOPED_TRACE("KORVEL_SEED=" + std::to_string(seed));
    QRandomGenerator rng(seed);
    const uint16_t port = peer::UnusedPort();
    DaemonProcess socat("socat", {"OPENSSL-LISTEN:" + QString::number(port) + ",bind=127.0.0.1,reuseaddr,fork,verify=0,cert=" +
                                      QString::fromStdString(f.GoodCert) + ",key=" + QString::fromStdString(f.GoodKey),
                                  "PIPE"});
    ASSERT_TRUE(socat.WaitListening(port));
    for (const bool reporting : {false, true}) {
    SCOPED_TRACE(reporting ? "with OnSendData" : "gathering");
    TlsProbe s;
    s.Rng.seed(seed);
    long long reported = 0;
    int dataSent = 0;
    if (reporting) s.OnSendData = [&](QObject*, int n) { reported += n; };
    s.OnDataSent = [&](QObject*, uint16_t) { ++dataSent; };
    s.ConnectTls("localhost", port);
    ASSERT_TRUE(s.WaitConnected());
    ASSERT_EQ(s.Log[0], "connected 0");
    std::string sent = "1";  // a send of one byte
    s.Send(sent.data(), 1);
    for (int i = 0; i < 40; ++i) {
        const QByteArray piece = RandomBytes(rng, rng.bounded(8) == 0 ? 200000 : 3000);
        sent.append(piece.constData(), static_cast<size_t>(piece.size()));
        s.Send(piece.constData(), piece.size());
        if (rng.bounded(3) == 0) RunFor(rng.bounded(5));
    }
    ASSERT_TRUE(RunUntil([&] { return s.Data.size() >= sent.size() && s.AllSent; }, 20000))
        << s.Data.size() << " of " << sent.size();
    EXPECT_TRUE(s.Data == sent);
    if (s.OnSendData) {
        EXPECT_EQ(reported, static_cast<long long>(sent.size()));
    }
    EXPECT_GE(dataSent, 1);
    s.Close();
    EXPECT_EQ(s.Log.back(), "closed 0 in closed");
    }
}

// The server ends the session inside TLS while its TCP connection stays open: its close alert
// is the end of the stream (reported as an orderly close, after the text before it), and a
// damaged record breaks the connection with its own code.
TEST(Tls, EndedByTheServerInsideTls) {
    struct Case {
        const char* Name;
        bool Damaged;
        std::string Expected;
    };
    for (const Case& c : {Case{"close alert", false, "closed 0 in connected"},
                          Case{"damaged record", true, "closed " + std::to_string(TlsErrBroken) + " in connected"}}) {
        SCOPED_TRACE(c.Name);
        TlsFiles();
        PosixListener listener;
        TlsProbe s;
        s.ConnectTls("127.0.0.1", listener.Port());
        const int fd = listener.Accept();
        ASSERT_GE(fd, 0);
        TlsServerEnd server;
        std::string out, plain;
        ASSERT_TRUE(RunUntil([&] {
            std::string raw;
            while (peer::RecvNow(fd, raw) > 0) {
            }
            server.Put(raw);
            server.Step(plain);
            server.TakeOut(out);
            if (!out.empty()) peer::SendAll(fd, std::exchange(out, {}));
            return s.TlsEstablished();
        }));
        server.Write("text before the end", 19);
        server.TakeOut(out);
        peer::SendAll(fd, out);
        ASSERT_TRUE(RunUntil([&] { return s.Data == "text before the end"; }));
        out.clear();
        if (c.Damaged) {
            server.Write("never read", 10);
            server.TakeOut(out);
            out.back() ^= 1;  // the record's tag no longer matches
        } else {
            server.Shutdown();
            server.TakeOut(out);
        }
        peer::SendAll(fd, out);
        ASSERT_TRUE(RunUntil([&] { return s.State() == wsClosed; })) << c.Name;
        EXPECT_EQ(s.Log.back(), c.Expected);
        EXPECT_EQ(s.Data, "text before the end");
        peer::Close(fd);
    }
}

// The chat server behind stunnel4: its telnet greeting arrives through TLS, and a line sent goes
// back through it.
TEST(Tls, ChatServerBehindStunnel) {
    const TlsTestFiles& f = TlsFiles();
    const uint16_t chatPort = peer::UnusedPort(), tlsPort = peer::UnusedPort();
    DaemonProcess chatd(KORVEL_CHATD_BINARY, {"--port", QString::number(chatPort)});
    ASSERT_TRUE(chatd.WaitListening(chatPort));
    const QString conf = QString::fromStdString(f.Dir) + "/stunnel.conf";
    QFile file(conf);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(("foreground = yes\npid =\n[chat]\naccept = 127.0.0.1:" + std::to_string(tlsPort) +
                "\nconnect = 127.0.0.1:" + std::to_string(chatPort) + "\ncert = " + f.GoodCert +
                "\nkey = " + f.GoodKey + "\n").c_str());
    file.close();
    DaemonProcess stunnel("stunnel4", {conf});
    ASSERT_TRUE(stunnel.WaitListening(tlsPort)) << stunnel.Output();
    TlsProbe s;
    s.ConnectTls("localhost", tlsPort);
    ASSERT_TRUE(s.WaitConnected());
    ASSERT_EQ(s.Log[0], "connected 0");
    // The server opens with telnet negotiation (IAC = 0xFF).
    ASSERT_TRUE(RunUntil([&] { return s.Data.find('\xff') != std::string::npos; }));
    s.Close();
}

// A plain server on the port: its first bytes are no TLS record, and the attempt fails at once
// with its own code instead of waiting for a handshake that never comes.
TEST(Tls, PlainServerOnTheTlsPort) {
    TlsFiles();
    PosixListener plain;
    TlsProbe s;
    s.ConnectTls("127.0.0.1", plain.Port());
    const int fd = plain.Accept();
    ASSERT_GE(fd, 0);
    peer::SendAll(fd, "\xff\xfb\x01Welcome to the chat\r\n");
    ASSERT_TRUE(s.WaitConnected());
    EXPECT_EQ(s.Log[0], "connected " + std::to_string(TlsErrNotTls));
    ASSERT_TRUE(RunUntil([&] { return s.State() == wsClosed; }));
    EXPECT_TRUE(s.Data.empty());
    EXPECT_TRUE(peer::WaitEof(fd));
    peer::Close(fd);
}

}  // namespace
