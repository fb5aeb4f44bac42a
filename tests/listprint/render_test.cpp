// Rendering: table lines and their grid, macros, header and footer formats and placement, frame
// lines.
#include "list_print_fixture.h"

#include <QDate>
#include <QLocale>

namespace {

// The vertical grid lines of a page: x positions of two-point polylines that stand upright.
std::vector<int> VerticalLineXs(const TPagePicture& picture) {
    std::vector<int> xs;
    for (const TPicturePolyline& l : picture.Polylines())
        if (l.Points.size() == 2 && l.Points[0].x() == l.Points[1].x()) xs.push_back(l.Points[0].x());
    return xs;
}

}  // namespace

TEST_F(ListPrintTest, TableColumnsAre591PixelsWithPaddedCells) {
    lp.BeginDoc();
    lp.WriteTableLine("left|mid|right");
    lp.EndDoc();
    const TPagePicture& page = *lp.PageList()[0];
    const int left = lp.BodyLeft();
    // Grid: each column's two sides, for the first row and for the closing bottom row.
    EXPECT_EQ(VerticalLineXs(page), (std::vector<int>{left, left + 591, left + 591, left + 1182, left + 1182, left + 1773,
                                                      left, left + 591, left + 591, left + 1182, left + 1182, left + 1773}));
    const auto texts = page.Texts();
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_EQ(texts[0].TopLeft.x(), left + 12);  // (600 / 300) * 6 pixels of padding
    EXPECT_EQ(texts[1].TopLeft.x(), left + 591 + (591 - lp.TextWidth("mid")) / 2);  // centred: none
    EXPECT_EQ(texts[2].TopLeft.x() + lp.TextWidth("right"), left + 1773 - 12);
    // Grid pens: (600 / 300) * 2 pixels.
    for (const TPicturePolyline& l : page.Polylines()) EXPECT_EQ(l.PenWidth, 4);
}

TEST_F(ListPrintTest, ExtraCellsAreDroppedAndMissingCellsStayEmpty) {
    lp.BeginDoc();
    lp.WriteTableLine("a|b|c|d");
    lp.WriteTableLine("only");
    lp.EndDoc();
    EXPECT_EQ(PageTexts(1), (std::vector<QString>{"a", "b", "c", "only"}));
    // The missing cells still get their boxes: per column a top line and two sides for the row,
    // a bottom line and two sides to close the table line.
    EXPECT_EQ(lp.PageList()[0]->Polylines().size(), 2u * 3u * 6u);
}

TEST_F(ListPrintTest, CellBoxesSitOneExternalLeadingAboveTheText) {
    lp.BeginDoc();
    lp.WriteTableLine("a");
    lp.EndDoc();
    const auto lines = lp.PageList()[0]->Polylines();
    ASSERT_FALSE(lines.empty());
    const int leading = QFontMetrics(lp.PrinterFont()).leading();
    const TPicturePolyline& top = lines[0];
    EXPECT_EQ(top.Points[0], QPoint(lp.BodyLeft(), lp.BodyTop() - leading));
    EXPECT_EQ(top.Points[1], QPoint(lp.BodyLeft() + 591, lp.BodyTop() - leading));
}

TEST_F(ListPrintTest, NoGridWhenTableGridsOffOrWidthNegative) {
    lp.SetTableColumns("<25|^-30");
    lp.BeginDoc();
    lp.WriteTableLine("a|b");
    lp.EndDoc();
    EXPECT_EQ(VerticalLineXs(*lp.PageList()[0]).size(), 4u);  // first column only
    lp.SetTableGrids(false);
    lp.SetTableColumns("<25|>25");
    lp.BeginDoc();
    lp.WriteTableLine("a|b");
    lp.EndDoc();
    EXPECT_TRUE(lp.PageList()[0]->Polylines().empty());
}

TEST_F(ListPrintTest, WrappedCellsContinueInRowsAndAfterLineFeeds) {
    lp.SetTableGrids(false);
    lp.SetWordWrap(true);
    lp.SetTableColumns("<10|<25");
    lp.BeginDoc();
    lp.WriteTableLine("one two three four|first\nsecond");
    lp.EndDoc();
    const auto texts = lp.PageList()[0]->Texts();
    std::vector<QString> right;
    for (const TPictureText& t : texts)
        if (t.TopLeft.x() > lp.BodyLeft() + lp.UnitsToDeviceX(10)) right.push_back(t.Text);
    EXPECT_EQ(right, (std::vector<QString>{"first", "second"}));
    // The narrow column took several rows, each one line height lower.
    ASSERT_GE(texts.size(), 4u);
    int rows = 0;
    for (const TPictureText& t : texts)
        if (t.TopLeft.x() < lp.BodyLeft() + lp.UnitsToDeviceX(10)) {
            EXPECT_EQ(t.TopLeft.y(), lp.BodyTop() + rows * lp.LineHeight());
            EXPECT_LE(lp.TextWidth(t.Text), lp.UnitsToDeviceX(10));
            ++rows;
        }
    EXPECT_GE(rows, 2);
}

