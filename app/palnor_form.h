#pragma once
// TPalnorForm: the chat client's main window. It holds the pages, the panes, the telnet
// connection and the single-instance guard, and wires their events to its handlers; the
// handlers themselves live in the files named after their concern (session, incoming,
// compose, settings).
#include "chat_protocol.h"
#include "proxy_settings.h"
#include "sent_lines.h"

#include <QMainWindow>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QCheckBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QPlainTextEdit;
class QPushButton;
class QSplitter;
class QStackedWidget;
class QTimer;
class QWindow;
class TAttention;
class TChatPane;
class TConveniences;
class TConversationLog;
class TReconnect;
class TLamp;
class TTnCnx;
class TProxySection;
class TTzOnlyOne;
class TMemoPrint;
class TPrinter;

// The pane's notice that no session stands; a Connect that succeeds may wipe it again.
inline const QString NotConnectedNotice = QStringLiteral("*** NOT CONNECTED ***");

class TPalnorForm : public QMainWindow {
public:
    explicit TPalnorForm(QWidget* Parent = nullptr);
    ~TPalnorForm() override;

    // True when another copy of the program runs: the program then ends without showing this
    // window and without writing its settings.
    bool AnotherInstanceRunning() const;
    bool RunningCopyUnreachable() const;  // and it could not be asked to come forward

    // Where the settings file lives ("CL.ini" beside the program, or the configuration folder).
    static QString SettingsPath();
    static QString ProgramDir();

    // Controls, named as the window's design names them.
    QStackedWidget* PageControl1 = nullptr;
    QWidget* TabSheet1 = nullptr;
    QWidget* TabSheet2 = nullptr;
    QWidget* TabSheet3 = nullptr;
    QWidget* TabSheet4 = nullptr;
    QWidget* TabSheet5 = nullptr;
    QWidget* Panel4 = nullptr;
    QListWidget* lbUsers = nullptr;
    QLabel* UserCount = nullptr;      // "23 users" above the list
    QLineEdit* UserFilter = nullptr;  // narrows the list as one types
    QSplitter* Splitter1 = nullptr;
    QSplitter* Splitter2 = nullptr;
    QPushButton* ConnectButton = nullptr;
    QPushButton* DisconnectButton = nullptr;
    TLamp* Shape1 = nullptr;
    TChatPane* DisplayMemo = nullptr;
    QPlainTextEdit* SendMemo = nullptr;
    QLineEdit* HostEdit = nullptr;
    QLineEdit* PortEdit = nullptr;
    QPushButton* SendButton = nullptr;
    QPushButton* Button3 = nullptr;
    QPushButton* Button4 = nullptr;
    QPlainTextEdit* Memo1 = nullptr;
    QLineEdit* edUser = nullptr;
    QLineEdit* edName = nullptr;
    QLineEdit* edHost = nullptr;  // the server, editable on the settings page
    QLineEdit* edPort = nullptr;
    TProxySection* ProxyBox = nullptr;  // the proxy section of the settings page
    QPushButton* Button2 = nullptr;
    QPushButton* CancelButton = nullptr;  // Esc: back to the stored settings
    QCheckBox* CheckBox1 = nullptr;
    QCheckBox* CheckBox2 = nullptr;
    QPlainTextEdit* Memo2 = nullptr;
    TMemoPrint* MemoPrint1 = nullptr;
    QLabel* StatusText = nullptr;
    QLabel* StateText = nullptr;     // the lamp's state in words
    QLabel* SettingsHint = nullptr;  // why the settings page was shown, or what is wrong there
    QLabel* ComposeNote = nullptr;   // what of the compose text will not arrive as typed
    QLabel* NameNote = nullptr;      // what of the call sign and name will not arrive as typed
    // Beyond the chat itself: attention while away, the conversation log, the wire's code for
    // sending, reconnecting by itself.
    QCheckBox* cbAttention = nullptr;
    QCheckBox* cbLog = nullptr;
    QCheckBox* cbSendUtf8 = nullptr;
    QCheckBox* cbReconnect = nullptr;
    // Conveniences of the chat page, each a setting of its own.
    QCheckBox* cbHighlight = nullptr;  // own lines and mentions drawn apart
    QCheckBox* cbJoins = nullptr;      // a line on who joined and left
    QCheckBox* cbLinks = nullptr;      // [references] drawn as links
    QCheckBox* cbRecall = nullptr;     // Up and Down recall sent lines
    QCheckBox* cbUtc = nullptr;        // times in UTC
    QCheckBox* cbUserTools = nullptr;  // the user count and filter
    QCheckBox* cbTls = nullptr;        // a secure connection to the server
    QPushButton* ShowLogButton = nullptr;
    QLabel* HistorySource = nullptr;  // which text the history page holds
    QLabel* HistoryNote = nullptr;    // that it is a copy, and what becomes of edits
    QPushButton* HistoryBack = nullptr;  // from a log back to the conversation
    TAttention* Attention = nullptr;
    TConversationLog* ConversationLog = nullptr;
    TReconnect* Reconnect = nullptr;
    TConveniences* Conveniences = nullptr;  // find, ignoring users, tray icon, spelling
    TTnCnx* TnCnx = nullptr;
    TTzOnlyOne* TzOnlyOne1 = nullptr;

