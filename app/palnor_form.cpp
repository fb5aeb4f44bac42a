// The main window's composition: pages, panes, menu and status bar, and its window-level
// handlers (page switching, focus, help, activation, program end).
#include "palnor_form.h"

#include "attention.h"
#include "chat_pane.h"
#include "chat_text.h"
#include "lamp.h"
#include "proxy_section.h"
#include "server_address.h"
#include "shell.h"
#include "status_line.h"
#include "tncnx.h"
#include "tzonlyone.h"
#include "application.h"
#include "memo_print.h"
#include "printer.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QSplitter>
#include <QStackedWidget>
#include <QStatusBar>
#include <QVBoxLayout>
#include <QWindow>

#include <utility>

namespace {

// Entry fields of the settings page turn every typed letter into upper case.
class TUpperCaseValidator : public QValidator {
public:
    using QValidator::QValidator;
    State validate(QString& Input, int&) const override {
        Input = Input.toUpper();
        return Acceptable;
    }
};

// A note in red that wraps, hidden until it has something to say.
QLabel* NoteLabel() {
    auto* label = new QLabel;
    label->setWordWrap(true);
    label->setStyleSheet(QStringLiteral("color: #b00000"));
    label->hide();
    return label;
}

}  // namespace

TPalnorForm::TPalnorForm(QWidget* Parent) : QMainWindow(Parent) {
    setWindowTitle(QStringLiteral("KorvelChat 2"));
    setFont(DesignFont(QStringLiteral("MS Sans Serif"), 8));
    setGeometry(328, 179, 556, 407);

    TzOnlyOne1 = new TTzOnlyOne(this);
    TzOnlyOne1->OnActivationRequested = [this] {
        if (isMinimized()) showNormal();
        raise();
        activateWindow();
    };

    TnCnx = new TTnCnx(this);
    TnCnx->SetPort(QStringLiteral("23").toStdString());
    TnCnx->SetLocation("TNCNX");
    TnCnx->SetTermType("VT100");
    TnCnx->SetLocalEcho(false);

    BuildPages();
    BuildMenu();
    WireEvents();
    WireExtras();
    WireSettingsPage();
    WireUsers();
    FormCreate();
    ShowConnectionState(false);
    if (const QString note = TzOnlyOne1->EndpointNote(); !note.isEmpty()) statusBar()->showMessage(note);
}

TPalnorForm::~TPalnorForm() = default;

bool TPalnorForm::AnotherInstanceRunning() const { return TzOnlyOne1->AnotherInstanceRunning(); }
bool TPalnorForm::RunningCopyUnreachable() const { return TzOnlyOne1->OwnerUnreachable(); }

QString TPalnorForm::ProgramDir() { return QCoreApplication::applicationDirPath(); }

