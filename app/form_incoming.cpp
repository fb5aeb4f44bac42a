// Incoming text: every received line is classified and shown; the user list; the pane's sound,
// focus hand-over and the click that opens a bracketed reference.
#include "attention.h"
#include "chat_pane.h"
#include "conversation_log.h"
#include "reconnect.h"
#include "palnor_form.h"
#include "shell.h"
#include "sound.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QLocale>
#include <QUrl>

#include <utility>

namespace {

// The user's time separator, from the locale's short time format.
QString TimeSeparator() { return TimeSeparatorOf(QLocale().timeFormat(QLocale::ShortFormat)); }

// References come from the remote server: only web and mail addresses are opened, never a
// program or a local file.
bool IsOpenableReference(const QString& Text) {
    const QUrl url(Text.trimmed(), QUrl::StrictMode);
    if (!url.isValid()) return false;
    const QString scheme = url.scheme().toLower();
    return scheme == u"http" || scheme == u"https" || scheme == u"ftp" || scheme == u"mailto";
}

}  // namespace

// The server's text is read line by line: a read may hold several messages, and a message may
// be split over two reads. The lines of one read are laid out in the pane together.
void TPalnorForm::TnCnxDataAvailable(const char* Buffer, int Len) {
    const TChatPane::TBatch batch(*DisplayMemo);
    for (const std::string& line : Incoming_.Feed(std::string_view(Buffer, static_cast<size_t>(Len))))
        HandleChunk(line);
}

void TPalnorForm::HandleChunk(const std::string& Line) {
    const QString Text = ReceivedText(Line);
    const TChunkKind kind = ClassifyChunk(Text);
    // A message of the server's own kinds after the login shows that it took the login.
    if (kind != TChunkKind::Other) LoginTaken();
    switch (kind) {
    case TChunkKind::UserList: {
        lbUsers->setUpdatesEnabled(false);
        lbUsers->clear();
        lbUsers->addItems(ParseCommaText(Text.mid(1)));
        lbUsers->setUpdatesEnabled(true);
        return;
    }
    case TChunkKind::ChatLine: {
        const TChatLine line = ParseChatLine(Text);
        DisplayMemo->AppendLine(line.Sender + ChatTimeStamp(QTime::currentTime(), TimeSeparator()));
        DisplayMemo->AppendLine(line.Message);
        DisplayMemo->AppendLine(QString());
        // One's own line comes back as the login sent it, whatever the fields say now.
        Attention->ChatLine(line.Sender, line.Message, !LoginIdentity_.empty() && ChatSenderBytes(Line) == LoginIdentity_);
        AnnounceChatLine(line.Sender, line.Message);
        return;
    }
    case TChunkKind::Welcome:
        DisplayMemo->AppendLine(QStringLiteral("          Welcome."));
        DisplayMemo->AppendLine(QStringLiteral("Korvel chat version 2.0.0"));
        DisplayMemo->AppendLine(QString());
        DisplayMemo->AppendLine(QString());
        return;
    case TChunkKind::Other:
        return;
    }
}

// The first message after the login: a reconnect is marked in the conversation, and the list
// kept from the last session gives way to the server's.
void TPalnorForm::LoginTaken() {
    if (std::exchange(LoginTaken_, true)) return;
    Reconnect->LoginAccepted();
    if (std::exchange(MarkReconnected_, false))
        DisplayMemo->AppendLine(QStringLiteral("-- reconnected %1 --").arg(ChatTimeStamp(QTime::currentTime(), TimeSeparator()).trimmed()));
    lbUsers->clear();
    lbUsers->setEnabled(true);
    lbUsers->setToolTip(QString());
}

// The list the server sent last stays while offline, greyed, saying how old it is.
void TPalnorForm::ShowListOffline() {
    lbUsers->setEnabled(false);
    lbUsers->setToolTip(QStringLiteral("Not connected - list as of %1")
                            .arg(ChatTimeStamp(QTime::currentTime(), TimeSeparator()).trimmed()));
}

void TPalnorForm::DisplayMemoChange(const QString& Line) {
    if (CheckBox2->isChecked()) PlaySystemSound("SYSTEMSTART");
    if (!Line.isEmpty()) ConversationLog->Append(Line);
}

void TPalnorForm::DisplayMemoClick() {
    QString next;
    const QString line = DisplayMemo->CaretDisplayLine(&next);
    DisplayMemo->SelectCaretDisplayLine();
    QString s = line + next;
    const qsizetype open = s.indexOf(u'[');
    if (open < 0) return;
    s = s.mid(open + 1);
    const qsizetype close = s.indexOf(u']');
    if (close >= 0) s = s.left(close);
    QCoreApplication::processEvents();
    if (IsOpenableReference(s)) ShellOpen(s.trimmed());
}
