// Pagination: body rectangle, line height, page breaks, cutting and wrapping, the page start's
// events and the text export mode.
#include "list_print_fixture.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

TEST_F(ListPrintTest, BodyRectangleAndLineHeightAtSixHundredDpi) {
    // 25 mm margins less the 120-pixel (5.08 mm) offset: 19.92 mm = 470.55 pixels.
    EXPECT_EQ(lp.BodyLeft(), 471);
    EXPECT_EQ(lp.BodyTop(), 471);
    EXPECT_EQ(lp.BodyWidth(), 4960 - 240 - 2 * 471);
    EXPECT_EQ(lp.BodyHeight(), 7016 - 240 - 2 * 471);
    EXPECT_EQ(lp.LineHeight(), 75);  // 9 points at 600 dpi
    EXPECT_EQ(lp.PrinterFont().pixelSize(), 75);
    EXPECT_EQ(lp.PrinterFont().family(), "Liberation Sans");

    lp.SetLineSpacing(0);
    EXPECT_EQ(lp.LineHeight(), 37);
    lp.SetLineSpacing(2);
    EXPECT_EQ(lp.LineHeight(), 112);
    lp.SetLineSpacing(3);
    EXPECT_EQ(lp.LineHeight(), 150);
    lp.SetLineSpacing(1);
    QFont big = lp.Font();
    big.setPointSize(12);
    lp.SetFont(big);
    EXPECT_EQ(lp.LineHeight(), 100);
}

TEST_F(ListPrintTest, TenLineBodyHoldsNineLines) {
    SetBody(3000, 750);
    int newLines = 0;
    lp.OnNewLine = [&](QObject* sender) {
        EXPECT_EQ(sender, &lp);
        ++newLines;
    };
    lp.BeginDoc();
    for (int i = 1; i <= 20; ++i) lp.WriteLn(QString("line %1").arg(i));
    lp.EndDoc();
    ASSERT_EQ(lp.PageCount(), 3);
    EXPECT_EQ(PageTexts(1).size(), 9u);
    EXPECT_EQ(PageTexts(2).size(), 9u);
    EXPECT_EQ(PageTexts(3).size(), 2u);
    EXPECT_EQ(PageTexts(2).front(), "line 10");
    // Line positions: the first at the body's top, then one line height apart.
    const auto texts = lp.PageList()[1]->Texts();
    EXPECT_EQ(texts[0].TopLeft, QPoint(600, 600));
    EXPECT_EQ(texts[8].TopLeft, QPoint(600, 600 + 8 * 75));
    // 20 line feeds and three page starts, each break firing the event twice.
    EXPECT_EQ(newLines, 20 + 3);
    EXPECT_EQ(lp.PageNumber(), 1);
}

// A page starts only for a line that needs it: text that exactly fills its last page ends
// there, plain and table lines alike, and no line runs below the body.
TEST_F(ListPrintTest, PageStartsOnlyForALineThatNeedsIt) {
    SetBody(3000, 750);
    struct TCase {
        int Lines;
        bool Table;
        int Pages;
    };
    for (const TCase c : {TCase{9, false, 1}, TCase{10, false, 2}, TCase{18, false, 2}, TCase{19, false, 3},
                          TCase{9, true, 1}, TCase{10, true, 2}}) {
        lp.Lines().clear();
        for (int i = 1; i <= c.Lines; ++i) lp.Lines() << QString("line %1").arg(i);
        lp.BeginDoc();
        lp.PrintLines(c.Table);
        lp.EndDoc();
        EXPECT_EQ(lp.PageCount(), c.Pages) << c.Lines << (c.Table ? " table lines" : " lines");
        for (const auto& page : lp.PageList())
            for (const TPictureText& t : page->Texts()) EXPECT_LE(t.TopLeft.y() + 75, 600 + 750) << t.Text.toStdString();
    }
    // Line feeds of a caller break pages as lines do: after 8 lines, 14 line feeds lead to page
    // 3, and the position never leaves the body.
    lp.BeginDoc();
    for (int i = 0; i < 8; ++i) lp.WriteLn("x");
    for (int i = 0; i < 14; ++i) EXPECT_LE((lp.NewLine(), lp.CurrentY()) + 75, 750);
    lp.WriteLn("next");
    EXPECT_EQ(lp.PageCount(), 3);
    EXPECT_EQ(lp.CurrentPicture().Texts().back().TopLeft.y(), 600 + 4 * 75);
    lp.EndDoc();
}

