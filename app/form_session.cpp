// Session control: connecting, the login and exit lines, and the two looks of the window.
#include "chat_pane.h"
#include "lamp.h"
#include "palnor_form.h"
#include "tncnx.h"

#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStackedWidget>

namespace {
constexpr int32_t Red = 255;      // 0x0000FF
constexpr int32_t Green = 65280;  // 0x00FF00
}  // namespace

void TPalnorForm::ConnectButtonClick() {
    if (edName->text().isEmpty() || edUser->text().isEmpty()) {
        ShowPage(TabSheet4);
        return;
    }
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
        return;
    }
    DisplayMemo->ClearLines();
    Incoming_.TakeRest();
    SetOnline(true);
    if (PageControl1->currentWidget() == TabSheet1) DisplayMemo->setFocus();
    TnCnx->SendStr(LoginLine(edUser->text(), edName->text()));
    FocusSendMemo();
}

void TPalnorForm::TnCnxSessionClosed(uint16_t) {
    // A line the server left unfinished is shown as it stands rather than lost.
    for (const std::string& line : Incoming_.TakeRest()) HandleChunk(FromAnsiLine(line));
    SetOnline(false);
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
    TnCnx->SendStr(ExitLine());
    TnCnx->Close();
    lbUsers->clear();
    FocusSendMemo();
}

void TPalnorForm::FormCloseQuery(bool& CanClose) {
    ShowPage(TabSheet1);
    if (TnCnx->State() == wsConnected) DisconnectButtonClick();
    CanClose = true;
}