    // Window-level handlers.
    void Chat1Click();
    void History1Click();
    void Settings1Click();
    void Button2Click();
    void CancelSettingsClick();
    void Help();
    // Opens Target on the desktop; when nothing does, the status line says so (and, for a file
    // or folder, names it to be opened by hand). What names it in the message.
    enum class TByHand { No, Yes };
    void OpenOnDesktop(const QString& Target, const QString& What, TByHand ByHand);
    void FormCreate();
    void FormShow();
    void FormActivate();
    void TabSheet1Show();
    void ShowPage(QWidget* Page);

    // Session control.
    void ConnectButtonClick();
    // The Connect button's work; Automatic: an attempt to reconnect, which keeps the
    // conversation and reports its failures to the series instead of the pane.
    void StartConnect(bool Automatic);
    void DisconnectButtonClick();
    void TnCnxSessionConnected(uint16_t Error);
    void TnCnxSessionClosed(uint16_t Error);
    QString SessionEndNote(uint16_t Error) const;
    void FormCloseQuery(bool& CanClose);

    // Incoming text.
    void TnCnxDataAvailable(const char* Buffer, int Len);
    void HandleChunk(const std::string& Line);
    void ShowChatLine(const TChatLine& Line, bool Own);
    void DisplayMemoChange(const QString& Line);
    void DisplayMemoClick();
    void FocusSendMemo();

    // Composing.
    void SendButtonClick();
    void UpdateComposeNote();
    void UpdateNameNote();

    // History page, made when first shown (Memo1 and the print memo are null until then).
    void BuildHistoryPage();
    void TabSheet3Show();
    void Memo1MouseUp();
    void Button3Click();
    void Button4Click();
    void ShowLogClick();
    void ShowHistorySource(const QString& Source, const QString& Note);
    void OpenLogFolder();
    TPrinter* HistoryPrinter();

    // Settings and appearance.
    void LoadSettings();
    bool SaveSettings(QString* Error);
    // OK on the settings page: checks the page, takes its values into use and writes CL.ini.
    bool StoreSettingsPage();
    void ShowStartPage();
    void FormClose();
    void RecvWindow1Click();
    void SendWindow1Click();
    void RecvWindow2Click();
    void SendWindow2Click();
    void CheckBox1Click();
    TWireCode WireCode() const;
    // The time chat lines are stamped with: UTC or local, as the settings page says.
    QTime ChatClock() const;

    // The user list.
    void ShowUserList(const QString& Text);
    void SetUsers(const QStringList& Entries);
    void FlushJoinsAndLeaves();
    void FilterUsers();
    void UserDoubleClick(QListWidgetItem* Item);

