// The chat page's conveniences: who joined and left, mentions, links, recalling sent lines,
// UTC stamps, and the user list's count, filter and double click.
#include "chat_text.h"
#include "conversation_log.h"
#include "form_support.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QScrollBar>

struct ListPair {
    QStringList Before, After;
    const char* Line;
};

TEST(ChatTextTest, JoinsAndLeavesBetweenTwoLists) {
    for (const ListPair& c : {
             ListPair{{"A", "B"}, {"A", "B"}, ""},
             ListPair{{"B", "A"}, {"A", "B"}, ""},
             ListPair{{"G4ABC"}, {"DL1ABC-ANNA", "EA4XYZ-JOSE"}, "+ DL1ABC-ANNA, EA4XYZ-JOSE joined; - G4ABC left"},
             ListPair{{}, {"A"}, "+ A joined"},
             ListPair{{"A", "B"}, {"B"}, "- A left"},
             ListPair{{"A", ""}, {"", "", "A"}, ""},
             ListPair{{"A"}, {"A", "A"}, "+ A joined"},
             ListPair{{"a"}, {"A"}, "+ A joined; - a left"},
         })
        EXPECT_EQ(JoinsAndLeaves(c.Before, c.After), c.Line) << c.Before.join(',').toStdString() << " -> "
                                                             << c.After.join(',').toStdString();
}

struct TextCase {
    const char* Text;
    QList<TTextSpan> Mentions;    // of "DL1ABC"
    QList<TTextSpan> References;
};

TEST(ChatTextTest, MentionsAndReferences) {
    for (const TextCase& c : {
             TextCase{"hi DL1ABC", {{3, 6}}, {}},
             TextCase{"dl1abc: hi, Dl1Abc!", {{0, 6}, {12, 6}}, {}},
             TextCase{"XDL1ABC DL1ABCD DL1ABC7", {}, {}},
             TextCase{"DL1ABC/P and DL1ABC-ANNA", {{0, 6}, {13, 6}}, {}},
             TextCase{"see [https://a.example/x] and [mailto:b@c.example]", {}, {{5, 19}, {31, 18}}},
             TextCase{"[/usr/bin/xterm] [file:///etc] [http://x.example", {}, {}},
             TextCase{"[[http://x.example] ]", {}, {{2, 16}}},
         }) {
        EXPECT_EQ(MentionSpans(c.Text, "DL1ABC"), c.Mentions) << c.Text;
        EXPECT_EQ(ReferenceSpans(c.Text), c.References) << c.Text;
    }
    EXPECT_TRUE(MentionSpans("anything", " ").isEmpty()) << "no call sign, no mention";
    // A line of brackets costs its length: four times as many, about four times the time.
    QElapsedTimer clock;
    std::vector<qint64> ns;
    for (const qsizetype n : {15000, 60000}) {
        clock.start();
        EXPECT_EQ(ReferenceSpans(QString(n, u'[') + "http://x.example]" + QString(n, u']')), (QList<TTextSpan>{{n, 16}}));
        ns.push_back(clock.nsecsElapsed());
    }
    EXPECT_LT(ns[1], 8 * ns[0] + 5000000) << ns[0] << " ns for a quarter";
}

namespace {
QTextCharFormat FormatAt(TChatPane* Pane, int Line, int Column) {
    return Pane->FormatAt(Pane->toPlainText().split(u'\n').mid(0, Line).join(u'\n').size() + (Line ? 1 : 0) + Column);
}
}  // namespace