TEST_F(ListPrintTest, PageBreakFiresOnNewLineAtThePageStartAndAfterTheLine) {
    SetBody(3000, 750);
    lp.BeginDoc();
    for (int i = 0; i < 8; ++i) lp.WriteLn("x");
    std::vector<int> lineNumbers;
    lp.OnNewLine = [&](QObject*) { lineNumbers.push_back(lp.LineNumber()); };
    lp.WriteLn("ninth");  // its line feed leaves no room for a tenth: page 2 starts
    EXPECT_EQ(lp.PageCount(), 2);
    lp.WriteLn("tenth");
    // The page start's and the line feed's, then the tenth line's: a page's first line is line 0.
    EXPECT_EQ(lineNumbers, (std::vector<int>{0, 0, 1}));
    EXPECT_EQ(lp.CurrentPicture().Texts().back().TopLeft.y(), lp.BodyTop());
    lp.EndDoc();
}

TEST_F(ListPrintTest, EmptyLineAdvancesWithoutDrawing) {
    lp.BeginDoc();
    lp.WriteLn("");
    lp.WriteLn("second");
    EXPECT_EQ(lp.CurrentPicture().Texts().size(), 1u);
    EXPECT_EQ(lp.CurrentPicture().Texts()[0].TopLeft.y(), lp.BodyTop() + 75);
    lp.EndDoc();
}

TEST_F(ListPrintTest, AlignmentOfPlainLines) {
    lp.SetAlignment(taRightJustify);
    lp.BeginDoc();
    lp.WriteLn("right");
    lp.SetAlignment(taCenter);
    lp.WriteLn("centre");
    lp.EndDoc();
    const auto texts = lp.PageList()[0]->Texts();
    EXPECT_EQ(texts[0].TopLeft.x(), lp.BodyLeft() + lp.BodyWidth() - lp.TextWidth("right"));
    EXPECT_EQ(texts[1].TopLeft.x(), lp.BodyLeft() + (lp.BodyWidth() - lp.TextWidth("centre")) / 2);
}

TEST_F(ListPrintTest, SingleCharacterWiderThanTheBodyIsDrawnAnyway) {
    SetBody(10, 3000);
    lp.BeginDoc();
    lp.WriteLn("W");
    lp.WriteLn("Wide");  // cut to its first character, which overflows alike
    lp.EndDoc();
    EXPECT_EQ(PageTexts(1), (std::vector<QString>{"W", "W"}));
}

TEST_F(ListPrintTest, LongLineIsCutToTheLongestFittingPrefix) {
    SetBody(1000, 3000);
    const QString text = "The quick brown fox jumps over the lazy dog again and again";
    lp.BeginDoc();
    lp.WriteLn(text);
    lp.EndDoc();
    const auto texts = PageTexts(1);
    ASSERT_EQ(texts.size(), 1u);
    const QString piece = texts[0];
    EXPECT_TRUE(text.startsWith(piece));
    EXPECT_LE(lp.TextWidth(piece), 1000);
    EXPECT_GT(lp.TextWidth(text.left(piece.size() + 1)), 1000);
}

TEST_F(ListPrintTest, WordWrapInLineModeDropsTheBlankAtTheBreak) {
    SetBody(lp.TextWidth("aaaa"), 3000);
    lp.SetWordWrap(true);
    lp.BeginDoc();
    lp.WriteLn("aaaa bbbb");  // the fitting prefix ends right before the blank
    lp.EndDoc();
    EXPECT_EQ(PageTexts(1), (std::vector<QString>{"aaaa", "bbbb"}));
}