void TPalnorForm::BuildPages() {
    PageControl1 = new QStackedWidget(this);
    setCentralWidget(PageControl1);

    // Chat page: the user list, then the conversation over the compose pane.
    TabSheet1 = new QWidget;
    Splitter1 = new QSplitter(Qt::Horizontal, TabSheet1);
    Splitter1->setHandleWidth(8);
    Splitter1->setChildrenCollapsible(false);
    Panel4 = new QWidget;
    Panel4->setMinimumWidth(16);
    auto* usersLayout = new QVBoxLayout(Panel4);
    usersLayout->setContentsMargins(0, 0, 0, 0);
    lbUsers = new QListWidget;
    lbUsers->setSelectionMode(QAbstractItemView::SingleSelection);
    lbUsers->setSortingEnabled(false);
    QFont usersFont = lbUsers->font();
    usersFont.setBold(true);
    lbUsers->setFont(usersFont);
    QPalette usersPalette = lbUsers->palette();
    usersPalette.setColor(QPalette::Base, usersPalette.color(QPalette::Highlight));
    usersPalette.setColor(QPalette::Text, Qt::white);
    // Greyed while offline: the list is the last one the server sent.
    usersPalette.setColor(QPalette::Disabled, QPalette::Base, usersPalette.color(QPalette::Disabled, QPalette::Window));
    usersPalette.setColor(QPalette::Disabled, QPalette::Text, Qt::darkGray);
    lbUsers->setPalette(usersPalette);
    UserCount = new QLabel;
    UserCount->setWordWrap(true);  // a narrow list shows the count on two lines
    UserFilter = new QLineEdit;
    UserFilter->setPlaceholderText(QStringLiteral("Filter"));
    UserFilter->setMinimumWidth(8);
    usersLayout->addWidget(UserCount);
    usersLayout->addWidget(UserFilter);
    usersLayout->addWidget(lbUsers);

    auto* right = new QWidget;
    auto* rightLayout = new QVBoxLayout(right);
    rightLayout->setContentsMargins(0, 0, 0, 0);
    rightLayout->setSpacing(0);
    auto* panel1 = new QWidget;
    panel1->setFixedHeight(28);
    auto* barLayout = new QHBoxLayout(panel1);
    barLayout->setContentsMargins(4, 2, 4, 2);
    ConnectButton = new QPushButton(QStringLiteral("&Connect"));
    DisconnectButton = new QPushButton(QStringLiteral("&Disconnect"));
    DisconnectButton->setEnabled(false);
    Shape1 = new TLamp;
    Shape1->SetFillColor(255);
    StateText = new QLabel;
    barLayout->addWidget(ConnectButton);
    barLayout->addWidget(DisconnectButton);
    barLayout->addWidget(Shape1);
    barLayout->addWidget(StateText);
    barLayout->addStretch();
    Splitter2 = new QSplitter(Qt::Vertical);
    Splitter2->setHandleWidth(8);
    Splitter2->setChildrenCollapsible(false);
    DisplayMemo = new TChatPane;
    DisplayMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    DisplayMemo->setEnabled(false);
    SendMemo = new QPlainTextEdit;
    SendMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    SendMemo->setMinimumHeight(30);
    SendMemo->setTabChangesFocus(true);
    Splitter2->addWidget(DisplayMemo);
    Splitter2->addWidget(SendMemo);
    Splitter2->setStretchFactor(0, 1);
    Splitter2->setStretchFactor(1, 0);
    ComposeNote = NoteLabel();
    rightLayout->addWidget(panel1);
    rightLayout->addWidget(Splitter2, 1);
    rightLayout->addWidget(ComposeNote);
    Splitter1->addWidget(Panel4);
    Splitter1->addWidget(right);
    Splitter1->setStretchFactor(0, 0);
    Splitter1->setStretchFactor(1, 1);
    auto* chatLayout = new QVBoxLayout(TabSheet1);
    chatLayout->setContentsMargins(0, 0, 0, 0);
    chatLayout->addWidget(Splitter1);
    SetPanel4Width(112);
    SetSendMemoHeight(41);

    // A page never shown: the server's address and the send button the keyboard invokes.
    TabSheet2 = new QWidget;
    auto* hidden = new QFormLayout(TabSheet2);
    HostEdit = new QLineEdit;
    HostEdit->setReadOnly(true);
    PortEdit = new QLineEdit(QStringLiteral("1024"));
    PortEdit->setReadOnly(true);
    SendButton = new QPushButton(QStringLiteral("&Send"));
    hidden->addRow(QStringLiteral("Host"), HostEdit);
    hidden->addRow(QStringLiteral("Port"), PortEdit);
    hidden->addRow(SendButton);

    // The history page and the print memo behind it are filled in when first shown: a start
    // that never shows them does not pay for them.
    TabSheet3 = new QWidget;
    TabSheet5 = new QWidget;

    // Settings page.
    TabSheet4 = new QWidget;
    auto* settingsLayout = new QVBoxLayout(TabSheet4);
    auto* label3 = new QLabel(QStringLiteral("ENTER YOU CALL AND NAME BELOW"));
    QFont headingFont = label3->font();
    headingFont.setBold(true);
    headingFont.setPointSize(12);
    label3->setFont(headingFont);
    label3->setStyleSheet(QStringLiteral("color: blue"));
    auto* fields = new QFormLayout;
    edUser = new QLineEdit;
    edName = new QLineEdit;
    edUser->setValidator(new TUpperCaseValidator(edUser));
    edName->setValidator(new TUpperCaseValidator(edName));
    fields->addRow(QStringLiteral("Call....."), edUser);
    fields->addRow(QStringLiteral("Name..."), edName);
    // The chat server, which the window otherwise takes from CL.ini only.
    edHost = new QLineEdit;
    edPort = new QLineEdit;
    edPort->setMaxLength(5);
    fields->addRow(QStringLiteral("Server host"), edHost);
    fields->addRow(QStringLiteral("Server port"), edPort);
    cbTls = new QCheckBox(QStringLiteral("Secure connection (TLS)"));
    fields->addRow(QString(), cbTls);
    SettingsHint = NoteLabel();
    NameNote = NoteLabel();
    Button2 = new QPushButton(QStringLiteral("OK"));
    CancelButton = new QPushButton(QStringLiteral("Cancel"));
    CancelButton->setShortcut(Qt::Key_Escape);
    // The red note stands beside the buttons, which keep their place at the top of the row
    // whatever the note says, so they never move under the mouse.
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(Button2, 0, Qt::AlignTop);
    buttons->addWidget(CancelButton, 0, Qt::AlignTop);
    buttons->addWidget(SettingsHint, 1);
    auto* bevel1 = new QGroupBox;
    auto* bevelLayout = new QVBoxLayout(bevel1);
    CheckBox1 = new QCheckBox(QStringLiteral("Stay on top"));
    CheckBox2 = new QCheckBox(QStringLiteral("Use Sound"));
    cbAttention = new QCheckBox(QStringLiteral("Notify me of new lines while I am away"));
    cbLog = new QCheckBox(QStringLiteral("Keep a conversation log"));
    cbSendUtf8 = new QCheckBox(QStringLiteral("Send as UTF-8 (only if everyone on the server reads it)"));
    cbReconnect = new QCheckBox(QStringLiteral("Reconnect by itself when the connection is lost"));
    for (QCheckBox* box : {CheckBox1, CheckBox2, cbAttention, cbLog, cbSendUtf8, cbReconnect})
        bevelLayout->addWidget(box);
    auto* bevel2 = new QGroupBox;
    auto* bevel2Layout = new QVBoxLayout(bevel2);
    cbHighlight = new QCheckBox(QStringLiteral("Set my lines and mentions of me apart"));
    cbJoins = new QCheckBox(QStringLiteral("Tell who joins and leaves"));
    cbLinks = new QCheckBox(QStringLiteral("Draw [references] as links"));
    cbRecall = new QCheckBox(QStringLiteral("Up and Down recall sent lines"));
    cbUtc = new QCheckBox(QStringLiteral("Times in UTC"));
    cbUserTools = new QCheckBox(QStringLiteral("Count and filter the users"));
    for (QCheckBox* box : {cbHighlight, cbJoins, cbLinks, cbRecall, cbUtc, cbUserTools})
        bevel2Layout->addWidget(box);
    bevel2Layout->addStretch();
    // The boxes scroll in a window too small to show them all, so they never make it larger.
    auto* boxes = new QWidget;
    auto* boxesColumn = new QVBoxLayout(boxes);
    boxesColumn->setContentsMargins(0, 0, 0, 0);
    auto* bevels = new QHBoxLayout;
    bevels->addWidget(bevel1, 0, Qt::AlignTop);
    bevels->addWidget(bevel2, 0, Qt::AlignTop);
    bevels->addStretch();
    // The proxy below the boxes, as wide as its fields need.
    ProxyBox = new TProxySection;
    auto* proxyRow = new QHBoxLayout;
    proxyRow->addWidget(ProxyBox);
    proxyRow->addStretch();
    boxesColumn->addLayout(bevels);
    boxesColumn->addLayout(proxyRow);
    boxesColumn->addStretch();
    auto* boxesArea = new QScrollArea;
    boxesArea->setFrameShape(QFrame::NoFrame);
    boxesArea->setWidgetResizable(true);
    boxesArea->setWidget(boxes);
    boxesArea->setAccessibleName(QStringLiteral("Settings"));
    settingsLayout->addWidget(label3);
    settingsLayout->addLayout(fields);
    settingsLayout->addLayout(buttons);
    SettingsHint->show();
    // The note on the names comes and goes below the buttons.
    settingsLayout->addWidget(NameNote);
    settingsLayout->addWidget(boxesArea, 1);

    for (QWidget* page : {TabSheet1, TabSheet2, TabSheet3, TabSheet4, TabSheet5})
        PageControl1->addWidget(page);
    PageControl1->setCurrentWidget(TabSheet1);

    StatusText = new QLabel(QStringLiteral(" Enter to send ................. Shift Enter to add a new line."));
    StatusText->setAlignment(Qt::AlignCenter);
    setStatusBar(new TStatusLine);
    statusBar()->addWidget(StatusText, 1);
    statusBar()->setFixedHeight(std::max(16, statusBar()->sizeHint().height()));
}

