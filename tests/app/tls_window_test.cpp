// Secure connections from the window: the chat server behind stunnel4 with certificates made at
// run time, the certificate dialog, trust kept per server, a changed certificate, a plain server
// on the TLS port, and an automatic reconnect that meets a certificate nobody trusted.
#include "form_support.h"

#include "chat_server.h"
#include "reconnect.h"
#include "tls_peers.h"

#include <QStatusBar>

namespace {

class TlsWindowTest : public FormTest {
protected:
    void SetUp() override {
        FormTest::SetUp();
        Files = &TlsFiles();
        Chat.OnLog = [](const std::string&) {};
        Chat.Start("127.0.0.1", "0");
        TlsPort = peer::UnusedPort();
    }
    // stunnel4 on TlsPort in front of the chat server, with this certificate.
    void Front(const std::string& Cert, const std::string& Key) {
        Stunnel.reset();
        const QString conf = Config.path() + "/stunnel.conf";
        QFile file(conf);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(("foreground = yes\npid =\n[chat]\naccept = 127.0.0.1:" + std::to_string(TlsPort) +
                    "\nconnect = 127.0.0.1:" + Chat.BoundPort() + "\ncert = " + Cert + "\nkey = " + Key + "\n").c_str());
        file.close();
        Stunnel = std::make_unique<DaemonProcess>("stunnel4", QStringList{conf});
        ASSERT_TRUE(Stunnel->WaitListening(TlsPort)) << Stunnel->Output();
    }
    bool Online() { return Form->Shape1->FillColor() == 65280; }

