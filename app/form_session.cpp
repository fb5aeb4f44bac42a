// Session control: connecting, the login and exit lines, and the two looks of the window. Every
// end of a session or of an attempt, the user's or the server's, leaves the window in one look,
// and nothing of a timer or of the network opens a message box.
#include "chat_pane.h"
#include "conversation_log.h"
#include "dialogs.h"
#include "lamp.h"
#include "palnor_form.h"
#include "proxy_settings.h"
#include "reconnect.h"
#include "server_address.h"
#include "tls_trust.h"
#include "tncnx.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QLabel>
#include <QRegularExpression>
#include <QStackedWidget>
#include <QStatusBar>
#include <QTimer>

#include <utility>

namespace {
constexpr int32_t Red = 255;      // 0x0000FF
constexpr int32_t Green = 65280;  // 0x00FF00

QString HostNotFound(const QString& Host, const QString& Error) {
    return QStringLiteral("Could not find the host '%1' - check Server host on the Settings page (error %2)")
        .arg(Host, Error);
}

// A plain sentence for a failed attempt, naming the server.
QString ConnectFailure(uint16_t Error, const QString& Host, const QString& Port) {
    const QString server = ServerText(Host, Port);
    switch (Error) {
    case 10061: return server + QStringLiteral(" refused the connection \u2014 is the chat server running?");
    case 10060: return server + QStringLiteral(" did not answer in time.");
    case 10051:
    case 10065: return server + QStringLiteral(" cannot be reached from this computer.");
    case 11001:
    case 11004: return HostNotFound(Host, QString::number(Error));
    default:
        if (const QString secure = TlsFailureText(Error, Host, Port); !secure.isEmpty()) return secure;
        return QStringLiteral("Could not connect to %1 (error %2).").arg(server).arg(Error);
    }
}

// An error raised by Connect, in plain words: the socket layer's own text names its functions.
QString RaisedFailure(const QString& Text, const QString& Host, const QString& Port) {
    const QRegularExpressionMatch number = QRegularExpression(QStringLiteral("Error #(\\d+)")).match(Text);
    if (Text.contains(QStringLiteral("ResolveHost")))
        return number.hasMatch() ? HostNotFound(Host, number.captured(1))
                                 : QStringLiteral("The host '%1' is not a valid name or address - check Server host "
                                                  "on the Settings page").arg(Host);
    if (Text.contains(QStringLiteral("ResolvePort")))
        return QStringLiteral("The port '%1' is not valid - check Server port on the Settings page").arg(Port);
    return number.hasMatch() ? QStringLiteral("Could not connect to %1:%2 (error %3).").arg(Host, Port, number.captured(1))
                             : QStringLiteral("Could not connect to %1:%2.").arg(Host, Port);
}
}  // namespace

// Connect also ends a countdown to reconnecting: the user's attempt replaces it.
void TPalnorForm::ConnectButtonClick() {
    Reconnect->Cancel();
    StartConnect(false);
}

void TPalnorForm::StartConnect(bool Automatic) {
    if (Closing_) return;
    if (edName->text().isEmpty() || edUser->text().isEmpty()) {
        if (Automatic) {  // emptied meanwhile: a timer neither switches pages nor asks
            Reconnect->Cancel();
            statusBar()->showMessage(QStringLiteral("Reconnecting stopped: enter a call sign and a name, then press Connect."));
            UpdateSessionButtons();
            return;
        }
        ShowPage(TabSheet4);
        ShowSettingsHint(QStringLiteral("Fill in your call sign and name, press OK, then Connect."));
        (edUser->text().isEmpty() ? edUser : edName)->setFocus();
        return;
    }
    // An automatic attempt keeps "Reconnecting to ..." in the status line while it runs.
    if (!Automatic) statusBar()->clearMessage();
    AutoAttempt_ = Automatic;
    TnCnx->SetHost(HostEdit->text().toStdString());
    TnCnx->SetPort(PortEdit->text().toStdString());
    TnCnx->SetTermType("VT100");
    TnCnx->SetLocalEcho(false);
    const bool proxied = Proxy_.Kind != TProxyKind::None;
    // SOCKS 4 and 4A have a user id and no password.
    const QString password = Proxy_.Kind == TProxyKind::Socks5 ? Proxy_.Password : QString();
    TnCnx->SetProxy({ProxyLevel(Proxy_.Kind).toStdString(), Proxy_.Host.toStdString(),
                     Proxy_.Port.toStdString(), Proxy_.User.toStdString(), password.toStdString()});
    TnCnx->SetTls(cbTls->isChecked());
    TnCnx->SetTlsTrustedFingerprint(TrustedFingerprint(HostEdit->text(), PortEdit->text()).toStdString());
    try {
        TnCnx->Connect();
    } catch (const std::exception& E) {
        // A proxy whose own name cannot be found is named as such.
        const bool proxyHost = proxied && QString::fromLocal8Bit(E.what()).contains(Proxy_.Host);
        QString failure = RaisedFailure(QString::fromLocal8Bit(E.what()), HostEdit->text(), PortEdit->text());
        if (proxyHost)
            failure = QStringLiteral("Could not find the proxy host '%1' - check Proxy host on the Settings page.")
                          .arg(Proxy_.Host);
        if (Automatic)
            AttemptFailed(failure);
        else
            DisplayMemo->AppendLine(failure);
        UpdateSessionButtons();
        return;
    }
    if (TnCnx->State() == wsConnected)
        FocusSendMemo();
    else if (!Automatic)
        DisplayMemo->AppendLine(NotConnectedNotice);
    UpdateSessionButtons();
    FocusSendMemo();
}