TEST_F(ListPrintTest, OnTableLineColumnSeesAndChangesFirstRowCells) {
    std::vector<std::pair<int, double>> seen;
    lp.OnTableLineColumn = [&](QObject* sender, int column, TTableLineColumnInfo& info) {
        EXPECT_EQ(sender, &lp);
        seen.emplace_back(column, info.Width);
        if (column == 2) {
            info.Text = "changed";
            info.Width = 50;
            info.Alignment = taLeftJustify;
            info.Grid = false;
        }
    };
    lp.BeginDoc();
    lp.WriteTableLine("a|b");
    lp.EndDoc();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].first, 1);
    EXPECT_NEAR(seen[0].second, 591 / 600.0 * 25.4, 1e-9);
    const auto texts = lp.PageList()[0]->Texts();
    EXPECT_EQ(texts[1].Text, "changed");
    EXPECT_EQ(texts[1].TopLeft.x(), lp.BodyLeft() + 591 + 12);
    // The third column moved right by the wider second one; the second has no grid.
    EXPECT_EQ(texts.size(), 2u);
    const std::vector<int> xs = VerticalLineXs(*lp.PageList()[0]);
    const int third = lp.BodyLeft() + 591 + lp.UnitsToDeviceX(50);
    EXPECT_NE(std::find(xs.begin(), xs.end(), third), xs.end());
    EXPECT_EQ(std::count(xs.begin(), xs.end(), lp.BodyLeft() + 591), 2);  // only column 1's right side
}

TEST_F(ListPrintTest, HeaderFooterCodes) {
    auto header = [&](const QString& format) {
        lp.SetHeaderFormat(format);
        return lp.HeaderLine();
    };
    EXPECT_EQ(header("a&&b"), "a&b");
    EXPECT_EQ(header("a&xb"), "a b");
    EXPECT_EQ(header("&lA&cB&rC"), "A|B|C");
    EXPECT_EQ(header("&cB"), "B");
    EXPECT_EQ(header("&p of &i&"), "{$PAGE} of {$TITLE}");
    EXPECT_EQ(header("&d"), QLocale().toString(QDate::currentDate(), QLocale::ShortFormat));
    EXPECT_EQ(header("&D"), QLocale().toString(QDate::currentDate(), QLocale::LongFormat));
    lp.SetFileName("/tmp/some dir/out.txt");
    EXPECT_EQ(header("&f|&F"), "out.txt|/tmp/some dir/out.txt");
    lp.SetFileName("");
    EXPECT_EQ(header("[&f]"), "[ ]");  // an empty code text counts as one blank
    lp.SetFooterFormat("&r&p");
    EXPECT_EQ(lp.FooterLine(), "{$PAGE}");
}

TEST_F(ListPrintTest, MacrosAreExpandedInOrder) {
    lp.SetPrintTitle("T {$PAGE}");
    lp.BeginDoc();
    lp.WriteLn("x");
    lp.WriteLn("y");
    // {$TITLE} comes last, so a page macro inside the title stays as it is.
    EXPECT_EQ(lp.ExpandMacros("{$PAGE}/{$LINE} {$TITLE}"), "1/2 T {$PAGE}");
    EXPECT_EQ(lp.ExpandMacros("{$DATE}"), QLocale().toString(QDate::currentDate(), QLocale::ShortFormat));
    EXPECT_FALSE(lp.ExpandMacros("{$TIME}").contains("{$"));
    lp.EndDoc();
}

