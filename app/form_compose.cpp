// Composing: Enter sends the compose pane's text as one chat line; Up and Down bring back the
// lines sent before.
#include "chat_pane.h"
#include "palnor_form.h"
#include "codepage.h"
#include "tncnx.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>

#include <algorithm>

void TPalnorForm::SendButtonClick() {
    if (TnCnx->State() != wsConnected) {
        DisplayMemo->AppendLine(NotConnectedNotice);
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
    const std::string line = ChatLineBytes(edUser->text(), edName->text(), text, WireCode());
    // The server sends the line back with this sender: the call sign and name may have changed
    // since the login.
    if (std::ranges::find(OwnSenders_, ChatSenderBytes(line)) == OwnSenders_.end()) OwnSenders_.push_back(ChatSenderBytes(line));
    TnCnx->SendStr(line);
    SentLines_.Add(PaneText(*SendMemo));
    FocusSendMemo();
    SendMemo->clear();
}

// Up in an empty pane or on its first line steps back through the sent lines, Down on its last
// line forward again and past the newest to what was being typed. False: the key moves the caret.
bool TPalnorForm::RecallSentLine(bool Up) {
    if (!cbRecall->isChecked()) return false;
    QTextCursor caret = SendMemo->textCursor();
    const bool edge = SendMemo->document()->isEmpty() ||
                      !caret.movePosition(Up ? QTextCursor::Up : QTextCursor::Down);
    if (!edge) return false;
    const QString shown = PaneText(*SendMemo);
    const std::optional<QString> line = Up ? SentLines_.Up(shown) : SentLines_.Down(shown);
    if (!line) return false;
    Recalling_ = true;
    SendMemo->setPlainText(*line);
    SendMemo->moveCursor(QTextCursor::End);
    Recalling_ = false;
    return true;
}

namespace {
// What the wire's code page cannot carry in Text, as a note for the user; empty when all arrives.
QString UnsentCharactersNote(const QString& Text, TWireCode Code) {
    const QString found = Code == TWireCode::Ansi ? NotInAnsi(Text) : QString();
    if (found.isEmpty()) return {};
    // One blank between the characters, so that letters of a script do not read as a word.
    QString missing;
    for (qsizetype i = 0; i < found.size(); ++i) {
        if (i > 0 && !found[i].isLowSurrogate()) missing += u' ';
        missing += found[i];
    }
    return QStringLiteral("These characters cannot be sent and arrive as \"?\": %1 (the setting "
                          "\"Send as UTF-8\" sends them, for servers whose users all read UTF-8)")
        .arg(missing);
}
}  // namespace

// The chat line has no escape: a ">" ends the message for every receiver, and the wire's code
// page turns what it cannot carry into "?". The user is told before sending, not after.
void TPalnorForm::UpdateComposeNote() {
    const QString text = PaneText(*SendMemo);
    QStringList notes;
    if (text.contains(u'>'))
        notes << QStringLiteral("\">\" ends a chat message: the text after it will not arrive.");
    if (const QString unsent = UnsentCharactersNote(text, WireCode()); !unsent.isEmpty()) notes << unsent;
    ComposeNote->setVisible(!notes.isEmpty());
    ShowNote(ComposeNote, notes.join(u' '));
}

// The call sign and the name travel in the login and in every chat line, so the same holds.
void TPalnorForm::UpdateNameNote() {
    const QString note = UnsentCharactersNote(edUser->text() + edName->text(), WireCode());
    NameNote->setVisible(!note.isEmpty());
    ShowNote(NameNote, note);
}
