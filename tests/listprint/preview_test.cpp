// The preview: sheet geometry at the zoom factor, scroll range and position, page selection and
// what a paint puts on the screen.
#include "list_print_fixture.h"

#include <QImage>
#include <QPainter>
#include <QScrollBar>
#include <QTest>

class PreviewTest : public ListPrintTest {
protected:
    PreviewTest() {
        lp.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        lp.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        lp.resize(400, 300);
        lp.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&lp));
    }
    void Generate(int Pages) {
        lp.BeginDoc();
        for (int p = 1; p <= Pages; ++p) {
            if (p > 1) lp.NewPage();
            for (int i = 0; i < 40; ++i) lp.WriteLn(QString("page %1 line %2").arg(p).arg(i));
        }
        lp.EndDoc();
    }
};

TEST_F(PreviewTest, SheetGeometryAtTheZoomFactor) {
    ASSERT_EQ(lp.viewport()->logicalDpiX(), 96);
    lp.SetZoomPercent(35);
    EXPECT_EQ(lp.PreviewPageWidth(), 278);  // 4960 x 35 / 6.25 / 100
    EXPECT_EQ(lp.PreviewPageHeight(), 393);
    EXPECT_EQ(lp.HorzRange(), 278 + 2 * 5 + 2);
    EXPECT_EQ(lp.VertRange(), 393 + 2 * 5 + 2);
    lp.SetShadowOffset(0);
    EXPECT_EQ(lp.HorzRange(), 280);
    lp.SetZoomPercent(100);
    EXPECT_EQ(lp.PreviewPageWidth(), 794);
    EXPECT_EQ(lp.ScreenX(25.4), 96);
    lp.SetZoomPercent(-5);  // taken as the smallest zoom, never a mirrored sheet
    EXPECT_GT(lp.PreviewPageWidth(), 0);
}

TEST_F(PreviewTest, WithoutPrinterTheSheetIsA4OrLetter) {
    printer.SetAvailable(false);
    lp.Refresh();
    lp.SetZoomPercent(100);
    EXPECT_EQ(lp.PreviewPageWidth(), 794);  // 210 mm at 96 dpi
    EXPECT_EQ(lp.PreviewPageHeight(), 1123);
    lp.SetMeasureUnit(muInches);
    EXPECT_EQ(lp.PreviewPageWidth(), 816);
    EXPECT_EQ(lp.PreviewPageHeight(), 1056);
}

TEST_F(PreviewTest, ScrollPositionFollowsTheZoomLocation) {
    QScrollBar* h = lp.horizontalScrollBar();
    QScrollBar* v = lp.verticalScrollBar();
    const QSize view = lp.viewport()->size();
    lp.SetZoomLocation(zlCenter);
    lp.SetZoomPercent(100);
    EXPECT_EQ(h->value(), (lp.HorzRange() - view.width()) / 2);
    EXPECT_EQ(v->value(), (lp.VertRange() - view.height()) / 2);
    lp.SetZoomLocation(zlTopCenter);
    lp.UpdateScrollRange();
    EXPECT_EQ(h->value(), (lp.HorzRange() - view.width()) / 2);
    EXPECT_EQ(v->value(), 0);
    h->setValue(50);
    v->setValue(70);
    lp.SetZoomLocation(zlTopLeft);
    lp.UpdateScrollRange();
    EXPECT_EQ(h->value(), 0);
    EXPECT_EQ(v->value(), 0);
    // A sheet smaller than the view cannot be scrolled.
    lp.SetZoomPercent(10);
    EXPECT_EQ(h->maximum(), 0);
}

TEST_F(PreviewTest, PageNumberSelectsExistingPagesOnly) {
    Generate(3);
    EXPECT_EQ(lp.PageCount(), 3);
    EXPECT_EQ(lp.PageNumber(), 1);
    lp.SetPageNumber(3);
    EXPECT_EQ(lp.PageNumber(), 3);
    EXPECT_EQ(RaisedText<EPagePrinter>([&] { lp.SetPageNumber(0); }), "PageNumber must be between 1 and 3");
    EXPECT_EQ(RaisedText<EPagePrinter>([&] { lp.SetPageNumber(4); }), "PageNumber must be between 1 and 3");
    EXPECT_EQ(lp.PageNumber(), 3);
    lp.Clear();
    lp.SetPageNumber(5);
    EXPECT_EQ(lp.PageNumber(), 0);
}

