// Settings, setter rules, unit conversion and the shared helpers.
#include "list_print_fixture.h"

#include <QImage>
#include <QLocale>
#include <QFontDatabase>
#include <QPainter>

TEST(ListPrintHelpers, SplitCutExpandReplace) {
    QStringList items;
    SplitAt(QString(), '|', items);
    EXPECT_EQ(items, QStringList{QString()});
    SplitAt("a||b", '|', items);
    EXPECT_EQ(items, (QStringList{"a", "", "b"}));
    SplitAt("a|", '|', items);
    EXPECT_EQ(items, (QStringList{"a", ""}));

    EXPECT_EQ(CutAtLastBlank("two words"), "two ");
    EXPECT_EQ(CutAtLastBlank("word"), "word");
    EXPECT_EQ(CutAtLastBlank("ends "), "ends ");
    EXPECT_EQ(CutAtLastBlank("a\tb"), "a\t");

    EXPECT_EQ(ExpandTabs("\tx", 8), "        x");
    EXPECT_EQ(ExpandTabs("abc\tx", 8), "abc     x");
    EXPECT_EQ(ExpandTabs("a\tb", 0), "a b");  // no stops, but no division by zero either

    // Inserted text is not scanned again.
    EXPECT_EQ(ReplaceAll("ab", "abab", "xabyab"), "xababyabab");
    EXPECT_EQ(ReplaceAll("A", "b", "aA"), "ab");
    EXPECT_EQ(Spaces(-2), "");
    EXPECT_EQ(AlignmentChar(taCenter), "^");
    EXPECT_EQ(AlignmentChar(taRightJustify), ">");
}

TEST(ListPrintHelpers, GradientFillBandsRunFromFirstToSecondColour) {
    QImage image(4, 10, QImage::Format_RGB32);
    image.fill(Qt::white);
    {
        QPainter p(&image);
        GradientFill(p, QRect(0, 0, 4, 1), Qt::black, Qt::red, gdVertical);  // one row: no bands
    }
    EXPECT_EQ(image.pixelColor(0, 0), QColor(Qt::white));
    {
        QPainter p(&image);
        GradientFill(p, QRect(0, 0, 4, 10), QColor(0, 0, 0), QColor(90, 180, 9), gdVertical);
    }
    EXPECT_EQ(image.pixelColor(1, 0), QColor(0, 0, 0));
    EXPECT_EQ(image.pixelColor(1, 9), QColor(90, 180, 9));
    EXPECT_EQ(image.pixelColor(1, 3), QColor(30, 60, 3));
}

// The bound that spares plain lines their measurement is never below the shaped width, kerning
// pairs and ligatures included; text it cannot bound is measured.
TEST(ListPrintHelpers, WidthBoundNeverFallsBelowTheShapedWidth) {
    const QString pieces[] = {"AV", "To", "Ty", "fi", "ffl", "L'", "Y.", "W,", " ", "r.", "\u00c5j", "\u00fe\u00ff", "1/4", "--", QString(74, 'R')};
    uint32_t seed = 7;
    auto next = [&] {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) & 0x7FFF;
    };
    // Calligraphic fonts kern far more than common ones (Z003: up to an eighth of the height).
    QFontDatabase::addApplicationFont("/usr/share/fonts/opentype/urw-base35/Z003-MediumItalic.otf");
    for (const char* family : {"Liberation Sans", "Liberation Serif", "DejaVu Sans", "Z003", "C059", "URW Gothic"}) {
        for (const bool bold : {false, true}) {
            QFont font{QString::fromLatin1(family)};
            font.setPixelSize(75);
            font.setBold(bold);
            font.setItalic(bold);
            font.setHintingPreference(QFont::PreferNoHinting);
            TWidthBound bound;
            bound.SetFont(font);
            const QFontMetrics metrics(font);
            for (int i = 0; i < 300; ++i) {
                QString text;
                for (int n = 1 + next() % 40; n > 0; --n)
                    text += next() % 3 ? pieces[next() % std::size(pieces)] : QString(QChar(0x20 + next() % 0xE0));
                if (bound.UpperBound(text) < 0) continue;  // a character left to the measurement
                ASSERT_GE(bound.UpperBound(text), metrics.horizontalAdvance(text)) << family << ": " << text.toStdString();
            }
            EXPECT_EQ(bound.UpperBound(QString::fromUtf8("\u4e2d")), -1);
        }
    }
    QFont spaced("Liberation Sans");
    spaced.setLetterSpacing(QFont::AbsoluteSpacing, 4);
    TWidthBound bound;
    bound.SetFont(spaced);
    EXPECT_EQ(bound.UpperBound(QStringLiteral("abc")), -1);
}