TEST_F(ListPrintTest, WordWrapBreaksAfterTheLastFittingBlank) {
    SetBody(700, 3000);
    lp.SetWordWrap(true);
    const QString text = "alpha beta gamma delta epsilon zeta eta theta iota kappa lambda";
    lp.BeginDoc();
    lp.WriteLn(text);
    lp.EndDoc();
    const auto pieces = PageTexts(1);
    ASSERT_GT(pieces.size(), 2u);
    QString joined;
    for (const QString& p : pieces) {
        EXPECT_LE(lp.TextWidth(p), 700) << p.toStdString();
        EXPECT_FALSE(p.startsWith(' ')) << p.toStdString();
        joined += p;
    }
    // Cut after whole words: nothing lost, nothing broken inside a word.
    EXPECT_EQ(joined.simplified(), text);
    for (size_t i = 0; i + 1 < pieces.size(); ++i) EXPECT_TRUE(pieces[i].endsWith(' ')) << pieces[i].toStdString();
    // A long line costs in proportion to its length, with blanks to break at or none.
    for (const QString unit : {"lorem ipsum dolor sit amet ", "x"}) {
        QElapsedTimer clock;
        std::vector<qint64> ms;  // for a warm-up, a quarter and the whole
        for (const int n : {800, 8000, 32000})
            lp.BeginDoc(), clock.start(), lp.WriteLn(unit.repeated(n / unit.size())), lp.EndDoc(), ms.push_back(clock.elapsed());
        EXPECT_LT(ms[2], 8 * ms[1] + 20) << unit.toStdString() << ": " << ms[1] << " ms for a quarter";
    }
}

TEST_F(ListPrintTest, WordLongerThanTheBodyBreaksBetweenCharacters) {
    SetBody(300, 3000);
    lp.SetWordWrap(true);
    lp.BeginDoc();
    lp.WriteLn("abcdefghijklmnopqrstuvwxyz");
    lp.EndDoc();
    const auto pieces = PageTexts(1);
    ASSERT_GT(pieces.size(), 1u);
    QString joined;
    for (const QString& p : pieces) joined += p;
    EXPECT_EQ(joined, "abcdefghijklmnopqrstuvwxyz");
}

TEST_F(ListPrintTest, WriteContinuesOnTheNextLineOnlyWithWordWrap) {
    const int w = lp.TextWidth("aaaa");
    SetBody(w, 3000);
    lp.BeginDoc();
    lp.Write("aaaa bbbb");
    lp.NewLine();
    EXPECT_EQ(lp.CurrentPicture().Texts().size(), 1u);  // cut, the rest dropped
    lp.SetWordWrap(true);
    lp.Write("aaaa bbbb");
    lp.EndDoc();
    // The break falls right before the blank: in continuation mode that blank starts the next
    // piece instead of being dropped.
    const auto texts = PageTexts(1);
    ASSERT_GE(texts.size(), 3u);
    EXPECT_EQ(texts[1], "aaaa");
    EXPECT_TRUE(texts[2].startsWith(' '));
    EXPECT_EQ(texts.back(), "bbbb");
}

TEST_F(ListPrintTest, WriteWithNoRoomLeftEnds) {
    SetBody(lp.TextWidth("aaaa"), 3000);
    lp.BeginDoc();
    lp.Write("aaaa");
    lp.Write("bb");  // no room at all: nothing is drawn past the margin
    EXPECT_EQ(lp.CurrentPicture().Texts().size(), 1u);
    lp.SetWordWrap(true);
    lp.Write("bb");  // with word wrap it goes to the next line
    lp.EndDoc();
    const auto texts = lp.PageList()[0]->Texts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[1].Text, "bb");
    EXPECT_EQ(texts[1].TopLeft, QPoint(600, 675));
}

TEST_F(ListPrintTest, BodyLowerThanOneLineGivesOneLinePerPageAndNoEmptyPages) {
    SetBody(3000, 50);
    lp.BeginDoc();
    for (int i = 0; i < 5; ++i) lp.WriteLn(QString::number(i));
    lp.EndDoc();
    ASSERT_EQ(lp.PageCount(), 5);
    for (int p = 1; p <= 5; ++p) EXPECT_EQ(PageTexts(p), std::vector<QString>{QString::number(p - 1)});
}

TEST_F(ListPrintTest, TabsExpandToTabStops) {
    lp.BeginDoc();
    lp.WriteLn("ab\tc");
    lp.EndDoc();
    EXPECT_EQ(PageTexts(1), std::vector<QString>{"ab      c"});
}