// A failed automatic attempt: the series goes on, its countdown naming the failure, or gives up
// with it.
void TPalnorForm::AttemptFailed(const QString& Reason) {
    LostReason_ = Reason;
    if (!Reconnect->Enabled()) {
        statusBar()->showMessage(Reason);
        return;
    }
    Reconnect->ConnectionLost(true);
}

bool TPalnorForm::CheckCertificate(uint16_t Error) {
    if (Error != TlsErrUntrusted) return false;
    const QString host = HostEdit->text(), port = PortEdit->text();
    const TCustomTlsWSocket::TTlsFailure failure = TnCnx->LastTlsFailure();
    if (AutoAttempt_) {
        // Never past an untrusted certificate on its own: the user's Connect asks.
        Reconnect->Cancel();
        LostReason_ = TlsFailureText(Error, host, port);
        statusBar()->showMessage(QStringLiteral("Reconnecting stopped: the certificate of %1:%2 is not trusted. "
                                                "Press Connect to check it.").arg(host, port));
        UpdateSessionButtons();
        return true;
    }
    // Asked from the message loop, not from inside the failed attempt's report.
    QTimer::singleShot(0, this, [this, failure, host, port] {
        Guarded([&] {
            const QString old = TrustedFingerprint(host, port);
            const QString question =
                CertificateQuestion(failure.Certificate, QString::fromStdString(failure.Reason), old, host, port);
            if (!failure.Certificate.Present() ||
                !Dialogs().Confirm(this, question, QStringLiteral("Trust this certificate for %1:%2").arg(host, port))) {
                DisplayMemo->AppendLine(TlsFailureText(TlsErrUntrusted, host, port));
                return;
            }
            QString problem;
            if (!TrustCertificate(host, port, QString::fromStdString(failure.Certificate.Fingerprint), &problem))
                return DisplayMemo->AppendLine(QStringLiteral("The certificate could not be stored: %1").arg(problem));
            StartConnect(false);
        });
    });
    return true;
}

void TPalnorForm::TnCnxSessionConnected(uint16_t Error) {
    if (CheckCertificate(Error)) return;
    if (Error != 0) {
        const QString socksText = Error > 20000 ? QString::fromStdString(TnCnx->ProxyFailure()) : QString();
        // A TLS failure is the server's, also through a proxy.
        const bool direct = Proxy_.Kind == TProxyKind::None || !TlsFailureText(Error, HostEdit->text(), PortEdit->text()).isEmpty();
        const QString failure =
            direct
                ? ConnectFailure(Error, HostEdit->text(), PortEdit->text())
                : ProxyFailureText(Error, socksText, ServerText(Proxy_.Host, Proxy_.Port),
                                   ServerText(HostEdit->text(), PortEdit->text()));
        if (AutoAttempt_) {
            AttemptFailed(failure);
            return;
        }
        DisplayMemo->AppendLine(QStringLiteral("Unable to connect. Error #") + QString::number(Error));
        DisplayMemo->AppendLine(failure);
        return;
    }
    // A session after one that ended without the user's Disconnect goes on with its
    // conversation, whether the user or a countdown connected; otherwise it starts anew.
    if (AutoAttempt_) statusBar()->clearMessage();
    Continued_ = std::exchange(KeepConversation_, false);
    MarkReconnected_ = Continued_;
    if (!Continued_) {
        DisplayMemo->ClearLines();
        WelcomeShown_ = false;
        UsersKnown_.reset();  // who joined and left is told from the session's second list on
    }
    LoginTaken_ = false;
    Reconnect->SessionStarted();
    Incoming_.TakeRest();
    SetOnline(true);
    if (PageControl1->currentWidget() == TabSheet1) DisplayMemo->setFocus();
    const std::string login = LoginLine(edUser->text(), edName->text(), WireCode());
    OwnSenders_ = {login.substr(4, login.size() - 6)};  // between "~SC=" and CR LF
    LoginCall_ = edUser->text();
    UsersChanged_ = false;
    TnCnx->SendStr(login);
    ShowConnectionState(true);
    FocusSendMemo();
}