    const TlsTestFiles* Files = nullptr;
    TChatServer Chat;
    uint16_t TlsPort = 0;
    std::unique_ptr<DaemonProcess> Stunnel;
};

std::string TrustFileText(const QString& Dir) {
    QFile f(Dir + "/trusted-servers.txt");
    return f.open(QIODevice::ReadOnly) ? f.readAll().toStdString() : std::string();
}

TEST_F(TlsWindowTest, CertificateDialogTrustPerServerAndChangedCertificate) {
    Front(Files->SelfCert, Files->SelfKey);
    WriteSettings("[FORM]\r\nHost=localhost\r\nPort=" + QByteArray::number(TlsPort) + "\r\nUser=AAA\r\nName=ALICE\r\nTLS=1\r\n");
    MakeForm();
    EXPECT_TRUE(Form->cbTls->isChecked());

    // Asked once; cancelled: not connected, nothing trusted.
    Form->ConnectButton->click();
    ASSERT_TRUE(RunUntil([&] { return Dialogs.Confirms.size() == 1; }));
    const QString asked = Dialogs.Confirms[0];
    const QString server = "localhost:" + QString::number(TlsPort);
    EXPECT_TRUE(asked.startsWith("Trust this certificate for " + server)) << asked.toStdString();
    for (const char* part : {"self-signed", "Issued to: CN = localhost", "Issued by: CN = localhost", "Valid from ",
                             "SHA-256 fingerprint:"})
        EXPECT_TRUE(asked.contains(part)) << part << "\n" << asked.toStdString();
    ASSERT_TRUE(RunUntil([&] { return Form->DisplayMemo->toPlainText().contains("is not trusted"); }));
    EXPECT_FALSE(Online());
    EXPECT_EQ(TrustFileText(Config.path()), "");

    // Trusted: connects, logs in, and the trust is kept for this host and port.
    Dialogs.NextConfirm = true;
    Form->ConnectButton->click();
    ASSERT_TRUE(RunUntil([&] { return Online() && Form->lbUsers->count() == 1; }));
    EXPECT_EQ(Dialogs.Confirms.size(), 2);
    const std::string stored = TrustFileText(Config.path());
    EXPECT_EQ(stored.rfind(server.toStdString() + " ", 0), 0u) << stored;
    Form->DisconnectButton->click();

    // The next Connect needs no question.
    Form->ConnectButton->click();
    ASSERT_TRUE(RunUntil([&] { return Online(); }));
    EXPECT_EQ(Dialogs.Confirms.size(), 2);
    Form->DisconnectButton->click();

    // Another certificate on the same server: a warning with both fingerprints; cancelled, the
    // old trust stays and nothing connects.
    Front(Files->ChangedCert, Files->ChangedKey);
    Dialogs.NextConfirm = false;
    Form->ConnectButton->click();
    ASSERT_TRUE(RunUntil([&] { return Dialogs.Confirms.size() == 3; }));
    const QString warning = Dialogs.Confirms[2];
    const QString oldPrint = QString::fromStdString(stored.substr(stored.find(' ') + 1)).trimmed();
    EXPECT_TRUE(warning.contains("has changed since you trusted it")) << warning.toStdString();
    EXPECT_TRUE(warning.contains("Old SHA-256 fingerprint:\n" + oldPrint)) << warning.toStdString();
    EXPECT_TRUE(warning.contains("New SHA-256 fingerprint:\n")) << warning.toStdString();
    RunFor(100);
    EXPECT_FALSE(Online());
    EXPECT_EQ(TrustFileText(Config.path()), stored);
}

// A plain chat server where TLS is expected: said in plain words, with host and port.
TEST_F(TlsWindowTest, PlainServerOnTheTlsPortIsToldInPlainWords) {
    WriteSettings("[FORM]\r\nHost=127.0.0.1\r\nPort=" + QByteArray::fromStdString(Chat.BoundPort()) +
                  "\r\nUser=AAA\r\nName=ALICE\r\nTLS=1\r\n");
    MakeForm();
    Form->ConnectButton->click();
    const QString expected = QString::fromUtf8("The server at 127.0.0.1:%1 did not answer with TLS \u2014 is this a plain chat port?")
                                 .arg(QString::fromStdString(Chat.BoundPort()));
    ASSERT_TRUE(RunUntil([&] { return Form->DisplayMemo->toPlainText().contains(expected); }))
        << Form->DisplayMemo->toPlainText().toStdString();
    EXPECT_FALSE(Online());
    EXPECT_TRUE(Dialogs.Confirms.isEmpty());
    EXPECT_TRUE(Dialogs.Messages.isEmpty());
}

// The box is stored after the original keys; a good certificate connects without a question;
// a reconnect that meets a certificate nobody trusted stops the series and asks nothing.
TEST_F(TlsWindowTest, StoredBoxAndReconnectStopsAtAnUntrustedCertificate) {
    Front(Files->GoodCert, Files->GoodKey);
    WriteSettings("[FORM]\r\nHost=localhost\r\nPort=" + QByteArray::number(TlsPort) + "\r\nUser=AAA\r\nName=ALICE\r\n");
    MakeForm();
    Form->Settings1Click();
    Form->cbTls->setChecked(true);
    Form->Button2->click();
    const QByteArray ini = ReadSettingsFile();
    EXPECT_TRUE(ini.contains("UserTools=1\r\nTLS=1\r\n")) << ini.toStdString();

    Form->ConnectButton->click();
    ASSERT_TRUE(RunUntil([&] { return Online() && Form->lbUsers->count() == 1; }));
    EXPECT_TRUE(Dialogs.Confirms.isEmpty());
    // Wait until the login has been taken, so that the drop starts a series.
    RunFor(200);
    Front(Files->SelfCert, Files->SelfKey);  // the connection drops; the server now shows another certificate
    ASSERT_TRUE(RunUntil([&] { return Form->statusBar()->currentMessage().startsWith("Reconnecting stopped"); }, 15000))
        << Form->statusBar()->currentMessage().toStdString();
    EXPECT_TRUE(Form->statusBar()->currentMessage().contains("is not trusted")) << Form->statusBar()->currentMessage().toStdString();
    EXPECT_FALSE(Form->Reconnect->Waiting());
    EXPECT_TRUE(Dialogs.Confirms.isEmpty());
    EXPECT_FALSE(Online());
}

}  // namespace
