// Incoming text: every received line is classified and shown; the user list; the pane's sound,
// focus hand-over and the click that opens a bracketed reference.
#include "attention.h"
#include "chat_pane.h"
#include "chat_text.h"
#include "conversation_log.h"
#include "conveniences.h"
#include "reconnect.h"
#include "palnor_form.h"
#include "shell.h"
#include "sound.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QLocale>
#include <QRegularExpression>
#include <QStackedWidget>

#include <algorithm>
#include <utility>

namespace {

// The user's time separator, from the locale's short time format.
QString TimeSeparator() { return TimeSeparatorOf(QLocale().timeFormat(QLocale::ShortFormat)); }

// The local chat server's word that a line went nowhere, and the line's length in bytes.
const QRegularExpression Refusal(QStringLiteral("^Your line of (\\d+) bytes was not relayed"));

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
    // Who joined and left is told before what came after the list.
    if (kind != TChunkKind::UserList) FlushJoinsAndLeaves();
    switch (kind) {
    case TChunkKind::UserList:
        ShowUserList(Text.mid(1));
        return;
    case TChunkKind::ChatLine:
        ShowChatLine(ParseChatLine(Text), std::ranges::find(OwnSenders_, ChatSenderBytes(Line)) != OwnSenders_.end());
        return;
    case TChunkKind::Welcome:
        // A conversation that went on over a reconnect was welcomed once.
        if (Continued_ && WelcomeShown_) return;
        WelcomeShown_ = true;
        DisplayMemo->AppendLine(QStringLiteral("          Welcome."));
        DisplayMemo->AppendLine(QStringLiteral("Korvel chat version 2.0.0"));
        DisplayMemo->AppendLine(QString());
        DisplayMemo->AppendLine(QString());
        return;
    case TChunkKind::Other:
        return;
    }
}

// A chat line: the sender with the time, the message, an empty line. One's own line comes back
// with the sender the login or a sent line carried, whatever the fields say now.
void TPalnorForm::ShowChatLine(const TChatLine& Line, bool Own) {
    if (Conveniences->HideChatLine(Line, Own)) return;
    const bool seen = isActiveWindow() && !isMinimized() && PageControl1->currentWidget() == TabSheet1 && DisplayMemo->AtEnd();
    QList<TStyledSpan> sender, message;
    const bool mention = !Own && !MentionSpans(Line.Message, LoginCall_).isEmpty();
    if (cbHighlight->isChecked() && Own) sender.append({0, Line.Sender.size(), TLineStyle::Own, {}});
    if (cbHighlight->isChecked() && mention) message.append({0, Line.Message.size(), TLineStyle::Mention, {}});
    if (cbLinks->isChecked())
        for (const TTextSpan& ref : ReferenceSpans(Line.Message))
            message.append({ref.Start, ref.Length, TLineStyle::Link, Line.Message.mid(ref.Start, ref.Length).trimmed()});
    DisplayMemo->AppendLine(Line.Sender + ChatTimeStamp(ChatClock(), TimeSeparator()), sender);
    DisplayMemo->AppendLine(Line.Message, message);
    DisplayMemo->AppendLine(QString());
    Attention->ChatLine(Line.Sender, Line.Message, Own, cbHighlight->isChecked() && mention && !seen);
    AnnounceChatLine(Line.Sender, Line.Message);
    if (const QRegularExpressionMatch refused = Refusal.match(Line.Message); refused.hasMatch()) {
        // The refused line is the next Up in the compose pane, ready to be shortened.
        SentLines_.Refused(refused.captured(1).toLongLong(), [this](const QString& Sent) {
            const std::string wire = ChatLineBytes(edUser->text(), edName->text(), QString(Sent).replace(u'\n', QStringLiteral("\r\n")), WireCode());
            return qsizetype(wire.size()) - 2;  // without its line end
        });
    }
}

QTime TPalnorForm::ChatClock() const {
    return cbUtc->isChecked() ? QDateTime::currentDateTimeUtc().time() : QTime::currentTime();
}

// The first message after the login: a reconnect is marked in the conversation, and the list
// kept from the last session gives way to the server's.
void TPalnorForm::LoginTaken() {
    if (std::exchange(LoginTaken_, true)) return;
    Reconnect->LoginAccepted();
    if (std::exchange(MarkReconnected_, false))
        DisplayMemo->AppendLine(QStringLiteral("-- reconnected %1 --").arg(ChatTimeStamp(ChatClock(), TimeSeparator()).trimmed()));
    SetUsers({});
    lbUsers->setEnabled(true);
    lbUsers->setToolTip(QString());
}

// The list the server sent last stays while offline, greyed, saying how old it is.
void TPalnorForm::ShowListOffline() {
    lbUsers->setEnabled(false);
    lbUsers->setToolTip(QStringLiteral("Not connected - list as of %1")
                            .arg(ChatTimeStamp(ChatClock(), TimeSeparator()).trimmed()));
}

// The log holds what the pane finally shows: the notice of a pending attempt is logged only
// once a later line shows that it stays (a successful Connect wipes it).
void TPalnorForm::DisplayMemoChange(const QString& Line) {
    if (CheckBox2->isChecked()) PlaySystemSound("SYSTEMSTART");
    if (Line == NotConnectedNotice)
        ConversationLog->AppendProvisional(Line);
    else if (!Line.isEmpty())
        ConversationLog->Append(Line);
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
    if (IsOpenableReference(s)) OpenOnDesktop(s.trimmed(), s.trimmed(), TByHand::No);
}