TEST_F(ListPrintTest, PageStartOrderAndPrintLines) {
    std::vector<std::string> events;
    lp.OnNewPage = [&](QObject*) { events.push_back("page " + std::to_string(lp.PageNumber())); };
    lp.OnNewLine = [&](QObject*) { events.push_back("line"); };
    lp.Lines() = QStringList{"one", "two"};
    lp.BeginDoc();
    lp.PrintLines(false);
    lp.NewPage();
    lp.EndDoc();
    EXPECT_EQ(events, (std::vector<std::string>{"page 1", "line", "line", "line", "page 2", "line"}));
    EXPECT_EQ(PageTexts(1), (std::vector<QString>{"one", "two"}));
    EXPECT_EQ(lp.PageCount(), 2);
}

TEST_F(ListPrintTest, ClearDiscardsPages) {
    lp.BeginDoc();
    lp.WriteLn("x");
    lp.EndDoc();
    ASSERT_EQ(lp.PageCount(), 1);
    lp.Clear();
    EXPECT_EQ(lp.PageCount(), 0);
    EXPECT_EQ(lp.PageNumber(), 0);
}

class ExportTest : public ListPrintTest {
protected:
    ExportTest() {
        lp.SetFileName("  " + dir.filePath("out.txt") + " ");
        lp.SetPrintToFile(true);
    }
    QByteArray Contents() {
        QFile f(dir.filePath("out.txt"));
        EXPECT_TRUE(f.open(QIODevice::ReadOnly));
        return f.readAll();
    }
    QTemporaryDir dir;
};

TEST_F(ExportTest, WritesLinesCellsAndFormFeeds) {
    EXPECT_EQ(lp.FileName(), dir.filePath("out.txt"));
    lp.BeginDoc();
    EXPECT_TRUE(lp.IsPrinting());
    lp.WriteLn("first");
    lp.Write("a");
    lp.Write("b");
    lp.NewLine();
    lp.WriteTableLine("x|y");
    lp.NewPage();
    lp.SetAlignment(taRightJustify);
    lp.WriteLn("r");
    lp.EndDoc();
    EXPECT_FALSE(lp.IsPrinting());
    const int indent = (lp.BodyWidth() - lp.TextWidth("r")) / lp.TextWidth(" ");
    const QByteArray expected = "first\r\nab\r\nx\ty\t\t\r\n\f\r\n" + QByteArray(indent, ' ') + "r\r\n";
    EXPECT_EQ(Contents(), expected);
    EXPECT_EQ(messages, QStringList{"Content exported to " + dir.filePath("out.txt")});
    EXPECT_EQ(lp.PageCount(), 0);  // no pictures in export mode
}

TEST_F(ExportTest, NoAutomaticPageBreak) {
    lp.BeginDoc();
    for (int i = 0; i < 500; ++i) lp.WriteLn("line");
    lp.EndDoc();
    const QByteArray c = Contents();
    EXPECT_FALSE(c.contains('\f'));
    EXPECT_EQ(c.count("\r\n"), 500);
}

TEST_F(ExportTest, WritesWindows1252) {
    lp.BeginDoc();
    lp.WriteLn(QString::fromUtf8("caf\u00e9 \u20ac \u4e2d"));
    lp.EndDoc();
    EXPECT_EQ(Contents(), QByteArray("caf\xe9 \x80 ?\r\n"));
}

// A file that cannot be opened, or that refuses the data at the end of the run (a full disk),
// raises and leaves the control ready for the next run.
TEST_F(ExportTest, FileErrorsRaiseAndLeaveNoRunOpen) {
    for (const QString& file : {dir.filePath("missing/out.txt"), QStringLiteral("/dev/full")}) {
        SCOPED_TRACE(file.toStdString());
        if (file.startsWith("/dev/") && !QFile::exists(file)) continue;
        lp.SetPrintToFile(false);
        lp.SetFileName(file);
        lp.SetPrintToFile(true);
        EXPECT_THROW(
            {
                lp.BeginDoc();
                lp.WriteLn("line");
                lp.EndDoc();
            },
            EInOutError);
        EXPECT_FALSE(lp.IsPrinting());
        lp.SetFileName(dir.filePath("out.txt"));
        lp.BeginDoc();
        lp.WriteLn("next");
        lp.EndDoc();
        EXPECT_EQ(Contents(), "next\r\n");
    }
}
