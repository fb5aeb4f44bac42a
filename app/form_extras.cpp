// Beyond the conversation itself: attention while the user is away, the conversation log,
// reconnecting by itself, the code page for sending, and what screen readers are told.
#include "attention.h"
#include "chat_pane.h"
#include "conversation_log.h"
#include "conveniences.h"
#include "dialogs.h"
#include "memo_print.h"
#include "palnor_form.h"
#include "reconnect.h"
#include "shell.h"

#include <QAccessible>
#include <QCheckBox>
#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QStackedWidget>
#include <QStatusBar>

namespace {
// A reason as a sentence of its own, ended by a full stop unless it has its own end.
QString Sentence(const QString& Text) {
    return Text.isEmpty() || Text.endsWith(u'.') || Text.endsWith(u'?') ? Text : Text + u'.';
}

// A day's log read into the history page at most: a log a flood has filled is shown from its end.
constexpr qint64 MaxLogShown = 16 * 1024 * 1024;
}  // namespace

void TPalnorForm::WireExtras() {
    Attention = new TAttention(this);
    ConversationLog = new TConversationLog(this);
    Reconnect = new TReconnect(this);
    Conveniences = new TConveniences(*this);
    // The settings page decides; its boxes are unticked until the settings are read.
    Attention->SetEnabled(false);
    ConversationLog->SetEnabled(false);
    Reconnect->SetEnabled(false);
    connect(cbAttention, &QCheckBox::toggled, this, [this](bool On) { Attention->SetEnabled(On); });
    connect(cbLog, &QCheckBox::toggled, this, [this](bool On) { ConversationLog->SetEnabled(On); });
    connect(cbUtc, &QCheckBox::toggled, this, [this](bool On) { ConversationLog->SetUtc(On); });
    connect(cbReconnect, &QCheckBox::toggled, this, [this](bool On) {
        const bool stopped = !On && Reconnect->Waiting();
        Reconnect->SetEnabled(On);
        if (stopped) statusBar()->showMessage(QStringLiteral("Reconnecting stopped."));
        UpdateSessionButtons();
    });
    connect(cbSendUtf8, &QCheckBox::toggled, this, [this] {
        UpdateComposeNote();
        UpdateNameNote();
    });
    for (QLineEdit* field : {edUser, edName}) connect(field, &QLineEdit::textChanged, this, [this] { UpdateNameNote(); });

    // A mention the user has not seen counts until the end of the conversation is in view.
    connect(DisplayMemo->verticalScrollBar(), &QScrollBar::valueChanged, this, [this] {
        if (isActiveWindow() && PageControl1->currentWidget() == TabSheet1 && DisplayMemo->AtEnd())
            Attention->WindowActivated();
    });

    ConversationLog->OnError = [this](const QString& Message) { statusBar()->showMessage(Message); };
    DisplayMemo->OnClear = [this, before = DisplayMemo->OnClear] {
        if (before) before();
        ConversationLog->DropProvisional();
    };
    // The status line holds the series: why it runs (the last failure), the countdown, the
    // attempt, and why it gave up. Only the end of a series adds a line to the conversation.
    Reconnect->OnCountdown = [this](int SecondsLeft) {
        UpdateSessionButtons();  // Disconnect stops the countdown
        statusBar()->showMessage(QStringLiteral("%1 Reconnecting in %2 s (Connect: now, Disconnect: stop).")
                                     .arg(Sentence(LostReason_))
                                     .arg(SecondsLeft));
    };
    Reconnect->OnAttempt = [this] {
        statusBar()->showMessage(
            QStringLiteral("Reconnecting to %1:%2\u2026").arg(HostEdit->text(), PortEdit->text()));
        StartConnect(true);
    };
    Reconnect->OnGiveUp = [this] {
        const QString note = QStringLiteral("Reconnecting stopped after %1 failed attempts: %2 Press Connect to try again.")
                                 .arg(TReconnect::MaxFailures)
                                 .arg(Sentence(LostReason_));
        statusBar()->showMessage(note);
        DisplayMemo->AppendLine(note);
        UpdateSessionButtons();
    };

    // Names for screen readers where a control shows no text of its own, or a cryptic one.
    const std::pair<QWidget*, const char*> names[] = {
        {DisplayMemo, "Conversation"},    {SendMemo, "Message to send"},
        {lbUsers, "Users in the chat"},
        {edUser, "Call sign"},            {edName, "Name"},
        {edHost, "Chat server host"},     {edPort, "Chat server port"},
        {UserFilter, "Filter the users"}, {StatusText, "Enter sends, Shift Enter adds a new line"},
    };
    for (const auto& [widget, name] : names) widget->setAccessibleName(QString::fromLatin1(name));
    // A label that shows text is named by its text, so a screen reader says the count or the
    // note itself; what it is goes into its description.
    const std::pair<QWidget*, const char*> descriptions[] = {
        {ComposeNote, "Sending note"}, {SettingsHint, "Settings note"}, {NameNote, "Name note"},
        {UserCount, "Number of users"}, {StatusText, "Keyboard hint"},
    };
    for (const auto& [widget, description] : descriptions) widget->setAccessibleDescription(QString::fromLatin1(description));
}

