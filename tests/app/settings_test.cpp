// The settings file: defaults, the round trip of every key, and how values are spelled.
#include "form_support.h"

#include "application.h"
#include "tzonlyone.h"
#include "instance.h"
#include "settings_values.h"
#include "conversation_log.h"

#include <QAbstractButton>
#include <QDir>
#include <QLabel>
#include <QScreen>
#include <QProcess>
#include <QStatusBar>

#include <tuple>

namespace {

TEST_F(FormTest, WithoutASettingsFileTheDefaultsApplyAndTheFirstCloseWritesEveryKey) {
    MakeForm();
    EXPECT_EQ(Form->size(), QSize(720, 520)) << "a comfortable size";
    EXPECT_EQ(Form->Panel4->width(), 112) << "the user list as designed";
    EXPECT_LE((Form->frameGeometry().center() - Form->screen()->availableGeometry().center()).manhattanLength(), 4)
        << "centred";
    EXPECT_EQ(Form->HostEdit->text(), "localhost");
    EXPECT_EQ(Form->PortEdit->text(), "1024");
    EXPECT_EQ(Form->DisplayMemo->font().pointSize(), 10);
    EXPECT_EQ(DesignFamily(Form->DisplayMemo->font()), "Ms Sans Serif");
    EXPECT_EQ(Form->DisplayMemo->font().family(), "DejaVu Sans") << "the designed name resolved once, not searched for";
    EXPECT_FALSE(Form->DisplayMemo->font().bold());
    EXPECT_EQ(Form->DisplayMemoColor, SystemWindowColor);
    EXPECT_FALSE(Form->CheckBox1->isChecked());
    Form->close();
    const QList<QByteArray> lines = ReadSettingsFile().split('\n');
    QStringList keys;
    for (const QByteArray& line : lines) {
        EXPECT_TRUE(line.isEmpty() || line.endsWith('\r')) << "CR LF lines";
        const int eq = line.indexOf('=');
        if (eq > 0) keys << QString::fromLatin1(line.left(eq));
    }
    EXPECT_EQ(keys, (QStringList{"Top", "Left", "Height", "Width", "Port", "Host", "User", "Name",
                                 "OnTop", "SendMemoH", "Panel4W", "sound", "DMFontStyle",
                                 "DMFontSize", "DMcolor", "DMFontColor", "DMFontName",
                                 "SMFontStyle", "SMFontSize", "SMcolor", "SMFontColor",
                                 "SMFontName", "Attention", "ConversationLog", "SendUTF8", "Reconnect",
                                 "Highlight", "JoinsLeaves", "Links", "Recall", "UTC", "UserTools", "TLS",
                                 "Find", "Ignore", "Ignored", "Tray", "SpellCheck", "SpellLanguage",
                                 "ProxyType", "ProxyHost", "ProxyPort", "ProxyUser",
                                 "ProxyRememberPassword"}));
    EXPECT_TRUE(ReadSettingsFile().contains("Attention=1\r\nConversationLog=1\r\nSendUTF8=0\r\nReconnect=1\r\n"
                                            "Highlight=1\r\nJoinsLeaves=1\r\nLinks=1\r\nRecall=1\r\nUTC=0\r\nUserTools=1\r\nTLS=0\r\n"
                                            "Find=1\r\nIgnore=1\r\nIgnored=\r\nTray=0\r\nSpellCheck=1\r\nSpellLanguage=en_US\r\nProxyType="));
    EXPECT_TRUE(ReadSettingsFile().contains("DMcolor=-2147483643\r\n"));
}

TEST_F(FormTest, EveryValueSurvivesARoundTrip) {
    WriteSettings("[FORM]\r\nUser=CALL\r\nName=NAME\r\n");  // the chat page at start
    MakeForm();
    Form->move(40, 30);
    Form->resize(640, 480);
    Form->edUser->setText("CALL");
    // A name Windows-1252 cannot carry: noted while sending in it, and kept in the file.
    Form->edName->setText(QString::fromUtf8("ΖΩΗ"));
    EXPECT_FALSE(Form->NameNote->isHidden());
    Form->CheckBox1->setChecked(true);
    Form->CheckBox2->setChecked(true);
    for (QCheckBox* box : {Form->cbAttention, Form->cbLog, Form->cbSendUtf8, Form->cbReconnect})
        box->toggle();
    EXPECT_TRUE(Form->NameNote->isHidden()) << "sent as UTF-8, the name arrives";
    QFont font("Liberation Sans", 14);
    font.setBold(true);
    font.setUnderline(true);
    Dialogs.NextFont = TFontChoice{font, QColor(0, 0, 255)};
    Form->RecvWindow1Click();
    EXPECT_EQ(Form->DisplayMemo->palette().color(QPalette::Text), QColor(0, 0, 255));
    Dialogs.NextColor = QColor(255, 0, 0);
    Form->SendWindow2Click();
    Form->close();
    const QByteArray written = ReadSettingsFile();
    EXPECT_TRUE(written.contains("DMFontStyle=BoldUnderLine\r\n"));
    EXPECT_TRUE(written.contains("SMcolor=255\r\n"));
    EXPECT_TRUE(written.contains("DMFontColor=16711680\r\n")) << "the font dialog's colour";
    EXPECT_TRUE(written.contains("OnTop=1\r\n"));
    Form.reset();

    MakeForm();
    EXPECT_EQ(Form->edUser->text(), "CALL");
    EXPECT_EQ(Form->edName->text(), QString::fromUtf8("ΖΩΗ"));
    EXPECT_TRUE(Form->CheckBox1->isChecked()) << "OnTop is read back as ontop";
    EXPECT_TRUE(Form->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_TRUE(Form->CheckBox2->isChecked());
    EXPECT_FALSE(Form->cbAttention->isChecked() || Form->cbLog->isChecked() || Form->cbReconnect->isChecked());
    EXPECT_TRUE(Form->cbSendUtf8->isChecked());
    EXPECT_FALSE(Form->ConversationLog->Enabled()) << "the stored setting reaches the log";
    EXPECT_EQ(Form->WireCode(), TWireCode::Utf8);
    EXPECT_EQ(Form->DisplayMemo->font().pointSize(), 14);
    EXPECT_TRUE(Form->DisplayMemo->font().bold());
    EXPECT_TRUE(Form->DisplayMemo->font().underline());
    EXPECT_EQ(Form->DisplayMemo->palette().color(QPalette::Text), QColor(0, 0, 255));
    EXPECT_EQ(Form->SendMemoColor, 255) << "SMcolor is read back as SMColor";
    EXPECT_EQ(Form->SendMemo->palette().color(QPalette::Base), QColor(255, 0, 0));
    EXPECT_EQ(Form->size(), QSize(640, 480));
    Form->close();
    EXPECT_EQ(ReadSettingsFile(), written) << "reading and writing again changes nothing";
}

// However small CL.ini makes the window, every page shows its texts whole and nothing overlaps.
TEST_F(FormTest, EveryPageShowsItsTextsWholeAtTheSmallestSize) {
    WriteSettings("[FORM]\r\nLeft=10\r\nTop=20\r\nWidth=100\r\nHeight=50\r\n");
    MakeForm();
    EXPECT_EQ(Form->pos(), QPoint(10, 20)) << "a stored position is kept";
    for (QWidget* page : {Form->TabSheet1, Form->TabSheet3, Form->TabSheet4}) {
        Form->ShowPage(page);
        Form->resize(1, 1);
        RunFor(20);
        QList<QWidget*> texts = page->findChildren<QWidget*>();
        texts << Form->StatusText;
        for (QWidget* w : texts) {
            const auto* label = qobject_cast<QLabel*>(w);
            if (!w->isVisible() || (!label && !qobject_cast<QAbstractButton*>(w)) || (label && label->wordWrap())) continue;
            const QString name = label ? label->text() : static_cast<QAbstractButton*>(w)->text();
            EXPECT_GE(w->width(), w->sizeHint().width()) << name.toStdString();
            EXPECT_GE(w->height(), w->minimumSizeHint().height()) << name.toStdString();
            for (QWidget* other : w->parentWidget()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
                if (other != w && other->isVisible() && qobject_cast<QAbstractButton*>(other))
                    EXPECT_FALSE(other->geometry().intersects(w->geometry())) << name.toStdString();
        }
    }
}

// The server is chosen on the settings page: a valid host and port take effect at the next
// Connect and are stored; an invalid one is named and kept out.
TEST_F(FormTest, TheServerIsChosenOnTheSettingsPage) {
    WriteSettings("[FORM]\r\nUser=CALL\r\nName=NAME\r\n");
    MakeForm();
    Form->Settings1Click();
    EXPECT_EQ(Form->edHost->text(), "localhost");
    EXPECT_EQ(Form->edPort->text(), "1024");
    struct Case {
        const char* Host;
        const char* Port;
        const char* Hint;  // empty when the values are taken
    };
    for (const Case& c : {Case{"", "2000", "host"}, Case{"h", "0", "1 to 65535"}, Case{"h", "99999", "1 to 65535"},
                          Case{"h", "x1", "1 to 65535"}, Case{"h", "", "1 to 65535"}}) {
        Form->edHost->setText(c.Host);
        Form->edPort->clear();
        QTest::keyClicks(Form->edPort, c.Port);
        QTest::keyClick(Form->edPort, Qt::Key_Return);
        EXPECT_EQ(Form->PageControl1->currentWidget(), Form->TabSheet4) << c.Host << ":" << c.Port;
        EXPECT_TRUE(Form->SettingsHint->text().contains(c.Hint)) << Form->SettingsHint->text().toStdString();
        EXPECT_EQ(Form->PortEdit->text(), "1024") << "an invalid value is not taken";
    }
    Form->edHost->setText(" 127.0.0.1 ");
    Form->edPort->clear();
    QTest::keyClicks(Form->edPort, QString::number(Server.Port()));
    QTest::keyClick(Form->edPort, Qt::Key_Return);
    EXPECT_EQ(Form->PageControl1->currentWidget(), Form->TabSheet1);
    Form->ConnectButton->click();
    EXPECT_GE(ServerFd = Server.Accept(), 0) << "the next Connect goes to the chosen server";
    Form->close();
    EXPECT_TRUE(ReadSettingsFile().contains("Port=" + QByteArray::number(Server.Port()) + "\r\nHost=127.0.0.1\r\n"));
}

// The first run opens on the settings page. OK refuses an empty call sign or name, else writes
// CL.ini at once; Esc, the menu and closing bring back what was stored; OK never moves.
TEST_F(FormTest, TheSettingsPageIsStoredByOkAndRestoredOtherwise) {
    MakeForm();
    ASSERT_TRUE(RunUntil([&] { return Form->PageControl1->currentWidget() == Form->TabSheet4; }));
    EXPECT_TRUE(Form->SettingsHint->text().contains("press OK, then Connect") && Form->edUser->hasFocus());
    const int okY = Form->Button2->y();
    for (const auto& [user, name, hint] : {std::tuple{"", "NAME", "call sign"}, {"CALL", " ", "name"}}) {
        Form->edUser->setText(user);
        Form->edName->setText(name);
        Form->Button2->click();
        EXPECT_TRUE(Form->SettingsHint->text().contains(hint) && (*user ? Form->edName : Form->edUser)->hasFocus());
        EXPECT_FALSE(QFile::exists(Config.path() + "/CL.ini"));
    }
    Form->edUser->setText("CALL");
    Form->edName->setText("NAME");
    Form->cbLog->setChecked(false);
    QTest::keyClick(Form->edName, Qt::Key_Return);
    EXPECT_EQ(Form->PageControl1->currentWidget(), Form->TabSheet1);
    EXPECT_TRUE(ReadSettingsFile().contains("User=CALL\r\nName=NAME\r\n") && ReadSettingsFile().contains("ConversationLog=0"));
    for (bool escape : {true, false, true}) {
        Form->Settings1Click();
        EXPECT_EQ(Form->Button2->y(), okY);
        Form->edHost->setText("elsewhere");
        Form->edPort->setText("1");
        for (QCheckBox* box : {Form->CheckBox1, Form->cbLog}) box->setChecked(true);
        escape ? QTest::keyClick(Form->edName, Qt::Key_Escape) : Form->Chat1Click();
        RunUntil([&] { return Form->PageControl1->currentWidget() == Form->TabSheet1; });
        EXPECT_EQ(Form->edHost->text() + ":" + Form->edPort->text(), "localhost:1024") << escape;
        EXPECT_FALSE(Form->ConversationLog->Enabled() || Form->CheckBox1->isChecked());
    }
    Form->Settings1Click();
    Form->edName->setText("DRAFT");
    Form->close();
    EXPECT_TRUE(ReadSettingsFile().contains("Name=NAME\r\n")) << "a draft is not stored at close";
}

// Both programs answer --help and --version, with no display needed.
TEST(ProgramTest, HelpAndVersion) {
    struct Case {
        const char* Program;
        const char* Argument;
        const char* Says;
    };
    for (const Case& c : {Case{KORVEL_PROGRAM, "--help", "Usage: korvelchat2"},
                          Case{KORVEL_PROGRAM, "--version", "korvelchat2 2.0.0"},
                          Case{KORVEL_CHATD, "--help", "Usage:"},
                          Case{KORVEL_CHATD, "--version", "korvel-chatd 2.0.0"}}) {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("QT_QPA_PLATFORM");
        env.remove("DISPLAY");
        p.setProcessEnvironment(env);
        p.start(c.Program, {c.Argument});
        ASSERT_TRUE(p.waitForFinished(10000)) << c.Program;
        EXPECT_EQ(p.exitCode(), 0) << c.Program << " " << c.Argument;
        EXPECT_TRUE(p.readAllStandardOutput().contains(c.Says)) << c.Program << " " << c.Argument;
    }
}

TEST_F(FormTest, ValuesAreReadAsTheirTypesSpellThem) {
    WriteSettings("; kept\r\n[form]\r\ntop=0x10\r\nLEFT=$20\r\nDMFontStyle=bOLDiTALIC\r\n"
                  "SMFontStyle=\" Bold\"\r\nDMColor=255\r\nSMColor=-2147483643\r\nPort=abc\r\n"
                  "SendMemoH=xyz\r\nontop=0\r\n[other]\r\nx=1\r\n");
    MakeForm();
    EXPECT_EQ(Form->pos(), QPoint(32, 16));
    EXPECT_TRUE(Form->DisplayMemo->font().bold());
    EXPECT_TRUE(Form->DisplayMemo->font().italic());
    EXPECT_FALSE(Form->SendMemo->font().bold()) << "a leading blank matches no style";
    EXPECT_EQ(Form->DisplayMemo->palette().color(QPalette::Base), QColor(255, 0, 0));
    EXPECT_EQ(Form->SendMemoColor, SystemWindowColor);
    EXPECT_EQ(Form->PortEdit->text(), "abc") << "strings stand as they are";
    EXPECT_FALSE(Form->CheckBox1->isChecked());
    Form->close();
    const QByteArray written = ReadSettingsFile();
    EXPECT_TRUE(written.startsWith("; kept\r\n")) << "lines the program does not know are kept";
    EXPECT_TRUE(written.contains("[other]\r\nx=1\r\n"));
}

TEST_F(FormTest, ACrashedFirstCopyDoesNotLockLaterCopiesOut) {
    // A block left holding a handle that nobody answers on.
    const QString name = qEnvironmentVariable("KORVELCHAT_INSTANCE_NAME");
    int error = 0;
    auto stale = TSharedMemBlock::Open(name, 4, error);
    ASSERT_TRUE(stale);
    const uint32_t dead = 0x7FFFFFF0;
    std::memcpy(stale->Data(), &dead, 4);
    MakeForm();
    EXPECT_FALSE(Form->AnotherInstanceRunning());
    uint32_t now = 0;
    std::memcpy(&now, stale->Data(), 4);
    EXPECT_NE(now, dead) << "the block was taken over";
    EXPECT_NE(now, 0u);
}

// Starts a second copy of the program with a settings folder of its own, which must end by
// itself without writing settings; what it said on standard error.
QByteArray SecondCopyEnds() {
    QTemporaryDir otherConfig;
    QProcess second;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("KORVELCHAT_CONFIG_DIR", otherConfig.path());
    env.insert("QT_QPA_PLATFORM", "offscreen");
    second.setProcessEnvironment(env);
    second.start(KORVEL_PROGRAM, {});
    const bool ended = second.waitForStarted() && RunUntil([&] { return second.state() == QProcess::NotRunning; }, 15000);
    if (!ended) second.kill();
    second.waitForFinished();
    EXPECT_TRUE(ended) << "two copies ran";
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_FALSE(QFile::exists(otherConfig.path() + "/CL.ini")) << "the second copy writes nothing";
    return second.readAllStandardError();
}

TEST_F(FormTest, ASecondCopyRaisesTheFirstAndEndsWithoutWritingSettings) {
    MakeForm();
    ASSERT_FALSE(Form->AnotherInstanceRunning());
    int raised = 0;
    auto original = Form->TzOnlyOne1->OnActivationRequested;
    Form->TzOnlyOne1->OnActivationRequested = [&] {
        ++raised;
        original();
    };
    SecondCopyEnds();
    EXPECT_EQ(raised, 1);
}

// A first copy that later copies cannot reach (its address taken, and a temporary folder whose
// path once left no room for one) says so, and a second copy still ends: the lock keeps the rule.
TEST_F(FormTest, ASecondCopyEndsAlsoWhenTheFirstCannotBeReached) {
    const QString deep = Config.path() + '/' + QString(std::max<qsizetype>(1, 102 - Config.path().size()), 't');
    ASSERT_TRUE(QDir().mkpath(deep));
    qputenv("TMPDIR", QFile::encodeName(deep));
    const int squatter = peer::BindLocal(EndpointAddress(qEnvironmentVariable("KORVELCHAT_INSTANCE_NAME"),
                                                         uint32_t(QCoreApplication::applicationPid())).toStdString(), false);
    ASSERT_GE(squatter, 0);
    MakeForm();
    peer::Close(squatter);
    ASSERT_FALSE(Form->AnotherInstanceRunning());
    EXPECT_TRUE(Form->statusBar()->currentMessage().startsWith("Starting the program again cannot bring this window forward"))
        << Form->statusBar()->currentMessage().toStdString();
    EXPECT_TRUE(SecondCopyEnds().contains("could not be asked to come forward"));
}

}  // namespace
