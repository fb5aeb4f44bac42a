// Find, ignoring users, the tray icon and spell checking, as a user reaches them from the menus
// and the Settings page. The randomized session test checks their invariants; these show the
// paths that test does not take.
#include "conveniences.h"
#include "conversation_log.h"
#include "find.h"
#include "form_support.h"
#include "ignoring.h"
#include "spelling.h"
#include "tray.h"
#include "tray_icon.h"

#include <QLabel>
#include <QMenu>

// Which words are marked: the dictionary's judgement, but never call signs, links, mail
// addresses, references or the user list's names.
TEST_F(FormTest, SpellingMarksOnlyUnknownProse) {
    Connected("CALL", "NAME");
    ServerSends("~DL1ABC-ZYGMUNT,G4XYZ-WLODEK\r\n");
    ASSERT_EQ(Form->Conveniences->Spelling->Language(), "en_US");
    auto marked = [&](const QString& Text) {
        QStringList words;
        for (const TTextSpan& w : Form->Conveniences->Spelling->UnknownWords(Text)) words << Text.mid(w.Start, w.Length);
        return words.join(' ');
    };
    const std::pair<const char*, const char*> table[] = {
        {"the quick brown fox", ""},
        {"teh quikc fox", "teh quikc"},
        {"DL1ABC and dl1abc 73 de G4XYZ", ""},
        {"see [https://exmpl.example/qwx] or www.qwxz.example or qwx@qwxz.example", ""},
        {"hi zygmunt, Wlodek", ""},
        {"don't doesn't shouldnt the dogs' bowls'", "shouldnt"},
        {"  recieve\u00a0 recieve ", "recieve recieve"},
    };
    for (const auto& [text, expected] : table) EXPECT_EQ(marked(QString::fromUtf8(text)), expected) << text;
    EXPECT_TRUE(Form->Conveniences->Spelling->Suggestions("recieve").contains("receive"));
    EXPECT_TRUE(Form->Conveniences->Spelling->AddWord("qwxz"));
    EXPECT_EQ(marked("qwxz"), "");
    Form->Conveniences->cbSpell->setChecked(false);
    EXPECT_EQ(marked("teh"), "") << "off";
    Form.reset();
    MakeForm();
    EXPECT_EQ(marked("qwxz teh"), "teh") << "my words are kept in " << TSpelling::WordsFile().toStdString();
}

// Ignoring from the user list and from a sender in the pane; the burst's note, its link, the log.
TEST_F(FormTest, AnIgnoredUsersLinesAreHiddenNotedAndLogged) {
    Connected("CALL", "NAME");
    TIgnoring& ignoring = *Form->Conveniences->Ignoring;
    ServerSends("~DL1ABC-ANNA,G4XYZ-BOB\r\n&<DL1ABC-ANNA><first>\r\n");
    const QPoint sender = Form->DisplayMemo->PositionRect(0).center();
    EXPECT_EQ(ignoring.SenderAt(sender), "DL1ABC");
    QMenu menu;
    ignoring.AddEntry(menu, ignoring.SenderAt(sender));
    ASSERT_EQ(menu.actions().size(), 1);
    EXPECT_EQ(menu.actions()[0]->text(), "Ignore DL1ABC");
    menu.actions()[0]->trigger();
    ServerSends("&<dl1abc-anna><second>\r\n&<DL1ABC-ANNA><third>\r\n&<G4XYZ-BOB><shown>\r\n");
    QStringList lines = DisplayLines();
    EXPECT_FALSE(lines.contains("second") || lines.contains("third"));
    EXPECT_TRUE(lines.contains("2 lines from ignored users hidden (show)")) << lines.join('|').toStdString();
    EXPECT_LT(lines.indexOf("2 lines from ignored users hidden (show)"), lines.indexOf("shown")) << "before the next line";
    // The user list's menu says the same; the Settings page lists the call sign.
    Form->lbUsers->setCurrentRow(0);
    QMenu listMenu;
    ignoring.AddEntry(listMenu, CallOfEntry(Form->lbUsers->item(0)->text()));
    EXPECT_EQ(listMenu.actions()[0]->text(), "Stop ignoring DL1ABC");
    EXPECT_EQ(ignoring.List->item(0)->text(), "DL1ABC");
    // A burst that ends by a quiet moment; its link shows the lines without logging them twice.
    ServerSends("&<DL1ABC-ANNA><fourth>\r\n");
    RunFor(TIgnoring::SettleMs + 200);
    EXPECT_EQ(DisplayLines().filter("ignored users hidden").size(), 2);
    Form->DisplayMemo->OnLinkClick("korvel-hidden:2");
    EXPECT_TRUE(DisplayLines().contains("fourth"));
    Form->ConversationLog->Flush();
    QFile log(Form->ConversationLog->CurrentFile());
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QString logged = QString::fromUtf8(log.readAll());
    EXPECT_EQ(logged.count("(hidden) "), 3) << logged.toStdString();
    EXPECT_EQ(logged.count("fourth"), 1) << "shown later, logged once";
    EXPECT_TRUE(Notifications.filter("DL1ABC").isEmpty() && Notifications.filter("dl1abc").isEmpty());
    // Kept in CL.ini; stopped from the menu.
    Form->close();
    EXPECT_TRUE(ReadSettingsFile().contains("Ignore=1\r\nIgnored=DL1ABC\r\n"));
    MakeForm();
    EXPECT_EQ(Form->Conveniences->Ignoring->Calls(), QStringList{"DL1ABC"});
    Form->Conveniences->Ignoring->Forgive("dl1abc");
    EXPECT_TRUE(Form->Conveniences->Ignoring->Calls().isEmpty());
}