TEST_F(ListPrintTest, DefaultHeaderAndFooterFromTheSlotSelectors) {
    lp.SetHLeft(0);
    lp.SetHCenter(4);
    lp.SetHRight(0);
    lp.SetFLeft(1);
    lp.SetFCenter(4);
    lp.SetFRight(2);
    lp.SetHeaderText("KORVEL");
    lp.SetFooterText("Foot");
    lp.BuildHeaderFooter();
    const double w = lp.PaperWidth() - 50;
    EXPECT_EQ(lp.HeaderColumns(), lp.NormalizeColumns(QString("<%1|^%2|>%3").arg(w * 0.2, 0, 'g', 15).arg(w * 0.6, 0, 'g', 15).arg(w * 0.2, 0, 'g', 15), TCustomListPrint::ccKeep));
    EXPECT_EQ(lp.FooterColumns(), lp.HeaderColumns());
    EXPECT_EQ(lp.HeaderFormat(), "&l &cKORVEL&r ");
    EXPECT_EQ(lp.HeaderLine(), " |KORVEL| ");
    const QString date = QLocale().toString(QDate::currentDate(), QLocale::ShortFormat);
    EXPECT_EQ(lp.FooterLine(), date + "|Foot| Page {$PAGE}");

    lp.BeginDoc();
    lp.NewPage();
    lp.EndDoc();
    const auto page2 = PageTexts(2);
    EXPECT_NE(std::find(page2.begin(), page2.end(), "KORVEL"), page2.end());
    EXPECT_NE(std::find(page2.begin(), page2.end(), " Page 2"), page2.end());
    // The header row lies above the body, the footer two footer lines below it.
    for (const TPictureText& t : lp.PageList()[1]->Texts()) {
        if (t.Text == "KORVEL") {
            EXPECT_LT(t.TopLeft.y(), lp.BodyTop());
            EXPECT_GE(t.TopLeft.y(), 0);
        }
        if (t.Text == "Foot") {
            EXPECT_EQ(t.TopLeft.y(), lp.BodyTop() + lp.BodyHeight() + 2 * lp.LineHeight());
        }
    }
    // The header row leaves the body's settings as they were.
    EXPECT_EQ(lp.TableColumns(), "<25|^25|>25");
    EXPECT_TRUE(lp.TableGrids());
}

TEST_F(ListPrintTest, HeaderFontAndSizeApplyToTheHeaderOnly) {
    QFont big = lp.HeaderFont();
    big.setPointSize(12);
    lp.SetHeaderFont(big);
    lp.SetHeaderFormat("&cHead");
    lp.BeginDoc();
    lp.WriteLn("body");
    lp.EndDoc();
    const TPagePicture& page = *lp.PageList()[0];
    for (const TPictureText& t : page.Texts())
        EXPECT_EQ(page.Fonts()[t.Font].pixelSize(), t.Text == "Head" ? 100 : 75) << t.Text.toStdString();
    EXPECT_EQ(lp.LineHeight(), 75);
}

TEST_F(ListPrintTest, HeaderInABandLowerThanALineStaysOnThePage) {
    lp.SetMarginTop(6);  // 0.92 mm below the printable top edge
    lp.SetHeaderFormat("&cHead");
    lp.BeginDoc();
    lp.EndDoc();
    const auto texts = lp.PageList()[0]->Texts();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0].TopLeft.y(), 0);
}

TEST_F(ListPrintTest, FooterStaysOnThePageWithASmallBottomMargin) {
    lp.SetMarginBottom(6);
    lp.SetFooterFormat("&cFoot");
    lp.BeginDoc();
    lp.EndDoc();
    const auto texts = lp.PageList()[0]->Texts();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0].TopLeft.y() + lp.LineHeight(), 7016 - 240);
}

TEST_F(ListPrintTest, FrameLinesLiePageBorderOffsetOutsideTheBody) {
    lp.SetPageBorders({pbTop, pbBottom, pbLeft, pbRight});
    lp.BeginDoc();
    lp.EndDoc();
    const auto lines = lp.PageList()[0]->Polylines();
    ASSERT_EQ(lines.size(), 4u);
    const int b = 35;  // 1.5 mm at 600 dpi
    const int l = lp.BodyLeft(), t = lp.BodyTop(), r = l + lp.BodyWidth(), btm = t + lp.BodyHeight();
    EXPECT_EQ(lines[0].Points, (std::vector<QPoint>{{l - b, t - b}, {r + b, t - b}}));
    EXPECT_EQ(lines[1].Points, (std::vector<QPoint>{{l - b, btm + b}, {r + b, btm + b}}));
    EXPECT_EQ(lines[2].Points, (std::vector<QPoint>{{l - b, t - b}, {l - b, btm + b}}));
    EXPECT_EQ(lines[3].Points, (std::vector<QPoint>{{r + b, t - b}, {r + b, btm + b}}));
    for (const auto& line : lines) EXPECT_EQ(line.PenWidth, 4);

    lp.SetPageBorders(TPageBorders::FromBits(0b0101));  // top and left
    lp.BeginDoc();
    lp.EndDoc();
    EXPECT_EQ(lp.PageList()[0]->Polylines().size(), 2u);
}