    // Background colours as the settings file stores them (a system colour stays one).
    int32_t DisplayMemoColor = 0;
    int32_t SendMemoColor = 0;
    int32_t DisplayMemoFontColor = 0;
    int32_t SendMemoFontColor = 0;

protected:
    void closeEvent(QCloseEvent* Event) override;
    bool event(QEvent* Event) override;
    bool eventFilter(QObject* Watched, QEvent* Event) override;

private:
    void BuildPages();
    void BuildMenu();
    void WireEvents();
    void SetOnline(bool Online);
    void ShowConnectionState(bool Online);
    void ShowSettingsHint(const QString& Text);
    void ShowNote(QLabel* Note, const QString& Text);
    void UpdateSessionButtons();
    bool AttemptPending() const;
    void AttemptFailed(const QString& Reason);
    // A certificate that did not verify: the user's own attempt asks whether to trust it, an
    // automatic one ends the series. True when it was such a failure.
    bool CheckCertificate(uint16_t Error);
    void LoginTaken();
    void ShowListOffline();
    void WireExtras();
    void WireSettingsPage();
    void WireUsers();
    bool RecallSentLine(bool Up);
    void RestoreSettingsPage();
    void KeepSettingsPage();
    void AnnounceChatLine(const QString& Sender, const QString& Text);
    bool ApplyServerFields();
    bool ApplyProxyFields();
    static QString ProxyPasswordPath();
    void ApplyPaneLook(QWidget* Pane, int32_t Background, int32_t FontColor);
    void ChoosePaneFont(QWidget* Pane, int32_t Background, int32_t& FontColor);
    void SetSendMemoHeight(int Height);
    void SetPanel4Width(int Width);
    int SendMemoHeight() const;
    int Panel4Width() const;
    // Runs a handler; an exception it raises is shown to the user and the program goes on.
    void Guarded(const std::function<void()>& Handler);
    // A handler for a signal, run through Guarded.
    std::function<void()> Guard(void (TPalnorForm::*Handler)());

    TReceivedLines Incoming_;
    std::unique_ptr<TPrinter> HistoryPrinter_;
    // What the window that last had the focus was, decided while it was alive: a dialog's
    // window may be destroyed before this window regains the focus.
    enum class TFocusOrigin { Elsewhere, Self, OwnDialog, OtherWindow };
    TFocusOrigin FocusOrigin(const QWindow* Window) const;
    TFocusOrigin LastFocus_ = TFocusOrigin::Elsewhere;
    bool Activated_ = false;
    bool ClosingByUser_ = false;
    bool Closing_ = false;          // the window began closing: nothing connects any more
    bool AutoAttempt_ = false;      // the current connection was started by reconnecting
    bool MarkReconnected_ = false;  // a reconnect is marked once the server takes the login
    bool LoginTaken_ = false;
    // A session the user did not end leaves its conversation to the next, whoever connects:
    // its text, its welcome (shown once) and its last user list (what joins and leaves are told
    // against).
    bool KeepConversation_ = false;
    bool Continued_ = false;        // this session goes on with the last one's conversation
    bool WelcomeShown_ = false;
    std::vector<std::string> OwnSenders_;  // call sign and name as this session's lines sent them
    QString LoginCall_;             // the call sign the login sent: what mentions name
    TSentLines SentLines_;
    bool Recalling_ = false;        // the compose pane shows a recalled line being put in
    // The user lists of a session: the one joins and leaves are told against (none before the
    // session's first), the one shown, and the text it came as (a list continued by a later
    // read comes again, longer). The line on who joined and left waits until the list is
    // whole: the next message of another kind, or a quiet moment.
    std::optional<QStringList> UsersKnown_;
    QStringList UsersShown_;
    QString UsersText_;
    bool UsersChanged_ = false;
    QTimer* UsersSettle_ = nullptr;
    QString LostReason_;  // why a countdown to reconnecting runs
    // The settings page as last stored: Cancel, and leaving the page any other way than OK,
    // bring it back.
    struct TStoredPage {
        QString User, Name, Host, Port;
        QList<bool> Boxes;
    };
    TStoredPage Stored_;
    // The proxy in use (its password for this session, or remembered).
    TProxySettings Proxy_;
    bool OnSettingsPage_ = false;
    int SendMemoHeight_ = 41;
    int Panel4Width_ = 112;
};