// Every entry has a mnemonic; none takes Alt+C or Alt+D, which press Connect and Disconnect.
void TPalnorForm::BuildMenu() {
    QMenuBar* bar = menuBar();
    connect(bar->addAction(QStringLiteral("Ch&at")), &QAction::triggered, this, Guard(&TPalnorForm::Chat1Click));
    connect(bar->addAction(QStringLiteral("&History")), &QAction::triggered, this, Guard(&TPalnorForm::History1Click));
    connect(bar->addAction(QStringLiteral("&Settings")), &QAction::triggered, this, Guard(&TPalnorForm::Settings1Click));
    connect(bar->addAction(QStringLiteral("Lo&g folder")), &QAction::triggered, this, Guard(&TPalnorForm::OpenLogFolder));
    connect(bar->addAction(QStringLiteral("He&lp")), &QAction::triggered, this, Guard(&TPalnorForm::Help));
    QMenu* fonts = bar->addMenu(QStringLiteral("&Fonts"));
    connect(fonts->addAction(QStringLiteral("&Recv Window")), &QAction::triggered, this, Guard(&TPalnorForm::RecvWindow1Click));
    connect(fonts->addAction(QStringLiteral("&Send Window")), &QAction::triggered, this, Guard(&TPalnorForm::SendWindow1Click));
    QMenu* colors = bar->addMenu(QStringLiteral("C&olors"));
    connect(colors->addAction(QStringLiteral("&Recv Window")), &QAction::triggered, this, Guard(&TPalnorForm::RecvWindow2Click));
    connect(colors->addAction(QStringLiteral("&Send Window")), &QAction::triggered, this, Guard(&TPalnorForm::SendWindow2Click));
}