TEST_F(PreviewTest, PaintShowsSheetShadowPageAndMargins) {
    lp.resize(500, 500);  // the whole sheet in view
    lp.SetZoomPercent(35);
    lp.SetShowMargins(true);
    Generate(1);
    const QImage image = lp.viewport()->grab().toImage();
    const QSize surface(std::max(lp.HorzRange(), lp.viewport()->width()), std::max(lp.VertRange(), lp.viewport()->height()));
    const int sx = lp.horizontalScrollBar()->value(), sy = lp.verticalScrollBar()->value();
    const int left = (surface.width() - 278) / 2 - sx, top = (surface.height() - 393) / 2 - sy;
    auto at = [&](int x, int y) { return image.pixelColor(x, y); };
    // Background gradient: black at the surface's top.
    EXPECT_EQ(sy, 0);
    EXPECT_EQ(at(2, 0), QColor(Qt::black));
    EXPECT_EQ(at(left, top + 20), QColor(Qt::black));          // sheet outline
    EXPECT_EQ(at(left + 278 + 2, top + 20).rgb(), lp.ShadowColor().rgb());  // shadow right of the sheet
    EXPECT_EQ(at(left + 4, top + 4), QColor(Qt::white));        // inside the sheet, outside the margins
    // Dotted margin outline at 25 mm: 94 screen pixels at 100 %, 33 at 35 %.
    const int marginX = left + lp.ScreenX(25);
    int grey = 0;
    for (int y = top + 40; y < top + 80; ++y)
        if (at(marginX, y) == QColor(0xC0, 0xC0, 0xC0)) ++grey;
    EXPECT_GT(grey, 5);
    EXPECT_LT(grey, 40);  // dotted, not solid
    // Text of the page: dark pixels inside the body.
    int dark = 0;
    for (int y = top + lp.ScreenY(25); y < top + lp.ScreenY(25) + 30; ++y)
        for (int x = marginX + 1; x < marginX + 60; ++x)
            if (at(x, y).lightness() < 160) ++dark;
    EXPECT_GT(dark, 0);
}

// The printable area starts at the printer's physical offset on the sheet: a frame line at the
// left margin lands on the screen where the margin is.
TEST_F(PreviewTest, PageIsShiftedByThePhysicalOffset) {
    lp.SetZoomPercent(100);
    lp.SetShowMargins(false);
    lp.SetShadowOffset(0);
    lp.SetPageBorderOffset(0);
    lp.SetPageBorders({pbLeft});
    Generate(0);
    QImage image(900, 1200, QImage::Format_RGB32);
    {
        QPainter painter(&image);
        lp.PaintPreview(painter, image.size());
    }
    const int left = (900 - 794) / 2, top = (1200 - 1123) / 2;
    int line = -1;
    for (int x = left + 2; x < left + 200 && line < 0; ++x)
        if (image.pixelColor(x, top + 500).lightness() < 128) line = x;
    EXPECT_NEAR(line, left + lp.ScreenX(25), 2);
}

TEST_F(PreviewTest, BlankSheetWithoutPages) {
    lp.resize(500, 500);
    lp.SetZoomPercent(35);
    lp.SetShowMargins(false);
    ASSERT_EQ(lp.PageNumber(), 0);
    const QImage image = lp.viewport()->grab().toImage();
    const QSize surface(std::max(lp.HorzRange(), lp.viewport()->width()), std::max(lp.VertRange(), lp.viewport()->height()));
    const int left = (surface.width() - 278) / 2 - lp.horizontalScrollBar()->value();
    const int top = (surface.height() - 393) / 2 - lp.verticalScrollBar()->value();
    for (int y = top + 1; y < top + 392; y += 7)
        for (int x = left + 1; x < left + 277; x += 5)
            ASSERT_EQ(image.pixelColor(x, y), QColor(Qt::white)) << x << "," << y;
}