TEST_F(ListPrintTest, DefaultsAtConstruction) {
    EXPECT_EQ(lp.MeasureUnit(), muMillimeters);
    EXPECT_EQ(lp.MarginTop(), 25);
    EXPECT_EQ(lp.PageBorderOffset(), 1.5);
    EXPECT_EQ(lp.TableColumns(), "<25|^25|>25");
    EXPECT_EQ(lp.Font().family(), "Arial");
    EXPECT_EQ(lp.Font().pointSize(), 9);
    EXPECT_EQ(lp.HeaderFont(), lp.Font());
    EXPECT_EQ(lp.PrintTitle(), "Listprinting");
    EXPECT_EQ(lp.TabSize(), 8);
    EXPECT_EQ(lp.LineSpacing(), 1);
    EXPECT_TRUE(lp.TableGrids());
    EXPECT_EQ(lp.ZoomPercent(), 35);
    EXPECT_EQ(lp.ZoomLocation(), zlCenter);
    EXPECT_EQ(lp.ShadowOffset(), 5u);
    EXPECT_EQ(lp.RegistryKey(), "Software\\Quintor\\ListPrint");
    EXPECT_EQ(lp.PageCount(), 0);
    EXPECT_EQ(lp.PageNumber(), 0);
}

TEST_F(ListPrintTest, UnitConversionAtSixHundredDpi) {
    EXPECT_EQ(lp.UnitsToDeviceX(25.4), 600);
    EXPECT_EQ(lp.UnitsToDeviceX(25), 591);
    EXPECT_NEAR(lp.OffsetX(), 5.08, 1e-9);
    EXPECT_NEAR(lp.PaperWidth(), 4960 / 600.0 * 25.4, 1e-9);
    // Ties go to the even neighbour: 0.5 and 2.5 pixels.
    lp.SetMeasureUnit(muInches);
    EXPECT_EQ(lp.UnitsToDeviceX(0.5 / 600), 0);
    EXPECT_EQ(lp.UnitsToDeviceX(2.5 / 600), 2);
    EXPECT_EQ(lp.UnitsToDeviceY(3.5 / 600), 4);
    EXPECT_DOUBLE_EQ(lp.DeviceToUnitsY(300), 0.5);
}

TEST_F(ListPrintTest, UnitSwitchRoundTripConvertsLengthsAndLayouts) {
    lp.SetDefaultColumnWidth(25);
    lp.SetMeasureUnit(muInches);
    EXPECT_DOUBLE_EQ(lp.MarginTop(), 25 / 25.4);
    EXPECT_DOUBLE_EQ(lp.MarginRight(), 25 / 25.4);
    EXPECT_DOUBLE_EQ(lp.PageBorderOffset(), 1.5 / 25.4);
    EXPECT_DOUBLE_EQ(lp.DefaultColumnWidth(), 25 / 25.4);
    EXPECT_EQ(lp.TableColumns(), "<0.984251968503937|^0.984251968503937|>0.984251968503937");
    lp.SetMeasureUnit(muMillimeters);
    EXPECT_NEAR(lp.MarginTop(), 25, 1e-9);
    EXPECT_NEAR(lp.PageBorderOffset(), 1.5, 1e-9);
    EXPECT_EQ(lp.TableColumns(), "<25|^25|>25");
    // Setting the unit it already has changes nothing.
    lp.SetMeasureUnit(muMillimeters);
    EXPECT_NEAR(lp.MarginTop(), 25, 1e-9);
}