void TPalnorForm::WireEvents() {
    connect(ConnectButton, &QPushButton::clicked, this, Guard(&TPalnorForm::ConnectButtonClick));
    connect(DisconnectButton, &QPushButton::clicked, this, Guard(&TPalnorForm::DisconnectButtonClick));
    connect(SendButton, &QPushButton::clicked, this, Guard(&TPalnorForm::SendButtonClick));
    connect(Button2, &QPushButton::clicked, this, Guard(&TPalnorForm::Button2Click));
    // Enter in a field of the settings page presses OK.
    for (QLineEdit* field : {edUser, edName, edHost, edPort})
        connect(field, &QLineEdit::returnPressed, Button2, &QPushButton::click);
    connect(CheckBox1, &QCheckBox::toggled, this, Guard(&TPalnorForm::CheckBox1Click));

    TnCnx->OnSessionConnected = [this](QObject*, uint16_t e) { TnCnxSessionConnected(e); };
    TnCnx->OnSessionClosed = [this](QObject*, uint16_t e) { TnCnxSessionClosed(e); };
    TnCnx->OnDataAvailable = [this](QObject*, const char* b, int n) { TnCnxDataAvailable(b, n); };

    DisplayMemo->OnChange = [this](const QString& Line) { DisplayMemoChange(Line); };
    DisplayMemo->OnMousePress = [this] { FocusSendMemo(); };
    DisplayMemo->OnClick = [this] { Guarded([this] { DisplayMemoClick(); }); };
    DisplayMemo->OnLinkClick = [this](const QString& Href) {
        if (IsOpenableReference(Href)) OpenOnDesktop(Href, Href, TByHand::No);
    };
    lbUsers->viewport()->installEventFilter(this);
    SendMemo->installEventFilter(this);
    connect(SendMemo, &QPlainTextEdit::textChanged, this, [this] {
        if (!Recalling_) SentLines_.Edited();
        UpdateComposeNote();
    });
    connect(PageControl1, &QStackedWidget::currentChanged, this, [this](int) {
        if (PageControl1->currentWidget() == TabSheet1) TabSheet1Show();
        if (PageControl1->currentWidget() == TabSheet3) Guarded([this] { TabSheet3Show(); });
    });
    // Coming back to this window from another window of the program counts as activation; a
    // dialog this window opened, or another application, does not.
    connect(qApp, &QGuiApplication::focusWindowChanged, this, [this](QWindow* now) {
        const TFocusOrigin before = std::exchange(LastFocus_, FocusOrigin(now));
        if (Activated_ && now && now == windowHandle() && before == TFocusOrigin::OtherWindow)
            Guarded([this] { FormActivate(); });
    });
}