void TPalnorForm::TnCnxSessionClosed(uint16_t Error) {
    // A line the server left unfinished is shown as it stands rather than lost.
    for (const std::string& line : Incoming_.TakeRest()) HandleChunk(line);
    FlushJoinsAndLeaves();
    const bool wasUp = Shape1->FillColor() == Green;
    // A session the user did not end was ended by the server (or the network).
    const bool lost = wasUp && !ClosingByUser_ && !Closing_;
    MarkReconnected_ = false;
    KeepConversation_ = KeepConversation_ || lost;
    SetOnline(false);
    if (wasUp) {
        ShowListOffline();
        ConversationLog->Append(SessionEndNote(Error));
    }
    if (lost) {
        const QString closed = QStringLiteral("Connection closed by the server");
        statusBar()->showMessage(closed);
        LostReason_ = closed + u'.';
        Reconnect->ConnectionLost(false);  // a countdown replaces the status line's text
        UpdateSessionButtons();
    }
    ShowConnectionState(false);
    if (PageControl1->currentWidget() == TabSheet1) ConnectButton->setFocus();
    FocusSendMemo();
}

// The line the conversation log keeps when a session ends, saying why.
QString TPalnorForm::SessionEndNote(uint16_t Error) const {
    const QString why = Closing_          ? QStringLiteral("the window was closed")
                        : ClosingByUser_  ? QStringLiteral("Disconnect was pressed")
                        : Error == 0      ? QStringLiteral("the server closed the connection")
                                          : QStringLiteral("the connection broke (error %1)").arg(Error);
    return QStringLiteral("*** Session ended: %1 ***").arg(why);
}

void TPalnorForm::SetOnline(bool Online) {
    Shape1->SetFillColor(Online ? Green : Red);
    DisplayMemo->setEnabled(Online);
    ConnectButton->setEnabled(!Online);
    UpdateSessionButtons();
}

bool TPalnorForm::AttemptPending() const {
    const TSocketState state = TnCnx->State();
    return state != wsClosed && state != wsConnected && state != wsInvalidState;
}

// Disconnect ends whatever runs: the session, an attempt still pending, or a countdown.
void TPalnorForm::UpdateSessionButtons() {
    DisconnectButton->setEnabled(TnCnx->State() == wsConnected || AttemptPending() || Reconnect->Waiting());
}

void TPalnorForm::DisconnectButtonClick() {
    const bool up = TnCnx->State() == wsConnected;
    const bool stopping = !up && (AttemptPending() || Reconnect->Waiting());
    const bool reconnecting = Reconnect->Waiting() || AutoAttempt_;
    Reconnect->Cancel();
    KeepConversation_ = false;
    // Only a standing session can take the exit line; a pending attempt is just dropped.
    if (up) TnCnx->SendStr(ExitLine());
    ClosingByUser_ = true;
    TnCnx->Close();
    ClosingByUser_ = false;
    SetUsers({});
    if (stopping)
        statusBar()->showMessage(reconnecting ? QStringLiteral("Reconnecting stopped.") : QStringLiteral("Connecting stopped."));
    UpdateSessionButtons();
    FocusSendMemo();
}

// Reconnecting ends before anything else of the close, which may wait on a message box.
void TPalnorForm::FormCloseQuery(bool& CanClose) {
    Closing_ = true;
    Reconnect->Cancel();
    ShowPage(TabSheet1);
    if (TnCnx->State() == wsConnected || AttemptPending()) DisconnectButtonClick();
    CanClose = true;
}

// The state in words beside the lamp, for its tooltip and for screen readers; the title names
// the call sign so that two copies can be told apart.
void TPalnorForm::ShowConnectionState(bool Online) {
    const QString who = edUser->text() + u'-' + edName->text();
    const QString state = Online ? QStringLiteral("Connected to %1 as %2").arg(ServerText(HostEdit->text(), PortEdit->text()), who)
                                 : QStringLiteral("Not connected");
    StateText->setText(Online ? QStringLiteral("Connected") : QStringLiteral("Not connected"));
    for (QWidget* w : {static_cast<QWidget*>(Shape1), static_cast<QWidget*>(StateText)}) {
        w->setToolTip(state);
        w->setAccessibleName(state);
    }
    setWindowTitle(Online ? QStringLiteral("KorvelChat 2 \u2014 ") + who : QStringLiteral("KorvelChat 2"));
}
