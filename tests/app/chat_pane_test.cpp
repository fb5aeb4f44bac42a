// The conversation pane keeps lines in shared text blocks: what it shows, copies and reports
// for a click must be the lines as appended, across block boundaries and with or without a batch.
#include "chat_pane.h"

#include <QApplication>
#include <QTextBlock>

#include <optional>
#include <gtest/gtest.h>

namespace {

TEST(ChatPaneTest, LinesReadBackAsAppendedAcrossBlocks) {
    QStringList appended;
    for (int i = 0; i < 60; ++i) appended << (i % 3 == 2 ? QString() : QString("line %1").arg(i));
    appended[10] = "two\r\nlines";
    for (const bool batched : {false, true}) {
        TChatPane pane;
        pane.resize(600, 200);
        pane.show();
        {
            std::optional<TChatPane::TBatch> batch;
            if (batched) batch.emplace(pane);
            for (const QString& line : appended) pane.AppendLine(line);
        }
        QApplication::processEvents();
        const QString text = appended.join(u'\n').replace("\r\n", "\n");
        ASSERT_EQ(PaneText(pane), text) << batched;
        EXPECT_EQ(pane.toPlainText(), text) << batched;
        ASSERT_GT(pane.document()->blockCount(), 1) << "the lines span several blocks";
        const QStringList shown = text.split(u'\n');
        qsizetype at = 0;
        for (qsizetype i = 0; i < shown.size(); at += shown[i].size() + 1, ++i) {
            QTextCursor c(pane.document());
            c.setPosition(int(at));
            pane.setTextCursor(c);
            QString next;
            EXPECT_EQ(pane.CaretDisplayLine(&next), shown[i]) << i << batched;
            EXPECT_EQ(next, i + 1 < shown.size() ? shown[i + 1] : QString()) << i << batched;
            pane.SelectCaretDisplayLine();
            EXPECT_EQ(pane.textCursor().selectedText(), shown[i]) << i << batched;
        }
    }
}

}  // namespace