TPalnorForm::TFocusOrigin TPalnorForm::FocusOrigin(const QWindow* Window) const {
    const QWindow* self = windowHandle();
    if (!Window) return TFocusOrigin::Elsewhere;
    if (Window == self) return TFocusOrigin::Self;
    if (Window->type() == Qt::Popup) return TFocusOrigin::OwnDialog;
    for (const QWindow* w = Window->transientParent(); w; w = w->transientParent())
        if (w == self) return TFocusOrigin::OwnDialog;
    return TFocusOrigin::OtherWindow;
}

std::function<void()> TPalnorForm::Guard(void (TPalnorForm::*Handler)()) {
    return [this, Handler] { Guarded([this, Handler] { (this->*Handler)(); }); };
}

void TPalnorForm::Guarded(const std::function<void()>& Handler) {
    try {
        Handler();
    } catch (const std::exception& E) {
        ShowException(E);
    }
}

void TPalnorForm::ShowPage(QWidget* Page) {
    if (Page == TabSheet3) BuildHistoryPage();
    PageControl1->setCurrentWidget(Page);
}
void TPalnorForm::Chat1Click() { ShowPage(TabSheet1); }
void TPalnorForm::History1Click() { ShowPage(TabSheet3); }
void TPalnorForm::Settings1Click() { ShowPage(TabSheet4); }
void TPalnorForm::Button2Click() {
    if (StoreSettingsPage()) ShowPage(TabSheet1);
}

// Valid server fields take effect at the next Connect; an invalid one is named and kept out.
// A port given with the host ("[2001:db8::5]:1024") goes to the port field.
bool TPalnorForm::ApplyServerFields() {
    if (edHost->text().trimmed().isEmpty()) {
        ShowSettingsHint(QStringLiteral("Enter the chat server's host name or address."));
        return false;
    }
    const std::optional<TServerAddress> server = ParseServerHost(edHost->text());
    if (!server) {
        ShowSettingsHint(QStringLiteral("The server host is not a name or an address; an IPv6 address with a port "
                                        "goes in brackets: [2001:db8::5]:1024."));
        return false;
    }
    if (!server->Port.isEmpty()) edPort->setText(server->Port);
    edHost->setText(server->Host);
    const QString host = server->Host;
    bool number = false;
    const uint port = edPort->text().trimmed().toUInt(&number);
    if (!number || port < 1 || port > 65535) {
        ShowSettingsHint(QStringLiteral("The server port is a number from 1 to 65535."));
        return false;
    }
    HostEdit->setText(host);
    PortEdit->setText(QString::number(port));
    ShowSettingsHint(QString());
    return true;
}

void TPalnorForm::ShowSettingsHint(const QString& Text) { ShowNote(SettingsHint, Text); }

