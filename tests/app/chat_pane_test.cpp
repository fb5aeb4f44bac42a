// The conversation pane keeps its lines in a compact store and lays out only what is in view:
// what it shows, copies, styles and reports for a click must be the lines as appended, whatever
// mix of one-byte and wider text, line breaks, styled parts and scrolling came before.
#include "chat_pane.h"
#include "test_seed.h"

#include <QApplication>
#include <QScrollBar>
#include <QTest>

#include <gtest/gtest.h>

namespace {

// A random line: plain letters, Latin-1 letters, letters beyond one byte, right-to-left text,
// line breaks of every kind, and sometimes long enough to wrap.
QString RandomLine(QRandomGenerator& Rng) {
    static const QStringList parts = {"word", " ", "caf\u00e9", "\u00a0", "\u0436\u0443\u043a", "\u05e9\u05dc\u05d5\u05dd",
                                      "\r\n", "\n", "\r", "[https://x.example/]", "\U0001F600", ""};
    QString line;
    for (int n = Rng.bounded(Rng.bounded(8) == 0 ? 60 : 8); n > 0; --n) line += parts[Rng.bounded(parts.size())];
    return line;
}

// What the pane reads back for an appended line: every break an LF, a CR LF pair one break.
QString Shown(QString Line) {
    Line.replace("\r\n", "\n").replace(u'\r', u'\n');
    return Line;
}

TEST(ChatPaneTest, RandomConversationsReadBackStyleAndSelectAsAppended) {
    for (const uint32_t seed : SequenceSeeds(1, 12)) {
        QRandomGenerator rng(seed);
        SCOPED_TRACE(testing::Message() << "KORVEL_SEED=" << seed);
        TChatPane pane;
        pane.resize(rng.bounded(120, 600), rng.bounded(60, 300));
        pane.show();
        QStringList shown;     // the model: every stored line as it reads back
        QList<qsizetype> at;   // where each line starts in PaneText
        QList<QList<TStyledSpan>> styles;  // spans in the read-back line's positions
        int changes = 0;
        pane.OnChange = [&](const QString&) { ++changes; };
        for (int step = rng.bounded(1, 120); step > 0; --step) {
            const QString line = RandomLine(rng);
            QList<TStyledSpan> spans;
            if (!line.isEmpty() && rng.bounded(3) == 0) {
                const qsizetype start = rng.bounded(line.size()), length = rng.bounded(line.size() - start) + 1;
                spans.append({start, length, TLineStyle::Link, QStringLiteral("ref%1").arg(step)});
            }
            // The model's spans: positions after a CR LF pair move one back.
            QList<TStyledSpan> model;
            for (TStyledSpan s : spans) {
                const qsizetype before = line.left(s.Start).count("\r\n");
                s.Length -= line.mid(s.Start, s.Length).count("\r\n");
                s.Start -= before;
                model.append(s);
            }
            at.append(shown.isEmpty() ? 0 : at.back() + shown.back().size() + 1);
            shown.append(Shown(line));
            styles.append(model);
            pane.AppendLine(line, spans);
            if (rng.bounded(10) == 0) QApplication::processEvents();
            if (rng.bounded(20) == 0) pane.verticalScrollBar()->setValue(rng.bounded(pane.verticalScrollBar()->maximum() + 1));
        }
        QApplication::processEvents();
        ASSERT_EQ(changes, shown.size());
        ASSERT_EQ(pane.LineCount(), shown.size());
        ASSERT_EQ(PaneText(pane), shown.join(u'\n'));
        EXPECT_EQ(pane.toPlainText(), shown.join(u'\n').replace(QChar(0xa0), u' '));
        for (qsizetype i = 0; i < shown.size(); ++i) ASSERT_EQ(pane.Line(i), shown[i]) << i;

        // Links: the later span wins where spans meet; plain text has no format at all.
        for (int k = 0; k < 40; ++k) {
            const qsizetype i = rng.bounded(shown.size());
            if (shown[i].isEmpty()) continue;
            const qsizetype c = rng.bounded(shown[i].size());
            QString href;
            for (const TStyledSpan& s : styles[i])
                if (c >= s.Start && c < s.Start + s.Length) href = s.Href;
            EXPECT_EQ(pane.FormatAt(at[i] + c).anchorHref(), href) << i << " " << c;
        }

        // A selection between two random places reads back as the text between them.
        const QString text = shown.join(u'\n');
        const qsizetype a = rng.bounded(text.size() + 1), b = rng.bounded(text.size() + 1);
        pane.SetCaretPosition(a);
        pane.SetCaretPosition(b, TChatPane::TMove::KeepAnchor);
        EXPECT_EQ(pane.CaretPosition(), b);
        EXPECT_EQ(pane.SelectedText(), text.mid(std::min(a, b), std::abs(a - b)));

        // A click's display line is a part of its stored line, and selecting it selects just that.
        pane.SetCaretPosition(a);
        QString next;
        const QString line = pane.CaretDisplayLine(&next);
        const qsizetype i = std::upper_bound(at.begin(), at.end(), a) - at.begin() - 1;
        EXPECT_TRUE(shown[i].contains(line)) << i;
        EXPECT_FALSE(line.contains(u'\n'));
        if (i + 1 == shown.size() && line.size() == shown[i].size()) {
            EXPECT_EQ(next, QString());
        }
        pane.SelectCaretDisplayLine();
        EXPECT_EQ(pane.SelectedText(), line);

        // The end of the conversation stays in view while the view follows it.
        pane.verticalScrollBar()->setValue(pane.verticalScrollBar()->maximum());
        pane.AppendLine(QStringLiteral("last"));
        QApplication::processEvents();
        EXPECT_TRUE(pane.AtEnd());
        EXPECT_FALSE(pane.PositionRect(PaneText(pane).size()).isEmpty()) << "the last line is drawn";

        pane.ClearLines();
        EXPECT_EQ(pane.LineCount(), 0);
        EXPECT_EQ(PaneText(pane), QString());
        EXPECT_EQ(pane.CaretDisplayLine(), QString());
    }
}

// Whole lines of the display, one click each, across wrapped and broken lines.
TEST(ChatPaneTest, ClicksSelectDisplayLines) {
    TChatPane pane;
    pane.resize(600, 200);
    pane.show();
    const QStringList appended = {"first", "two\r\nlines", "", "last"};
    for (const QString& line : appended) pane.AppendLine(line);
    QApplication::processEvents();
    const QStringList shown = {"first", "two", "lines", "", "last"};
    qsizetype at = 0;
    for (qsizetype i = 0; i < shown.size(); at += shown[i].size() + 1, ++i) {
        pane.SetCaretPosition(at);
        QString next;
        EXPECT_EQ(pane.CaretDisplayLine(&next), shown[i]) << i;
        EXPECT_EQ(next, i + 1 < shown.size() ? shown[i + 1] : QString()) << i;
        pane.SelectCaretDisplayLine();
        EXPECT_EQ(pane.SelectedText(), shown[i]) << i;
    }
}

// The mouse: a press and release in place is a click that puts the caret under the pointer (on
// either display line of a broken line); a drag selects from press to release; a double click
// selects the word.
TEST(ChatPaneTest, MouseClicksDragsAndDoubleClicks) {
    TChatPane pane;
    pane.resize(400, 200);
    pane.show();
    pane.AppendLine("alpha beta_gamma delta");
    pane.AppendLine("two\r\nlines here");
    QApplication::processEvents();
    int clicks = 0;
    pane.OnClick = [&] { ++clicks; };
    const QString text = PaneText(pane);
    auto at = [&](const QString& Word) { return pane.PositionRect(text.indexOf(Word)).center(); };
    for (const QString word : {"two", "lines", "delta"}) {
        QTest::mouseClick(pane.viewport(), Qt::LeftButton, {}, at(word));
        EXPECT_EQ(pane.CaretPosition(), text.indexOf(word)) << word.toStdString();
    }
    EXPECT_EQ(clicks, 3);
    QTest::mousePress(pane.viewport(), Qt::LeftButton, {}, at("beta"));
    QTest::mouseMove(pane.viewport(), at("delta"));
    QTest::mouseRelease(pane.viewport(), Qt::LeftButton, {}, at("delta"));
    EXPECT_EQ(pane.SelectedText(), "beta_gamma ");
    EXPECT_EQ(clicks, 3) << "a drag is no click";
    for (const auto& [word, whole] : {std::pair{"gamma", "beta_gamma"}, {"pha", "alpha"}, {"lines", "lines"}}) {
        QTest::mouseDClick(pane.viewport(), Qt::LeftButton, {}, at(word));
        EXPECT_EQ(pane.SelectedText(), whole);
    }
}

// The store takes a byte a character where it can and keeps every character where it cannot.
TEST(LineStoreTest, LinesOfEveryWidthAndLengthReadBack) {
    for (const uint32_t seed : SequenceSeeds(100, 4)) {
        QRandomGenerator rng(seed);
        SCOPED_TRACE(testing::Message() << "KORVEL_SEED=" << seed);
        TLineStore store;
        QStringList model;
        for (int n = 0; n < 3000; ++n) {
            // Lengths across the length's one- and two-byte forms and beyond a page.
            const qsizetype length = rng.bounded(200) == 0 ? rng.bounded(1100000) : rng.bounded(300);
            QString line(length, Qt::Uninitialized);
            const char16_t top = rng.bounded(2) ? 0xff : 0xffff;
            for (QChar& c : line) c = QChar(char16_t(rng.bounded(top) + 1));
            store.Append(line);
            model.append(line);
        }
        ASSERT_EQ(store.Count(), model.size());
        for (qsizetype i = 0; i < model.size(); ++i) {
            ASSERT_EQ(store.Length(i), model[i].size()) << i;
            ASSERT_EQ(store.Line(i), model[i]) << i;
        }
        store.Clear();
        EXPECT_EQ(store.Count(), 0);
        store.Append(u"again", {{0, 1, TLineStyle::Own, {}}});
        EXPECT_EQ(store.Line(0), "again");
        EXPECT_EQ(store.Spans(0).size(), 1);
    }
}

}  // namespace