// Closed to the tray the session goes on and lines are counted; the menu connects and quits.
TEST_F(FormTest, TheTrayKeepsTheSessionAndCountsUnreadLines) {
    Connected("CALL", "NAME");
    TTray& tray = *Form->Conveniences->Tray;
    EXPECT_FALSE(tray.Icon->Visible()) << "off by default";
    Form->Conveniences->cbTray->setChecked(true);
    EXPECT_TRUE(tray.Icon->Visible());
    EXPECT_EQ(tray.ConnectAction->text(), "Disconnect");
    EXPECT_FALSE(Form->close()) << "not closed: hidden";
    EXPECT_TRUE(Form->isHidden());
    ServerSends("&<B-2><one>\r\n&<B-2><two>\r\n&<CALL-NAME><mine>\r\n");
    RunFor(150);
    EXPECT_EQ(tray.Unread(), 2);
    EXPECT_EQ(tray.Icon->ToolTip(), "KorvelChat 2 \u2014 2 unread lines");
    tray.Icon->OnClick();
    EXPECT_TRUE(Form->isVisible());
    EXPECT_EQ(tray.Unread(), 0);
    EXPECT_EQ(tray.Icon->ToolTip(), "KorvelChat 2");
    tray.ConnectAction->trigger();
    EXPECT_EQ(ReadFromClient(), "~Exit=KORVEL\r\n");
    EXPECT_EQ(tray.ConnectAction->text(), "Connect");
    tray.Quit();
    EXPECT_TRUE(Form->isHidden());
    EXPECT_TRUE(ReadSettingsFile().contains("Tray=1\r\n"));
}

// Ctrl+F's bar: the case rule, Enter and Shift+Enter around the matches, the History page's own
// bar, and no bar with the box unticked.
TEST_F(FormTest, FindGoesRoundTheMatchesOnBothPages) {
    Connected("CALL", "NAME");
    ServerSends("&<B-2><Hello hello HELLO>\r\n&<B-2><help>\r\n");
    TFindBar& find = *Form->Conveniences->ChatFind;
    find.Open();
    auto count = [&](const QString& Text) {
        find.Field->setText(Text);
        RunUntil([&] { return find.Complete(); });
        return find.Count->text();
    };
    EXPECT_EQ(count("hel"), "1 of 4") << "nearest at the view's top";
    EXPECT_EQ(count("Hel"), "1 of 1") << "a capital letter: case counts";
    EXPECT_EQ(count("hello"), "1 of 3");
    QTest::keyClick(find.Field, Qt::Key_Return, Qt::ShiftModifier);
    EXPECT_EQ(find.Count->text(), "3 of 3") << "back past the first";
    QTest::keyClick(find.Field, Qt::Key_F3);
    EXPECT_EQ(find.Count->text(), "1 of 3");
    EXPECT_EQ(count("xyz"), "No matches");
    Form->History1Click();
    ASSERT_NE(Form->Conveniences->HistoryFind, nullptr);
    Form->Conveniences->HistoryFind->Open();
    Form->Conveniences->HistoryFind->Field->setText("help");
    EXPECT_EQ(Form->Conveniences->HistoryFind->Count->text(), "1 of 1");
    Form->Memo1->appendPlainText("more help");  // text added to the page is searched too
    RunUntil([&] { return Form->Conveniences->HistoryFind->Complete(); });
    EXPECT_EQ(Form->Conveniences->HistoryFind->Count->text(), "1 of 2");
    Form->Conveniences->cbFind->setChecked(false);
    EXPECT_TRUE(Form->Conveniences->HistoryFind->isHidden());
    const QList<QCheckBox*> boxes = Form->Conveniences->Boxes() + QList<QCheckBox*>{Form->cbUserTools};
    for (QCheckBox* box : boxes)
        EXPECT_TRUE(box->isVisibleTo(Form->TabSheet4)) << box->text().toStdString();
    // Searched back from the view at the end: a match on the first line above the view is counted.
    Form->Chat1Click(), Form->Conveniences->cbFind->setChecked(true);
    for (int i = 0; i < 30; ++i) ServerSends("&<Q-9><x>\r\n");
    RunFor(50);
    EXPECT_GT(Form->DisplayMemo->LineCount(), 60);
    find.Open();
    EXPECT_TRUE(count("Q-9").endsWith(" of 30")) << find.Count->text().toStdString();
}