TEST_F(ListPrintTest, UnitSwitchLeavesLayoutsOfAFormatAlone) {
    lp.SetHeaderColumns("<10");
    lp.SetHeaderFormat("&cX");
    lp.SetFooterColumns("<10");
    lp.SetMeasureUnit(muInches);
    EXPECT_EQ(lp.HeaderColumns(), "<10");
    EXPECT_EQ(lp.FooterColumns(), "<0.393700787401575");
}

TEST_F(ListPrintTest, MarginsAreClampedToThePrintableSheet) {
    lp.SetMarginTop(0);
    EXPECT_NEAR(lp.MarginTop(), 5.08, 1e-9);
    lp.SetMarginLeft(-3);
    EXPECT_NEAR(lp.MarginLeft(), 5.08, 1e-9);
    lp.SetMarginRight(1000);
    EXPECT_NEAR(lp.MarginRight(), lp.PaperWidth() - 5.08, 1e-9);
    lp.SetMarginBottom(1000);
    EXPECT_NEAR(lp.MarginBottom(), lp.PaperHeight() - 5.08, 1e-9);
    lp.SetMarginBottom(30);
    EXPECT_EQ(lp.MarginBottom(), 30);
}

TEST_F(ListPrintTest, CopiesAndPageRangeRules) {
    lp.SetCopies(0);
    EXPECT_EQ(lp.Copies(), 1);
    lp.SetCopies(-3);
    EXPECT_EQ(lp.Copies(), 1);
    lp.SetCopies(4);
    EXPECT_EQ(lp.Copies(), 4);

    lp.SetToPage(2);
    lp.SetFromPage(5);
    EXPECT_EQ(lp.ToPage(), 5);
    lp.SetToPage(1);
    EXPECT_EQ(lp.FromPage(), 1);
    // 0 is "no bound": it neither pulls nor is pulled.
    lp.SetToPage(0);
    EXPECT_EQ(lp.FromPage(), 1);
    lp.SetFromPage(3);
    EXPECT_EQ(lp.ToPage(), 0);
}

TEST_F(ListPrintTest, ChangesRefusedWhileGenerating) {
    lp.BeginDoc();
    ASSERT_TRUE(lp.IsPrinting());
    EXPECT_EQ(RaisedText<EPagePrinter>([&] { lp.SetMarginTop(30); }), "Unable to change top margin while printing");
    EXPECT_EQ(RaisedText<EPagePrinter>([&] { lp.SetMarginBottom(30); }), "Unable to change bottom margin while printing");
    EXPECT_EQ(RaisedText<EPagePrinter>([&] { lp.SetMarginLeft(30); }), "Unable to change left margin while printing");
    EXPECT_EQ(RaisedText<EPagePrinter>([&] { lp.SetMarginRight(30); }), "Unable to change right margin while printing");
    EXPECT_EQ(RaisedText<EPagePrinter>([&] { lp.SetOrientation(poLandscape); }), "Sending Pages To Printer");
    EXPECT_EQ(RaisedText<EPagePrinter>([&] { lp.SetPrintToFile(true); }), "Can't change PrintToFile while printing");
    EXPECT_EQ(RaisedText<EPagePrinter>([&] { lp.SetFileName("x.txt"); }), "Can't change FileName while printing");
    EXPECT_EQ(RaisedText<EPagePrinter>([&] { lp.Clear(); }), "Can't clear contents while printing");
    // A unit switch is refused before it converts anything.
    EXPECT_THROW(lp.SetMeasureUnit(muInches), EPagePrinter);
    EXPECT_EQ(lp.MeasureUnit(), muMillimeters);
    EXPECT_EQ(lp.MarginTop(), 25);
    lp.EndDoc();
    EXPECT_FALSE(lp.IsPrinting());
    lp.SetMarginTop(30);
    EXPECT_EQ(lp.MarginTop(), 30);
}

