// The proxy chosen on the settings page, against real SOCKS daemons (microsocks, dante) and SSH
// dynamic forwarding: the login line reaches the chat server through them, and their refusals
// reach the user in plain words. The daemons are started here, on ports of their own.
#include "form_support.h"

#include "proxy_section.h"

#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>

#include <unistd.h>

namespace {

// A daemon for one test, stopped with it.
class Daemon {
public:
    Daemon(const QString& Program, const QStringList& Args) {
        Process.setProcessChannelMode(QProcess::MergedChannels);
        Process.start(Program, Args);
    }
    ~Daemon() {
        Process.kill();
        Process.waitForFinished(5000);
    }
    // Listening on Port (it accepts a connection), within the time.
    bool Ready(uint16_t Port) {
        return RunUntil([&] {
            const int fd = peer::Connect(Port);
            if (fd < 0) return Process.state() == QProcess::NotRunning && false;
            peer::Close(fd);
            return true;
        }, 10000);
    }
    QProcess Process;
};

struct Row {
    const char* Name;
    const char* Daemon;  // "microsocks", "dante", "ssh" (dynamic forwarding), "none"
    TProxyKind Kind;
    const char* DaemonUser;  // microsocks' account; empty: none
    const char* User;
    const char* Password;
    bool ServerUp;         // the chat server listens (else its port refuses)
    bool Reaches;          // the login line reaches the chat server
    const char* Failure;   // else: the plain words the pane shows
};

// A row reads as its name in test names and failures.
void PrintTo(const Row& R, std::ostream* Out) { *Out << R.Name; }

class ProxyWindowTest : public FormTest, public ::testing::WithParamInterface<Row> {
protected:
    // Dante from a configuration of this test's own: without authentication, or (Account set)
    // with SOCKS 5 user names and passwords, which dante checks against the system's accounts.
    std::unique_ptr<Daemon> StartDante(uint16_t Port, const QByteArray& Account) {
        const QString conf = Config.path() + "/danted.conf";
        QFile f(conf);
        if (!f.open(QIODevice::WriteOnly)) return nullptr;
        f.write("logoutput: stderr\ninternal: 127.0.0.1 port = " + QByteArray::number(Port) +
                "\nexternal: 127.0.0.1\nclientmethod: none\nsocksmethod: " +
                (Account.isEmpty() ? "none" : "username") + "\n"
                "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
                "socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n");
        f.close();
        return std::make_unique<Daemon>(QStringLiteral("danted"), QStringList{"-f", conf, "-N", "1"});
    }
    // An SSH server of this test's own (its host key and the one key it accepts made here) and
    // the client's dynamic forwarding on Port: a SOCKS 4, 4A and 5 proxy. Null when sshd fails.
    std::unique_ptr<Daemon> StartSsh(uint16_t Port) {
        const QString dir = Config.path();
        for (const char* key : {"/host_key", "/user_key"})
            if (QProcess::execute("ssh-keygen", {"-q", "-t", "ed25519", "-N", "", "-f", dir + key}) != 0)
                return nullptr;
        QFile::copy(dir + "/user_key.pub", dir + "/authorized_keys");
        const uint16_t sshPort = peer::UnusedPort();
        QFile conf(dir + "/sshd_config");
        if (!conf.open(QIODevice::WriteOnly)) return nullptr;
        conf.write("ListenAddress 127.0.0.1\nHostKey " + (dir + "/host_key").toUtf8() +
                   "\nAuthorizedKeysFile " + (dir + "/authorized_keys").toUtf8() +
                   "\nStrictModes no\nUsePAM no\nPidFile none\nPermitRootLogin prohibit-password\n"
                   "AllowTcpForwarding yes\n");
        conf.close();
        // The privilege separation folder is made by the package at boot; as root, here too.
        QDir().mkpath("/run/sshd");
        Sshd = std::make_unique<Daemon>(QStandardPaths::findExecutable("sshd", {"/usr/sbin", "/usr/bin"}),
                                        QStringList{"-D", "-e", "-f", dir + "/sshd_config", "-p", QString::number(sshPort)});
        if (!Sshd->Ready(sshPort)) return nullptr;
        return std::make_unique<Daemon>(
            "ssh", QStringList{"-N", "-D", "127.0.0.1:" + QString::number(Port), "-p", QString::number(sshPort),
                               "-i", dir + "/user_key", "-o", "StrictHostKeyChecking=no", "-o",
                               "UserKnownHostsFile=/dev/null", "-o", "BatchMode=yes", "-o",
                               "ExitOnForwardFailure=yes", qEnvironmentVariable("USER", "root") + "@127.0.0.1"});
    }
    std::unique_ptr<Daemon> Sshd;
    struct TAccount {
        QString Name;
        TAccount& operator=(const QString& Value) { Name = Value; return *this; }
        ~TAccount() { if (!Name.isEmpty()) QProcess::execute("userdel", {Name}); }
    } Account;
};

TEST_P(ProxyWindowTest, TheLoginGoesThroughTheProxyOrTheUserHearsWhyNot) {
    const Row& row = GetParam();
    const QString program = QString::fromLatin1(row.Daemon) == "dante" ? "danted" : row.Daemon;
    if (program == "ssh" && QStandardPaths::findExecutable("sshd", {"/usr/sbin", "/usr/bin"}).isEmpty())
        GTEST_SKIP() << "sshd is not installed (scripts/setup installs it)";
    if (program != "none" && QStandardPaths::findExecutable(program).isEmpty())
        GTEST_SKIP() << program.toStdString() << " is not installed (scripts/setup installs it)";
    const uint16_t proxyPort = peer::UnusedPort();
    std::unique_ptr<Daemon> daemon;
    if (program == "microsocks") {
        QStringList args{"-i", "127.0.0.1", "-p", QString::number(proxyPort)};
        if (*row.DaemonUser) args << "-u" << row.DaemonUser << "-P" << "secret";
        daemon = std::make_unique<Daemon>(program, args);
    } else if (program == "danted") {
        if (*row.DaemonUser) {
            // A system account of the test's own, with the password "secret", removed at the end.
            if (::geteuid() != 0) GTEST_SKIP() << "dante's passwords are system accounts: run as root";
            const QString account = row.DaemonUser;
            QProcess::execute("userdel", {account});
            if (QProcess::execute("useradd", {"-M", "-s", "/usr/sbin/nologin", account}) != 0)
                GTEST_SKIP() << "no account could be made for dante";
            Account = account;
            QProcess chpasswd;
            chpasswd.start("chpasswd");
            chpasswd.write((account + ":secret\n").toUtf8());
            chpasswd.closeWriteChannel();
            ASSERT_TRUE(chpasswd.waitForFinished() && chpasswd.exitCode() == 0);
        }
        daemon = StartDante(proxyPort, row.DaemonUser);
    } else if (program == "ssh") {
        daemon = StartSsh(proxyPort);
        ASSERT_TRUE(daemon) << "sshd did not start: " << (Sshd ? Sshd->Process.readAll().toStdString() : "");
    }
    if (daemon) ASSERT_TRUE(daemon->Ready(proxyPort)) << daemon->Process.readAll().toStdString();

    // A chat server that listens, or (for a refused target) a port nobody listens on.
    const uint16_t serverPort = row.ServerUp ? Server.Port() : peer::UnusedPort();
    WriteSettings("[FORM]\r\nHost=127.0.0.1\r\nPort=" + QByteArray::number(serverPort) +
                  "\r\nUser=CALL\r\nName=NAME\r\n");
    MakeForm();
    // Chosen on the settings page and taken with OK.
    Form->Settings1Click();
    TProxySection* box = Form->ProxyBox;
    box->cbProxyKind->setCurrentIndex(static_cast<int>(row.Kind));
    box->edProxyHost->setText("127.0.0.1");
    box->edProxyPort->setText(QString::number(proxyPort));
    box->edProxyUser->setText(row.User);
    box->edProxyPassword->setText(row.Password);
    Form->Button2->click();
    ASSERT_EQ(Form->PageControl1->currentWidget(), Form->TabSheet1) << Form->SettingsHint->text().toStdString();

    Form->ConnectButton->click();
    if (row.Reaches) {
        // The handshake runs in the event loop.
        ASSERT_TRUE(RunUntil([&] { return (ServerFd = Server.Accept(0)) >= 0; }, 10000))
            << DisplayLines().join('\n').toStdString();
        EXPECT_EQ(ReadFromClient(15), "~SC=CALL-NAME\r\n");
        EXPECT_TRUE(RunUntil([&] { return Form->StateText->text() == "Connected"; }));
        return;
    }
    ASSERT_TRUE(RunUntil([&] { return DisplayLines().join('\n').contains("through the proxy"); }, 10000))
        << DisplayLines().join('\n').toStdString();
    const QString shown = DisplayLines().filter("through the proxy").value(0);
    EXPECT_TRUE(shown.contains(row.Failure)) << shown.toStdString();
    EXPECT_FALSE(shown.contains("function")) << "plain words";
    EXPECT_EQ(Form->StateText->text(), "Not connected");
}

const char* const NoAccount = "";

INSTANTIATE_TEST_SUITE_P(
    Daemons, ProxyWindowTest,
    ::testing::Values(
        Row{"microsocks_socks5", "microsocks", TProxyKind::Socks5, NoAccount, "", "", true, true, ""},
        Row{"microsocks_password", "microsocks", TProxyKind::Socks5, "korvel", "korvel", "secret", true, true, ""},
        Row{"microsocks_wrong_password", "microsocks", TProxyKind::Socks5, "korvel", "korvel", "wrong",
            true, false, "the proxy refused the user name or password. (SOCKS error 20015"},
        Row{"microsocks_without_login", "microsocks", TProxyKind::Socks5, "korvel", "", "", true, false,
            "does not accept this way of logging in"},
        Row{"dante_socks4", "dante", TProxyKind::Socks4, NoAccount, "bob", "", true, true, ""},
        // This dante refuses the names of version 4A: its refusal reaches the user in words.
        Row{"dante_refuses_socks4a", "dante", TProxyKind::Socks4A, NoAccount, "", "", true, false,
            "the proxy refused the connection to 127.0.0.1:"},
        Row{"dante_socks5", "dante", TProxyKind::Socks5, NoAccount, "", "", true, true, ""},
        Row{"dante_password", "dante", TProxyKind::Socks5, "korveldante1", "korveldante1", "secret", true, true, ""},
        Row{"dante_wrong_password", "dante", TProxyKind::Socks5, "korveldante2", "korveldante2", "wrong", true, false,
            "the proxy refused the user name or password"},
        Row{"dante_target_refused", "dante", TProxyKind::Socks5, NoAccount, "", "", false, false,
            "refused the proxy's connection"},
        Row{"ssh_socks4", "ssh", TProxyKind::Socks4, NoAccount, "", "", true, true, ""},
        Row{"ssh_socks4a", "ssh", TProxyKind::Socks4A, NoAccount, "", "", true, true, ""},
        Row{"ssh_socks5", "ssh", TProxyKind::Socks5, NoAccount, "", "", true, true, ""},
        Row{"no_proxy_running", "none", TProxyKind::Socks5, NoAccount, "", "", true, false,
            "refused the connection - is it running?"}),
    [](const auto& Info) { return std::string(Info.param.Name); });

// The password is kept for the session unless "Remember the password" is ticked; then it is in
// a file of its own that only the user may read, and never in CL.ini.
TEST_F(FormTest, TheProxyPasswordIsRememberedOnlyWhenAskedAndNeverInTheSettingsFile) {
    WriteSettings("[FORM]\r\nUser=CALL\r\nName=NAME\r\n");
    const QString secretFile = Config.path() + "/proxy-password";
    for (const bool remember : {false, true, false}) {
        SCOPED_TRACE(remember ? "remembered" : "for the session");
        MakeForm();
        Form->Settings1Click();
        TProxySection* box = Form->ProxyBox;
        box->cbProxyKind->setCurrentIndex(static_cast<int>(TProxyKind::Socks5));
        box->edProxyHost->setText("proxy.example");
        box->edProxyPort->setText("1080");
        box->edProxyUser->setText("korvel");
        box->edProxyPassword->setText("s3cret pass");
        box->cbRememberPassword->setChecked(remember);
        Form->Button2->click();
        Form.reset();
        EXPECT_FALSE(ReadSettingsFile().contains("s3cret")) << "never in CL.ini";
        EXPECT_TRUE(ReadSettingsFile().contains("ProxyHost=proxy.example"));
        EXPECT_EQ(QFile::exists(secretFile), remember);
        if (remember)
            EXPECT_EQ(QFile::permissions(secretFile) & ~(QFile::ReadUser | QFile::WriteUser | QFile::ReadOwner | QFile::WriteOwner),
                      QFileDevice::Permissions()) << "readable by the user only";
        MakeForm();
        EXPECT_EQ(Form->ProxyBox->edProxyPassword->text(), remember ? "s3cret pass" : "");
        EXPECT_EQ(Form->ProxyBox->edProxyUser->text(), "korvel");
        Form.reset();
    }
}

// Invalid proxy fields are named on the settings page and kept out; Cancel brings back the
// proxy in use.
TEST_F(FormTest, InvalidProxyFieldsAreNamedAndCancelRestoresTheProxy) {
    WriteSettings("[FORM]\r\nUser=CALL\r\nName=NAME\r\n");
    MakeForm();
    Form->Settings1Click();
    TProxySection* box = Form->ProxyBox;
    box->cbProxyKind->setCurrentIndex(static_cast<int>(TProxyKind::Socks4));
    EXPECT_FALSE(box->edProxyPassword->isEnabled()) << "SOCKS 4 has no password";
    Form->Button2->click();
    EXPECT_EQ(Form->SettingsHint->text(), "Enter the proxy's host name or address.");
    box->edProxyHost->setText("proxy.example");
    box->edProxyPort->setText("70000");
    Form->Button2->click();
    EXPECT_EQ(Form->SettingsHint->text(), "The proxy port is a number from 1 to 65535.");
    Form->CancelButton->click();
    EXPECT_EQ(Form->ProxyBox->Settings().Kind, TProxyKind::None);
}

// A proxy whose name cannot be found is named as the proxy; once the proxy is set to None, the
// next Connect goes straight to the server (the refused attempt left nothing of the proxy behind).
TEST_F(FormTest, AnUnknownProxyHostIsNamedAndNoneConnectsDirectly) {
    WriteSettings("[FORM]\r\nHost=127.0.0.1\r\nPort=" + QByteArray::number(Server.Port()) +
                  "\r\nUser=CALL\r\nName=NAME\r\n");
    MakeForm();
    TProxySection* box = Form->ProxyBox;
    for (const TProxyKind kind : {TProxyKind::Socks5, TProxyKind::None}) {
        Form->Settings1Click();
        box->cbProxyKind->setCurrentIndex(static_cast<int>(kind));
        box->edProxyHost->setText("no-such-proxy.invalid");
        box->edProxyPort->setText("1080");
        Form->Button2->click();
        Form->ConnectButton->click();
        if (kind == TProxyKind::None) break;
        EXPECT_TRUE(DisplayLines().contains(
            "Could not find the proxy host 'no-such-proxy.invalid' - check Proxy host on the Settings page."))
            << DisplayLines().join('\n').toStdString();
    }
    ASSERT_TRUE(RunUntil([&] { return (ServerFd = Server.Accept(0)) >= 0; })) << DisplayLines().join('\n').toStdString();
    EXPECT_EQ(ReadFromClient(15), "~SC=CALL-NAME\r\n");
}

}  // namespace
