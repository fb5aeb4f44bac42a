// The main window against a scripted chat server: connecting, the exact bytes on the wire,
// received lines, the user list, sound, references, and closing.
#include "form_support.h"

#include "conversation_log.h"

#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QScrollBar>
#include <QStatusBar>

namespace {

TEST_F(FormTest, ConnectWithoutCallOrNameShowsTheSettingsPage) {
    WriteSettings("[FORM]\r\nHost=127.0.0.1\r\nPort=" + QByteArray::number(Server.Port()) +
                  "\r\nUser=CALL\r\n");
    MakeForm();
    Form->ConnectButton->click();
    EXPECT_EQ(Form->PageControl1->currentWidget(), Form->TabSheet4);
    EXPECT_LT(Server.Accept(100), 0) << "no connection is opened";
    EXPECT_TRUE(Form->SettingsHint->isVisibleTo(Form.get()));
    EXPECT_TRUE(Form->SettingsHint->text().contains("call sign")) << "the user is told why";
    EXPECT_TRUE(Form->edName->hasFocus()) << "in the field that is missing";
    QTest::keyClicks(Form->edName, "NAME");
    QTest::keyClick(Form->edName, Qt::Key_Return);
    EXPECT_EQ(Form->PageControl1->currentWidget(), Form->TabSheet1) << "Enter presses OK";
    EXPECT_TRUE(Form->SettingsHint->text().isEmpty());
}

// The desktop's answer comes after the request: the status line says what could not be opened.
TEST_F(FormTest, WhatNothingOpensIsNamedInTheStatusLine) {
    MakeForm();
    SetShellOpenHandler([](const QString&) { return false; });
    const std::pair<std::function<void()>, QString> rows[] = {
        {[&] { Form->OpenLogFolder(); }, "open " + Form->ConversationLog->Folder() + " by hand"},
        {[&] { Form->Help(); }, "/KorvelChat2.html"},
        {[&] { Form->DisplayMemo->OnLinkClick("https://example.org/a"); }, "https://example.org/a could not be opened"},
    };
    for (const auto& [action, note] : rows) {
        Form->statusBar()->clearMessage();
        action();
        EXPECT_TRUE(RunUntil([&] { return Form->statusBar()->currentMessage().contains(note); }, 2000))
            << note.toStdString() << ": " << Form->statusBar()->currentMessage().toStdString();
    }
}

TEST_F(FormTest, ARefusedConnectionLeavesTwoLines) {
    WriteSettings("[FORM]\r\nHost=127.0.0.1\r\nPort=" + QByteArray::number(peer::UnusedPort()) +
                  "\r\nUser=CALL\r\nName=NAME\r\n");
    MakeForm();
    Form->ConnectButton->click();
    ASSERT_TRUE(RunUntil([&] { return DisplayLines().size() >= 2; }));
    RunFor(50);
    EXPECT_EQ(DisplayLines().mid(0, 2), (QStringList{"*** NOT CONNECTED ***", "Unable to connect. Error #10061"}));
    EXPECT_EQ(DisplayLines().value(2), Form->HostEdit->text() + ":" + Form->PortEdit->text() +
                                           QString::fromUtf8(" refused the connection — is the chat server running?"));
    EXPECT_EQ(Form->StateText->text(), "Not connected");
    EXPECT_EQ(Form->statusBar()->currentMessage(), "") << "no session was ended";
    EXPECT_EQ(Form->Shape1->FillColor(), 255);
    EXPECT_TRUE(Form->ConnectButton->isEnabled());
}

TEST_F(FormTest, LoginChatAndExitBytesAreExact) {
    Connected();
    EXPECT_TRUE(Form->DisplayMemo->toPlainText().isEmpty()) << "the pane is cleared on connect";
    EXPECT_FALSE(Form->ConnectButton->isEnabled());
    EXPECT_TRUE(Form->DisconnectButton->isEnabled());
    const QString connected = "Connected to 127.0.0.1:" + QString::number(Server.Port()) + " as CALL-NAME";
    EXPECT_EQ(Form->Shape1->toolTip(), connected);
    EXPECT_EQ(Form->Shape1->accessibleName(), connected);
    EXPECT_EQ(Form->StateText->text(), "Connected");
    EXPECT_EQ(Form->windowTitle(), QString::fromUtf8("KorvelChat 2 — CALL-NAME"));

    TypeAndEnter("Hello");
    EXPECT_EQ(ReadFromClient(), "&<CALL-NAME><Hello>\r\n");
    EXPECT_TRUE(Form->SendMemo->toPlainText().isEmpty());

    QTest::keyClicks(Form->SendMemo, "  two");
    QTest::keyClick(Form->SendMemo, Qt::Key_Return, Qt::ShiftModifier);
    QTest::keyClicks(Form->SendMemo, "lines  ");
    EXPECT_EQ(Form->SendMemo->toPlainText(), "  two\nlines  ") << "Shift+Enter never sends";
    QTest::keyClick(Form->SendMemo, Qt::Key_Shift);
    QTest::keyClick(Form->SendMemo, Qt::Key_Return);
    EXPECT_EQ(ReadFromClient(), "&<CALL-NAME><  two\x02\x01lines  >\r\n");
    TypeAndEnter(QString::fromUtf8("no\u00a0break"));
    EXPECT_EQ(ReadFromClient(), "&<CALL-NAME><no\xa0" "break>\r\n") << "a no-break space is sent as typed";

    Form->lbUsers->addItem("SOMEONE");
    Form->DisconnectButton->click();
    EXPECT_EQ(ReadFromClient(), "~Exit=KORVEL\r\n");
    EXPECT_TRUE(peer::WaitEof(ServerFd));
    EXPECT_EQ(Form->lbUsers->count(), 0);
    EXPECT_EQ(Form->Shape1->FillColor(), 255);
    EXPECT_EQ(Form->Shape1->accessibleName(), "Not connected");
    EXPECT_EQ(Form->windowTitle(), "KorvelChat 2");
    EXPECT_EQ(Form->statusBar()->currentMessage(), "") << "the user ended the session";
}

// Alt+C and Alt+D press Connect and Disconnect; the menus take other letters, one each.
TEST_F(FormTest, MenusHaveMnemonicsOfTheirOwn) {
    MakeForm();
    auto check = [](const QList<QAction*>& actions, QSet<QKeySequence> taken) {
        for (QAction* a : actions) {
            const QKeySequence key = QKeySequence::mnemonic(a->text());
            EXPECT_FALSE(key.isEmpty()) << a->text().toStdString();
            EXPECT_FALSE(taken.contains(key)) << a->text().toStdString();
            taken.insert(key);
        }
    };
    const QList<QAction*> bar = Form->menuBar()->actions();
    check(bar, {QKeySequence(Qt::ALT | Qt::Key_C), QKeySequence(Qt::ALT | Qt::Key_D)});
    for (QAction* a : bar)
        if (a->menu()) check(a->menu()->actions(), {});
}

TEST_F(FormTest, NoticesForOfflineAndBlankText) {
    MakeForm();
    TypeAndEnter("kept");
    EXPECT_EQ(DisplayLines(), QStringList{"*** NOT CONNECTED ***"});
    EXPECT_EQ(Form->SendMemo->toPlainText(), "kept");
    Form.reset();

    Connected();
    Form->SendMemo->setPlainText("  \n ");
    QTest::keyClick(Form->SendMemo, Qt::Key_Return);
    EXPECT_EQ(DisplayLines(), (QStringList{"* NOTHING TO SEND *", ""}));
    EXPECT_EQ(Form->SendMemo->toPlainText(), "  \n ");
    EXPECT_EQ(peer::Recv(ServerFd, 50), "") << "nothing is sent";
}

TEST_F(FormTest, ChatLinesAreShownWithSenderStampAndMessage) {
    Connected();
    ServerSends("&<ONE-A><Hello>\r\n");
    QStringList lines = DisplayLines();
    ASSERT_EQ(lines.size(), 3);
    EXPECT_TRUE(QRegularExpression("^ONE-A \\d\\d.\\d\\d $").match(lines[0]).hasMatch()) << lines[0].toStdString();
    EXPECT_EQ(lines[1], "Hello");
    EXPECT_EQ(lines[2], "");

    Form->DisplayMemo->ClearLines();
    ServerSends("&<B-B><one\x02\x01two>\r\n&<C-C><a>b>\r\n");
    lines = DisplayLines();
    ASSERT_EQ(lines.size(), 7) << lines.join('|').toStdString();
    EXPECT_EQ(lines.mid(1, 3), (QStringList{"one", "two", ""}));
    EXPECT_TRUE(lines[4].startsWith("C-C "));
    EXPECT_EQ(lines[5], "a") << "the message stops at its first >";

    Form->DisplayMemo->ClearLines();
    ServerSends("&<D-D><split ");
    EXPECT_TRUE(Form->DisplayMemo->toPlainText().isEmpty()) << "half a line waits for the rest";
    ServerSends("message>\r\n");
    lines = DisplayLines();
    ASSERT_EQ(lines.size(), 3);
    EXPECT_EQ(lines[1], "split message");

    Form->DisplayMemo->ClearLines();
    ServerSends("&no closing bracket\r\n");
    lines = DisplayLines();
    ASSERT_EQ(lines.size(), 3);
    EXPECT_TRUE(QRegularExpression("^ \\d\\d.\\d\\d $").match(lines[0]).hasMatch());
    EXPECT_EQ(lines[1], "");
}

TEST_F(FormTest, UserListsWelcomeAndOtherLines) {
    Connected();
    ServerSends("*w\r\n~ONE-A,\"TWO B,C\",,X\r\n&<ONE-A><hi>\r\n*x\r\n");
    EXPECT_EQ(Form->lbUsers->count(), 4);
    EXPECT_EQ(Form->lbUsers->item(1)->text(), "TWO B,C");
    EXPECT_EQ(Form->lbUsers->item(2)->text(), "");
    QStringList lines = DisplayLines();
    ASSERT_EQ(lines.size(), 7) << lines.join('|').toStdString();
    EXPECT_EQ(lines.mid(0, 4), (QStringList{"          Welcome.", "Korvel chat version 2.0.0", "", ""}));
    EXPECT_EQ(lines[5], "hi");

    ServerSends("~\r\n");
    EXPECT_EQ(Form->lbUsers->count(), 0);
    ServerSends("~A,B,\"C\r\n");
    EXPECT_EQ(Form->lbUsers->count(), 3);
    EXPECT_EQ(Form->lbUsers->item(0)->text(), "A");
    ServerSends("~ALICE\r\nBOB\r\n");
    EXPECT_EQ(Form->lbUsers->count(), 2) << "a list broken over lines";
}

// At the end the view follows new lines; scrolled up, it stays and a marker says more is below.
TEST_F(FormTest, NewLinesDoNotPullAViewTheUserScrolledUp) {
    WriteSettings("[FORM]\r\nUser=CALL\r\nName=NAME\r\n");  // the chat page at start
    MakeForm();
    TChatPane* pane = Form->DisplayMemo;
    pane->setEnabled(true);  // as during a session
    QScrollBar* bar = pane->verticalScrollBar();
    for (int i = 0; i < 200; ++i) pane->AppendLine(QString("line %1").arg(i));
    RunFor(20);
    ASSERT_GT(bar->maximum(), 0);
    EXPECT_EQ(bar->value(), bar->maximum());
    bar->setValue(10);
    pane->AppendLine("while reading back");
    RunFor(20);
    EXPECT_EQ(bar->value(), 10);
    EXPECT_TRUE(pane->NewLinesMarker->isVisible());
    pane->NewLinesMarker->click();
    EXPECT_EQ(bar->value(), bar->maximum());
    EXPECT_FALSE(pane->NewLinesMarker->isVisible());
    pane->AppendLine("at the end again");
    RunFor(20);
    EXPECT_EQ(bar->value(), bar->maximum());
    EXPECT_FALSE(pane->NewLinesMarker->isVisible());
    for (const int size : {24, 8}) {  // a new font keeps the view at the end, and it follows
        Dialogs.NextFont = TFontChoice{QFont("DejaVu Sans", size), Qt::black};
        Form->RecvWindow1Click(), pane->AppendLine("after a new font"), RunFor(20);
        EXPECT_EQ(bar->value(), bar->maximum()) << size;
    }
}

// Text that will not arrive whole is pointed out while it is in the compose pane.
TEST_F(FormTest, ANoteWarnsOfTextThatWillNotArriveWhole) {
    WriteSettings("[FORM]\r\nUser=CALL\r\nName=NAME\r\n");  // the chat page at start
    MakeForm();
    struct Case {
        const char* Typed;
        const char* Note;  // a part of it; empty when no note is shown
    };
    for (const Case& c : {Case{"plain caf\u00e9 \u20ac \u00a0 ?", ""}, Case{"a > b", "\">\" ends"},
                          Case{"\u0416\u0416 \U0001F600 \u0416", "\"?\": \u0416 \U0001F600 (the"},
                          Case{"\u0393\u03b5\u03b9\u03ac", "\u0393 \u03b5 \u03b9 \u03ac"},
                          Case{"x>\u2603", "text after it"}, Case{"", ""}}) {
        Form->SendMemo->setPlainText(QString::fromUtf8(c.Typed));
        EXPECT_EQ(Form->ComposeNote->isVisibleTo(Form.get()), *c.Note != 0) << c.Typed;
        EXPECT_TRUE(Form->ComposeNote->text().contains(QString::fromUtf8(c.Note)))
            << c.Typed << " -> " << Form->ComposeNote->text().toStdString();
    }
}

TEST_F(FormTest, SoundPlaysOncePerAppendedLineOnlyWhenOn) {
    Connected();
    ServerSends("&<A-A><quiet>\r\n");
    EXPECT_TRUE(Sounds.empty());
    Form->CheckBox2->setChecked(true);
    ServerSends("&<A-A><loud>\r\n");
    EXPECT_EQ(Sounds, (std::vector<std::string>{"SYSTEMSTART", "SYSTEMSTART", "SYSTEMSTART"}));
}

TEST_F(FormTest, ClickingAReferenceOpensOnlyWebAndMailAddresses) {
    Connected();
    ServerSends("&<A-A><see [https://example.org/x] now>\r\n&<B-B><run [/usr/bin/xterm]>\r\n");
    auto clickLine = [&](int line) {
        const QString text = Form->DisplayMemo->toPlainText();
        qsizetype at = 0;
        for (int i = 0; i < line; ++i) at = text.indexOf(u'\n', at) + 1;
        Form->DisplayMemo->SetCaretPosition(at);
        Form->DisplayMemoClick();
        return Form->DisplayMemo->SelectedText();
    };
    EXPECT_EQ(clickLine(1), "see [https://example.org/x] now");
    EXPECT_EQ(Opened, QStringList{"https://example.org/x"});
    EXPECT_EQ(clickLine(4), "run [/usr/bin/xterm]") << "selected";
    EXPECT_EQ(Opened.size(), 1) << "a local program is never started";
    clickLine(2);
    EXPECT_EQ(Opened.size(), 1);
}

TEST_F(FormTest, TheServerEndingTheSessionKeepsTextAndList) {
    Connected();
    Form->cbReconnect->setChecked(false);  // the window as it was before reconnecting by itself
    ServerSends("~A,B\r\n&<A-A><still here>\r\n");
    peer::Close(ServerFd);
    ServerFd = -1;
    ASSERT_TRUE(RunUntil([&] { return Form->Shape1->FillColor() == 255; }));
    EXPECT_EQ(Form->lbUsers->count(), 2);
    EXPECT_EQ(DisplayLines()[1], "still here");
    EXPECT_TRUE(Form->ConnectButton->isEnabled());
    EXPECT_FALSE(Form->DisconnectButton->isEnabled());
    EXPECT_EQ(Form->statusBar()->currentMessage(), "Connection closed by the server");
}

TEST_F(FormTest, ClosingDuringASessionSendsTheExitLineThenWritesSettings) {
    Connected();
    EXPECT_TRUE(ReadSettingsFile().contains("Port="));
    QFile::remove(Config.path() + "/CL.ini");
    Form->close();
    EXPECT_EQ(ReadFromClient(), "~Exit=KORVEL\r\n");
    const QByteArray ini = ReadSettingsFile();
    EXPECT_TRUE(ini.contains("User=CALL\r\n"));
    EXPECT_EQ(Form->PageControl1->currentWidget(), Form->TabSheet1);
}

TEST_F(FormTest, KeysDoNothingInTheConversationAndMousePressesReturnTheFocus) {
    Connected();
    ServerSends("&<A-A><text>\r\n");
    const QString before = Form->DisplayMemo->toPlainText();
    Form->DisplayMemo->setFocus();
    QTest::keyClick(Form->DisplayMemo, Qt::Key_Delete);
    QTest::keyClick(Form->DisplayMemo, Qt::Key_Down);
    QTest::keyClicks(Form->DisplayMemo, "typed");
    EXPECT_EQ(Form->DisplayMemo->toPlainText(), before);
    QTest::mousePress(Form->DisplayMemo->viewport(), Qt::LeftButton);
    EXPECT_TRUE(Form->SendMemo->hasFocus());
    QTest::mouseRelease(Form->DisplayMemo->viewport(), Qt::LeftButton);
    Form->DisplayMemo->setFocus();
    QTest::mousePress(Form->lbUsers->viewport(), Qt::RightButton);
    EXPECT_TRUE(Form->SendMemo->hasFocus());
}

TEST_F(FormTest, AnErrorRaisedByConnectIsShownAndTheWindowStaysOffline) {
    WriteSettings("[FORM]\r\nHost=no.such.host.invalid\r\nPort=1024\r\nUser=C\r\nName=N\r\n");
    MakeForm();
    Form->ConnectButton->click();
    EXPECT_TRUE(Dialogs.Messages.isEmpty()) << "said in the pane, in plain words";
    EXPECT_TRUE(DisplayLines().last().startsWith("Could not find the host 'no.such.host.invalid' - check Server host on "
                                                 "the Settings page (error 1100")) << DisplayLines().last().toStdString();
    EXPECT_EQ(Form->Shape1->FillColor(), 255);
}

}  // namespace