// The old help format has no reader here; a readable page ships beside the program, or
// installed in the shared data folder beside the program's bin folder. When the page is missing
// or nothing opens it, the status line names the file so the user can open it by hand.
void TPalnorForm::Help() {
    const QString dir = ProgramDir();
    QString path;
    for (const char* name : {"/KorvelChat2.hlp", "/KorvelChat2.html", "/../share/korvelchat2/KorvelChat2.html"}) {
        path = QDir::cleanPath(dir + QString::fromLatin1(name));
        if (QFileInfo::exists(path)) break;
    }
    if (!QFileInfo::exists(path))
        statusBar()->showMessage(QStringLiteral("The help page is missing: %1 was not found.").arg(path));
    else
        OpenOnDesktop(path, QStringLiteral("The help page"), TByHand::Yes);
}

// The desktop answers after a while (its opener runs as a program of its own); the window may
// be gone by then.
void TPalnorForm::OpenOnDesktop(const QString& Target, const QString& What, TByHand ByHand) {
    const QPointer<TPalnorForm> self(this);
    ShellOpen(Target, [self, Target, What, ByHand](const QString& Why) {
        if (!self) return;
        self->statusBar()->showMessage(ByHand == TByHand::Yes
                                           ? QStringLiteral("%1 could not be opened: %2; open %3 by hand.").arg(What, Why, Target)
                                           : QStringLiteral("%1 could not be opened: %2.").arg(What, Why));
    });
}

// The start page is chosen before the window is first shown as well, so that the first paint
// shows it rather than the chat page that the first activation would then replace.
void TPalnorForm::FormCreate() {
    LoadSettings();
    ShowStartPage();
}

void TPalnorForm::FormShow() {
    // The pane sizes from the settings take effect once the window has its layout.
    SetSendMemoHeight(SendMemoHeight_);
    SetPanel4Width(Panel4Width_);
    FocusSendMemo();
}

void TPalnorForm::FormActivate() {
    ShowStartPage();
    SendMemo->clear();
    FocusSendMemo();
}

void TPalnorForm::TabSheet1Show() {
    FocusSendMemo();
    if (isActiveWindow() && DisplayMemo->AtEnd()) Attention->WindowActivated();
}

// A focus move to a pane whose page is not on screen is skipped.
void TPalnorForm::FocusSendMemo() {
    if (PageControl1->currentWidget() == TabSheet1) SendMemo->setFocus();
}

bool TPalnorForm::event(QEvent* Event) {
    switch (Event->type()) {
    case QEvent::Show:
        Closing_ = false;
        if (!Activated_) QMetaObject::invokeMethod(this, [this] { FormShow(); }, Qt::QueuedConnection);
        break;
    case QEvent::WindowActivate: {
        // The window counts as activated the first time, and when the user comes back to it
        // from another window of this program; not when coming back from another application
        // or from a dialog this window opened (that would wipe the unsent text).
        const bool first = !Activated_;
        Activated_ = true;
        Attention->WindowActivated();
        if (first) Guarded([this] { FormActivate(); });
        break;
    }
    default:
        break;
    }
    return QMainWindow::event(Event);
}

bool TPalnorForm::eventFilter(QObject* Watched, QEvent* Event) {
    if (Watched == lbUsers->viewport() && Event->type() == QEvent::MouseButtonPress) {
        FocusSendMemo();
        return false;
    }
    if (Memo1 && Watched == Memo1->viewport() && Event->type() == QEvent::MouseButtonRelease) {
        // After the pane has taken the release, so the selection is complete.
        QMetaObject::invokeMethod(this, [this] { Memo1MouseUp(); }, Qt::QueuedConnection);
        return false;
    }
    if (Watched == SendMemo && Event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(Event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            if (key->modifiers() & Qt::ShiftModifier) {
                SendMemo->insertPlainText(QStringLiteral("\n"));
            } else {
                SendButton->click();
            }
            return true;
        }
        if ((key->key() == Qt::Key_Up || key->key() == Qt::Key_Down) &&
            !(key->modifiers() & ~Qt::KeypadModifier) && RecallSentLine(key->key() == Qt::Key_Up))
            return true;
    }
    return QMainWindow::eventFilter(Watched, Event);
}

void TPalnorForm::closeEvent(QCloseEvent* Event) {
    bool canClose = true;
    Guarded([&] { FormCloseQuery(canClose); });
    if (!canClose) {
        Event->ignore();
        return;
    }
    Guarded([this] { FormClose(); });
    Event->accept();
}
