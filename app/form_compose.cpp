// Composing: Enter sends the compose pane's text as one chat line.
#include "chat_pane.h"
#include "palnor_form.h"
#include "tncnx.h"

#include <QLineEdit>
#include <QPlainTextEdit>

void TPalnorForm::SendButtonClick() {
    if (TnCnx->State() != wsConnected) {
        DisplayMemo->AppendLine(QStringLiteral("*** NOT CONNECTED ***"));
        return;
    }
    // The pane's lines are separated by CR LF, as the chat line expects them.
    QString text = PaneText(*SendMemo);
    text.replace(u'\n', QStringLiteral("\r\n"));
    bool blank = true;
    for (QChar c : text) blank = blank && c.unicode() <= 32;
    if (blank) {
        DisplayMemo->AppendLine(QStringLiteral("* NOTHING TO SEND *"));
        DisplayMemo->AppendLine(QString());
        return;
    }
    TnCnx->SendStr(ChatLineBytes(edUser->text(), edName->text(), text));
    FocusSendMemo();
    SendMemo->clear();
}
