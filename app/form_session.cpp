// Session control: connecting, the login and exit lines, and the two looks of the window.
#include "chat_pane.h"
#include "lamp.h"
#include "palnor_form.h"
#include "reconnect.h"
#include "tncnx.h"

#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QLabel>
#include <QStackedWidget>
#include <QStatusBar>

namespace {
constexpr int32_t Red = 255;      // 0x0000FF
constexpr int32_t Green = 65280;  // 0x00FF00

// A plain sentence for a failed attempt, naming the server.
QString ConnectFailure(uint16_t Error, const QString& Host, const QString& Port) {
    const QString server = Host + u':' + Port;
    switch (Error) {
    case 10061: return server + QStringLiteral(" refused the connection \u2014 is the chat server running?");
    case 10060: return server + QStringLiteral(" did not answer in time.");
    case 10051:
    case 10065: return server + QStringLiteral(" cannot be reached from this computer.");
    case 11001:
    case 11004: return QStringLiteral("The host name \"%1\" could not be found.").arg(Host);
    default: return QStringLiteral("Could not connect to %1.").arg(server);
    }
}
}  // namespace

// Connect also ends a countdown to reconnecting: the user's attempt replaces it.
void TPalnorForm::ConnectButtonClick() {
    Reconnect->Cancel();
    StartConnect();
}

void TPalnorForm::StartConnect() {
    if (edName->text().isEmpty() || edUser->text().isEmpty()) {
        ShowPage(TabSheet4);
        ShowSettingsHint(QStringLiteral("Fill in your call sign and name, press OK, then Connect."));
        (edUser->text().isEmpty() ? edUser : edName)->setFocus();
        return;
    }
    statusBar()->clearMessage();
    TnCnx->SetHost(HostEdit->text().toStdString());
    TnCnx->SetPort(PortEdit->text().toStdString());
    TnCnx->SetTermType("VT100");
    TnCnx->SetLocalEcho(false);
    TnCnx->Connect();
    if (TnCnx->State() == wsConnected)
        FocusSendMemo();
    else
        DisplayMemo->AppendLine(QStringLiteral("*** NOT CONNECTED ***"));
    FocusSendMemo();
}

void TPalnorForm::TnCnxSessionConnected(uint16_t Error) {
    if (Error != 0) {
        DisplayMemo->AppendLine(QStringLiteral("Unable to connect. Error #") + QString::number(Error));
        DisplayMemo->AppendLine(ConnectFailure(Error, HostEdit->text(), PortEdit->text()));
        LostReason_ = QStringLiteral("Unable to connect.");
        Reconnect->ConnectionLost(true);
        return;
    }
    DisplayMemo->ClearLines();
    Incoming_.TakeRest();
    SetOnline(true);
    if (PageControl1->currentWidget() == TabSheet1) DisplayMemo->setFocus();
    TnCnx->SendStr(LoginLine(edUser->text(), edName->text(), WireCode()));
    ShowConnectionState(true);
    FocusSendMemo();
}

void TPalnorForm::TnCnxSessionClosed(uint16_t) {
    // A line the server left unfinished is shown as it stands rather than lost.
    for (const std::string& line : Incoming_.TakeRest()) HandleChunk(ReceivedText(line));
    // A session the user did not end was ended by the server (or the network).
    const bool lost = Shape1->FillColor() == Green && !ClosingByUser_;
    SetOnline(false);
    if (lost) {
        const QString closed = QStringLiteral("Connection closed by the server");
        statusBar()->showMessage(closed);
        LostReason_ = closed + u'.';
        Reconnect->ConnectionLost(false);  // a countdown replaces the status line's text
    }
    ShowConnectionState(false);
    if (PageControl1->currentWidget() == TabSheet1) ConnectButton->setFocus();
    FocusSendMemo();
}

void TPalnorForm::SetOnline(bool Online) {
    Shape1->SetFillColor(Online ? Green : Red);
    DisplayMemo->setEnabled(Online);
    ConnectButton->setEnabled(!Online);
    DisconnectButton->setEnabled(Online);
}

void TPalnorForm::DisconnectButtonClick() {
    // Offline, the button only stops a countdown to reconnecting.
    if (Reconnect->Waiting() && TnCnx->State() != wsConnected) {
        Reconnect->Cancel();
        DisconnectButton->setEnabled(false);
        statusBar()->showMessage(QStringLiteral("Reconnecting stopped."));
        return;
    }
    Reconnect->Cancel();
    TnCnx->SendStr(ExitLine());
    ClosingByUser_ = true;
    TnCnx->Close();
    ClosingByUser_ = false;
    lbUsers->clear();
    FocusSendMemo();
}

void TPalnorForm::FormCloseQuery(bool& CanClose) {
    ShowPage(TabSheet1);
    if (TnCnx->State() == wsConnected) DisconnectButtonClick();
    CanClose = true;
}

// The state in words beside the lamp, for its tooltip and for screen readers; the title names
// the call sign so that two copies can be told apart.
void TPalnorForm::ShowConnectionState(bool Online) {
    const QString who = edUser->text() + u'-' + edName->text();
    const QString state = Online ? QStringLiteral("Connected to %1:%2 as %3").arg(HostEdit->text(), PortEdit->text(), who)
                                 : QStringLiteral("Not connected");
    StateText->setText(Online ? QStringLiteral("Connected") : QStringLiteral("Not connected"));
    for (QWidget* w : {static_cast<QWidget*>(Shape1), static_cast<QWidget*>(StateText)}) {
        w->setToolTip(state);
        w->setAccessibleName(state);
    }
    setWindowTitle(Online ? QStringLiteral("KorvelChat 2 \u2014 ") + who : QStringLiteral("KorvelChat 2"));
}