// A note that tells something new is announced, as a message box would be.
void TPalnorForm::ShowNote(QLabel* Note, const QString& Text) {
    const bool news = !Text.isEmpty() && Text != Note->text();
    Note->setText(Text);
    if (!news) return;
    QAccessibleEvent alert(Note, QAccessible::Alert);
    QAccessible::updateAccessibility(&alert);
}

TWireCode TPalnorForm::WireCode() const {
    return cbSendUtf8->isChecked() ? TWireCode::Utf8 : TWireCode::Ansi;
}

// A screen reader hears each new chat line with its sender: the pane's description carries it
// (setting it raises the change event), and an alert asks for it to be read.
void TPalnorForm::AnnounceChatLine(const QString& Sender, const QString& Text) {
    DisplayMemo->setAccessibleDescription(Sender + QStringLiteral(" says: ") + Text);
    QAccessibleEvent alert(DisplayMemo, QAccessible::Alert);
    QAccessible::updateAccessibility(&alert);
}

// A day's conversation log, also of an earlier session, on the history page: it can be read,
// printed and saved there like the current conversation.
void TPalnorForm::ShowLogClick() {
    BuildHistoryPage();
    ConversationLog->Flush();
    QDir().mkpath(ConversationLog->Folder());
    // Today's file in the zone the log writes: the one the latest lines went to.
    const auto chosen = Dialogs().ChooseOpenFile(this, ConversationLog->CurrentFile(),
                                                 QStringLiteral("Conversation log (*.log)"));
    if (!chosen) return;
    QFile file(*chosen);
    if (!file.open(QIODevice::ReadOnly)) {
        Dialogs().MessageBox(this, QStringLiteral("The log %1 cannot be read: %2").arg(*chosen, file.errorString()));
        return;
    }
    if (file.size() > MaxLogShown) file.seek(file.size() - MaxLogShown);
    // Read as the log is written: stamped lines, their further lines indented, control
    // characters escaped (also those an older log holds raw).
    Memo1->setPlainText(TConversationLog::Shown(file.read(MaxLogShown)));
    Memo2->clear();
    // A day's log is named after its day (and zone); another file chosen in the dialog by its
    // own name.
    QString name = QFileInfo(*chosen).completeBaseName();
    const bool utc = name.endsWith(QStringLiteral("-UTC"));
    if (utc) name.chop(4);
    const bool day = QDate::fromString(name, Qt::ISODate).isValid();
    ShowHistorySource(day ? QStringLiteral("Log of %1%2").arg(name, utc ? QStringLiteral(" (UTC)") : QString())
                          : QStringLiteral("Log %1").arg(QFileInfo(*chosen).fileName()),
                      QStringLiteral("A copy of the log file: edit it before saving or printing; the file "
                                     "itself does not change"));
    statusBar()->showMessage(QStringLiteral("Showing the log %1").arg(*chosen));
}

void TPalnorForm::OpenLogFolder() {
    const QString folder = ConversationLog->Folder();
    QDir().mkpath(folder);
    OpenOnDesktop(folder, QStringLiteral("The log folder"), TByHand::Yes);
}