TEST_F(ListPrintTest, WithoutPrinterFallsBackToThreeHundredDpiAndStandardPaper) {
    printer.SetAvailable(false);
    lp.Refresh();
    EXPECT_EQ(lp.UnitsToDeviceX(25.4), 300);
    EXPECT_NEAR(lp.PaperWidth(), 2480 / 300.0 * 25.4, 1e-9);
    EXPECT_EQ(lp.OffsetX(), 0);
    EXPECT_EQ(lp.PrintTitle(), "<Unknown>");
    EXPECT_EQ(lp.Orientation(), poPortrait);
    lp.SetMeasureUnit(muInches);
    EXPECT_NEAR(lp.PaperWidth(), 8.5, 1e-9);
    EXPECT_NEAR(lp.PaperHeight(), 11, 1e-9);
    // Pages are still generated.
    lp.SetMeasureUnit(muMillimeters);
    lp.BeginDoc();
    lp.WriteLn("text");
    lp.EndDoc();
    EXPECT_EQ(lp.PageCount(), 1);
    EXPECT_EQ(lp.LineHeight(), 38);  // 9 points at 300 dpi: 37.5, to even
}

TEST_F(ListPrintTest, OrientationGoesToThePrinterAndTurnsTheSheet) {
    lp.SetOrientation(poLandscape);
    EXPECT_EQ(printer.Orientation(), poLandscape);
    EXPECT_EQ(lp.Orientation(), poLandscape);
    EXPECT_NEAR(lp.PaperWidth(), 7016 / 600.0 * 25.4, 1e-9);
}

TEST_F(ListPrintTest, LoadingStoresMarginsAsGivenUntilLoaded) {
    lp.BeginLoading();
    lp.SetMarginTop(0);
    lp.SetHeaderFormat("&cA");
    EXPECT_EQ(lp.MarginTop(), 0);
    EXPECT_EQ(lp.HeaderLine(), "");
    lp.Loaded();
    lp.Refresh();
    EXPECT_NEAR(lp.MarginTop(), 5.08, 1e-9);
    EXPECT_EQ(lp.HeaderLine(), "A");
}

TEST_F(ListPrintTest, ColumnLayoutItems) {
    lp.SetDefaultColumnWidth(25);
    EXPECT_EQ(lp.NormalizeColumns("a|^|^-30|>12.5||<", TCustomListPrint::ccKeep), "<25|^25|^-30|>12.5|<25|<25");
    EXPECT_EQ(lp.NormalizeColumns("", TCustomListPrint::ccKeep), "");
    EXPECT_EQ(lp.NormalizeColumns("7", TCustomListPrint::ccKeep), "<7");
    const auto column = lp.ParseColumnSpec("^-30");
    EXPECT_EQ(column.Alignment, taCenter);
    EXPECT_EQ(column.Width, -30);
}

TEST_F(ListPrintTest, ColumnWidthsUseTheLocaleDecimalSeparator) {
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    lp.SetTableColumns("<12,5|>1.000");
    // "1.000" is no number where the comma is the separator (groups are not accepted).
    EXPECT_EQ(lp.TableColumns(), "<12,5|>25");
    QLocale::setDefault(QLocale::c());
}

// Program start-up creates the print control and sets its form values; none of that may open
// the printer (a system printer connection is slow to make).
TEST(ListPrintStartUp, ConstructionAndLoadingLeaveThePrinterAlone) {
    struct TCountingPrinter : TTestPrinter {
        bool Available() override {
            ++Queries;
            return TTestPrinter::Available();
        }
        int Queries = 0;
    } printer;
    TCustomListPrint lp;
    lp.SetPrinter(&printer);
    lp.BeginLoading();
    lp.SetMarginTop(25);
    lp.SetMarginBottom(25);
    lp.SetZoomPercent(35);
    lp.SetHeaderFormat("&cX");
    lp.SetPageNumber(0);
    lp.Loaded();
    EXPECT_EQ(printer.Queries, 0);
    // The first run opens it.
    lp.SetShowProgress(false);
    lp.BeginDoc();
    lp.EndDoc();
    EXPECT_GT(printer.Queries, 0);
    EXPECT_EQ(lp.HeaderLine(), "X");
}