TEST_F(FormTest, ChatPageConveniencesOnAndOff) {
    Connected("CALL", "NAME");
    ServerSends("~A-1,B-2\r\n~A-1,C-3,D-4\r\n&<CALL-NAME><mine>\r\n&<B-2><hey call, [https://x.example/] [https://y.example/]>\r\n");
    QStringList lines = DisplayLines();
    ASSERT_GE(lines.size(), 7) << lines.join('|').toStdString();
    EXPECT_EQ(lines[0], "+ C-3, D-4 joined; - B-2 left") << "none for the session's first list";
    EXPECT_EQ(FormatAt(Form->DisplayMemo, 0, 0).foreground().color(), QColor(0x80, 0x80, 0x80)) << "a quiet line";
    EXPECT_EQ(FormatAt(Form->DisplayMemo, 1, 0).fontWeight(), QFont::Bold) << "one's own sender";
    EXPECT_NE(FormatAt(Form->DisplayMemo, 4, 0).fontWeight(), QFont::Bold);
    EXPECT_TRUE(FormatAt(Form->DisplayMemo, 5, 0).background().style() != Qt::NoBrush) << "a mention";
    EXPECT_EQ(FormatAt(Form->DisplayMemo, 5, 11).anchorHref(), "https://x.example/");

    // A click on the second link opens it alone.
    const QPoint point = Form->DisplayMemo->PositionRect(Form->DisplayMemo->toPlainText().indexOf("y.example") + 2).center();
    QTest::mouseMove(Form->DisplayMemo->viewport(), point);
    EXPECT_EQ(Form->DisplayMemo->viewport()->cursor().shape(), Qt::PointingHandCursor);
    QTest::mouseClick(Form->DisplayMemo->viewport(), Qt::LeftButton, {}, point);
    EXPECT_EQ(Opened, QStringList{"https://y.example/"});
    ServerSends("~A-1,C-3\r\n");  // alone: told once the list has settled
    RunUntil([&] { return DisplayLines().contains("- D-4 left"); }, 2000);
    EXPECT_EQ(DisplayLines().filter(" left").size(), 2);

    // The user list: count, filter, double click.
    EXPECT_EQ(Form->UserCount->text(), "2 users");
    Form->UserFilter->setText("c-");
    EXPECT_EQ(Form->UserCount->text(), "1 of 2 users");
    EXPECT_TRUE(Form->lbUsers->item(0)->isHidden());
    Form->SendMemo->setPlainText("hi ");
    Form->SendMemo->moveCursor(QTextCursor::End);
    emit Form->lbUsers->itemDoubleClicked(Form->lbUsers->item(1));
    EXPECT_EQ(Form->SendMemo->toPlainText(), "hi C ");

    // Recall: Up and Down in the compose pane; a refused line is one Up away.
    Form->SendMemo->clear();
    TypeAndEnter("first");
    TypeAndEnter("second");
    EXPECT_EQ(ReadFromClient(43), "&<CALL-NAME><first>\r\n&<CALL-NAME><second>\r\n") << "wire bytes as ever";
    auto key = [&](Qt::Key k) { QTest::keyClick(Form->SendMemo, k); return Form->SendMemo->toPlainText(); };
    QTest::keyClicks(Form->SendMemo, "draft");
    EXPECT_EQ(key(Qt::Key_Up), "second");
    EXPECT_TRUE(Form->SendMemo->textCursor().atEnd());
    EXPECT_EQ(key(Qt::Key_Up), "first");
    EXPECT_EQ(key(Qt::Key_Up), "first") << "nothing older";
    EXPECT_EQ(key(Qt::Key_Down), "second");
    EXPECT_EQ(key(Qt::Key_Down), "draft");
    Form->SendMemo->clear();
    ServerSends("&<korvel-chatd><Your line of " + std::to_string(sizeof "&<CALL-NAME><first>" - 1) +
                " bytes was not relayed: a line may hold at most 4096 bytes.>\r\n");
    EXPECT_EQ(key(Qt::Key_Up), "first");

    // Off: the pane as before; UTC stamps.
    for (QCheckBox* box : {Form->cbHighlight, Form->cbJoins, Form->cbLinks, Form->cbRecall, Form->cbUserTools})
        box->setChecked(false);
    Form->cbUtc->setChecked(true);
    Form->DisplayMemo->ClearLines();
    ServerSends("~A-1\r\n&<B-2><call [https://x.example/]>\r\n");
    lines = DisplayLines();
    ASSERT_EQ(lines.size(), 3) << lines.join('|').toStdString();
    const QTime utc = QDateTime::currentDateTimeUtc().time();
    EXPECT_TRUE(lines[0].contains(QString("%1").arg(utc.hour(), 2, 10, QChar('0')))) << lines[0].toStdString();
    Form->ConversationLog->Flush();
    QFile log(Form->ConversationLog->FileFor(QDateTime::currentDateTimeUtc().date()));
    ASSERT_TRUE(log.open(QIODevice::ReadOnly)) << "the log's day is the UTC day";
    const QString logged = QString::fromUtf8(log.readAll());
    EXPECT_TRUE(logged.contains(QRegularExpression("^" + QDateTime::currentDateTimeUtc().toString("yyyy-MM-dd HH") +
                                                   ":\\d\\d:\\d\\d Z B-2 ", QRegularExpression::MultilineOption)))
        << "stamps that say they are UTC: " << logged.toStdString();
    EXPECT_TRUE(log.fileName().endsWith("-UTC.log")) << "a file of one zone";
    Dialogs.NextFile = std::nullopt;
    Form->ShowLogClick();
    EXPECT_EQ(Dialogs.ProposedFile, log.fileName()) << "Show log proposes the file the lines went to";
    EXPECT_EQ(FormatAt(Form->DisplayMemo, 1, 6).anchorHref(), "");
    EXPECT_EQ(FormatAt(Form->DisplayMemo, 1, 0).background().style(), Qt::NoBrush);
    Form->SendMemo->clear();
    EXPECT_EQ(key(Qt::Key_Up), "");
    EXPECT_FALSE(Form->UserCount->isVisibleTo(Form.get()));
}

// A mention raises a notification while the window is active but the line is out of view.
TEST_F(FormTest, AMentionOutOfViewIsNotifiedWhileActive) {
    Connected("CALL", "NAME");
    QApplication::setActiveWindow(Form.get());
    for (int i = 0; i < 40; ++i) ServerSends("&<B-2><filler>\r\n");
    Form->DisplayMemo->verticalScrollBar()->setValue(0);
    ServerSends("&<B-2><nothing for you>\r\n&<B-2><CALL, look>\r\n");
    EXPECT_EQ(Notifications, QStringList{"B-2: CALL, look"});
    Form->DisplayMemo->verticalScrollBar()->setValue(Form->DisplayMemo->verticalScrollBar()->maximum());
    ServerSends("&<B-2><call again>\r\n");
    EXPECT_EQ(Notifications.size(), 1) << "in view: no notification";
}
