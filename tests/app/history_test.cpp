// The history page: the snapshot, printing a mouse selection, and saving to a file.
#include "form_support.h"

#include "memo_print.h"

#include <QDate>
#include <QLabel>
#include <QPushButton>
#include <QProcess>
#include <QStatusBar>

namespace {

class HistoryTest : public FormTest {
protected:
    void WithConversation() {
        Connected();
        ServerSends("&<A-A><first line>\r\n&<B-B><second\xa0line>\r\n");
        Form->History1Click();
        ASSERT_EQ(Form->PageControl1->currentWidget(), Form->TabSheet3);
    }

    // Selects lines From to To (counted from 0) of the history pane with the mouse.
    void SelectWithMouse(int From, int To) {
        QPlainTextEdit* pane = Form->Memo1;
        auto pointOf = [&](int line, bool end) {
            QTextCursor c(pane->document()->findBlockByNumber(line));
            if (end) c.movePosition(QTextCursor::EndOfBlock);
            return pane->cursorRect(c).center();
        };
        QTest::mousePress(pane->viewport(), Qt::LeftButton, {}, pointOf(From, false));
        QTest::mouseMove(pane->viewport(), pointOf(To, true));
        QTest::mouseRelease(pane->viewport(), Qt::LeftButton, {}, pointOf(To, true));
        RunFor(20);
    }
};

TEST_F(HistoryTest, ShowingThePageTakesASnapshotWithThePanesLook) {
    WithConversation();
    EXPECT_EQ(PaneText(*Form->Memo1), PaneText(*Form->DisplayMemo));
    EXPECT_TRUE(PaneText(*Form->Memo1).contains(QChar(0xa0))) << "no-break spaces are kept";
    EXPECT_EQ(Form->Memo1->font(), Form->DisplayMemo->font());
    EXPECT_EQ(Form->Memo1->palette().color(QPalette::Base), Form->DisplayMemo->palette().color(QPalette::Base));
    ServerSends("&<A-A><later>\r\n");
    EXPECT_FALSE(Form->Memo1->toPlainText().contains("later")) << "a snapshot";
}

// The page says which text it holds and what edits to it do; from a log a button leads back.
TEST_F(HistoryTest, ThePageSaysWhichTextItHolds) {
    WithConversation();
    EXPECT_EQ(Form->HistoryNote->text(), "A copy of the conversation: edit it before saving or printing; it is "
                                         "taken anew each time this page is shown");
    Dialogs.NextFile = Config.path() + "/2024-05-01.log";
    QFile log(*Dialogs.NextFile);
    ASSERT_TRUE(log.open(QIODevice::WriteOnly) && log.write("an earlier day\n") && log.flush());
    for (QAbstractButton* button : {Form->ShowLogButton, Form->HistoryBack}) {
        const bool conversation = Form->HistorySource->text() == "Conversation";
        EXPECT_EQ(Form->HistoryBack->isVisibleTo(Form.get()), !conversation);
        button->click();
        EXPECT_EQ(Form->HistorySource->text(), conversation ? "Log of 2024-05-01" : "Conversation");
        EXPECT_EQ(PaneText(*Form->Memo1).contains("an earlier day"), conversation);
    }
}

TEST_F(HistoryTest, AMouseSelectionIsPrintedUnderTheHeader) {
    QTemporaryDir out;
    const QString pdf = out.path() + "/history.pdf";
    qputenv("KORVELCHAT_PRINT_PDF", pdf.toLocal8Bit());
    WithConversation();
    Form->MemoPrint1->SetShowProgress(false);
    SelectWithMouse(1, 3);
    EXPECT_TRUE(Form->Memo2->toPlainText().startsWith("first line")) << Form->Memo2->toPlainText().toStdString();
    Form->Button3->click();
    qunsetenv("KORVELCHAT_PRINT_PDF");
    EXPECT_EQ(Form->statusBar()->currentMessage(), "Printed to " + pdf) << "the user is told where it went";
    EXPECT_TRUE(Dialogs.Messages.isEmpty()) << Dialogs.Messages.join("|").toStdString();
    ASSERT_TRUE(QFile::exists(pdf));
    QProcess text;
    text.start("pdftotext", {"-layout", pdf, "-"});
    ASSERT_TRUE(text.waitForFinished(10000));
    const QString printed = QString::fromUtf8(text.readAllStandardOutput());
    EXPECT_TRUE(printed.contains("KORVEL CHAT 2")) << printed.toStdString();
    EXPECT_TRUE(printed.contains("rst line")) << printed.toStdString();  // "fi" may come out as a ligature
    EXPECT_TRUE(printed.contains("B-B"));
    EXPECT_FALSE(printed.contains("second")) << "only the selection";
}

TEST_F(HistoryTest, AKeyboardSelectionIsTheOnePrinted) {
    WithConversation();
    Form->Memo1->setFocus();
    QTest::keyClick(Form->Memo1, Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(PaneText(*Form->Memo2), PaneText(*Form->Memo1));
}

TEST_F(HistoryTest, AClickWithoutSelectionPrintsNothing) {
    WithConversation();
    SelectWithMouse(1, 1);
    QTest::mouseClick(Form->Memo1->viewport(), Qt::LeftButton);
    RunFor(20);
    Form->Button3->click();
    EXPECT_EQ(Dialogs.Messages, QStringList{"NOTHING SELECTED !!"});
}

TEST_F(HistoryTest, WithoutAPrinterTheUserIsToldHowToPrintToAFile) {
    WithConversation();
    Form->MemoPrint1->SetShowProgress(false);
    SelectWithMouse(0, 1);
    Form->Button3->click();
    ASSERT_EQ(Dialogs.Messages.size(), 1);
    EXPECT_TRUE(Dialogs.Messages[0].contains("KORVELCHAT_PRINT_PDF")) << Dialogs.Messages[0].toStdString();
}

TEST_F(HistoryTest, SaveAllWritesTheSnapshotAsWindowsTextAndCancelWritesNothing) {
    WithConversation();
    Form->Memo1->setPlainText(QString::fromUtf8("caf\u00e9\u00a0\n\nend"));
    QTemporaryDir out;
    const QString file = out.path() + "/saved.txt";
    Dialogs.NextFile = std::nullopt;
    Form->Button4->click();
    EXPECT_EQ(Dialogs.ProposedFile, "KorvelChat-" + QDate::currentDate().toString(Qt::ISODate) + ".txt");
    EXPECT_FALSE(QFile::exists(file));
    EXPECT_EQ(Form->PageControl1->currentWidget(), Form->TabSheet3);

    Dialogs.NextFile = file;
    Form->Button4->click();
    QFile saved(file);
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    EXPECT_EQ(saved.readAll(), QByteArray("caf\xe9\xa0\r\n\r\nend"));
    EXPECT_EQ(Form->PageControl1->currentWidget(), Form->TabSheet1);
    EXPECT_EQ(Form->statusBar()->currentMessage(), "The history was saved to " + file + " (Windows-1252)");
    // Text that Windows-1252 cannot carry, or whose Windows-1252 bytes would read as other UTF-8
    // text, makes the whole file UTF-8, marked as such.
    for (const QString& text : {QString::fromUtf8("caf\u00e9 \u0416\u0438\u0432\u043e \u4f60\u597d"),
                                QString::fromUtf8("J\u00c3\u2030R\u00c3\u201dME")}) {
        Form->History1Click();
        Form->Memo1->setPlainText(text);
        Form->Button4->click();
        QFile again(file);
        EXPECT_EQ(again.open(QIODevice::ReadOnly) ? again.readAll() : "", "\xEF\xBB\xBF" + text.toUtf8());
    }

    Form->History1Click();
    Dialogs.NextFile = out.path() + "/no/such/folder/x.txt";
    Form->Button4->click();
    ASSERT_EQ(Dialogs.Messages.size(), 1);
    EXPECT_TRUE(Dialogs.Messages[0].startsWith("Cannot write")) << Dialogs.Messages[0].toStdString();
    EXPECT_EQ(Form->PageControl1->currentWidget(), Form->TabSheet3);
}

}  // namespace
