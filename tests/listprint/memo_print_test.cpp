// The memo print control: binding a memo, building pages from it, and the layout stored in the
// registry.
#include "memo_print.h"
#include "progress_dialog.h"
#include "registry.h"
#include "registry_settings.h"
#include "test_printer.h"

#include "event_loop.h"
#include "test_seed.h"

#include <QApplication>
#include <QFontDatabase>
#include <QProcess>
#include <QStandardPaths>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>

#include <gtest/gtest.h>

namespace {

class MemoPrintTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Store.isValid());
        qputenv("KORVELCHAT_CONFIG_DIR", Store.path().toLocal8Bit());
        Print = new TMemoPrint(&Owner);
        Print->SetPrinter(&Printer);
        Print->SetShowProgress(false);
        Print->ShowMessageHook = [this](QObject*, const QString& text) { Messages << text; };
    }

    // Binds the memo and fills it with a few pages of lines, to be generated with the dialog.
    void BindPages(QPlainTextEdit& Memo) {
        Print->SetAsgnMemo(&Memo);
        QStringList lines;
        for (int i = 0; i < 200; ++i) lines << QString("line %1").arg(i);
        Memo.setPlainText(lines.join('\n'));
        Print->SetShowProgress(true);
    }

    void Store_(const QString& Name, const QString& Value) {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey("Software\\Quintor\\ListPrint\\Setup", true));
        reg.WriteString(Name, Value);
    }

    QTemporaryDir Store;
    QWidget Owner;
    TTestPrinter Printer;
    TMemoPrint* Print = nullptr;
    QStringList Messages;
};

TEST_F(MemoPrintTest, BindingFollowsTheMemoAndItsOwner) {
    EXPECT_EQ(Print->AsgnMemo(), nullptr);
    auto* first = new QPlainTextEdit(&Owner);
    auto* second = new QPlainTextEdit(&Owner);
    RunFor(10);
    EXPECT_EQ(Print->AsgnMemo(), first) << "the first memo that joins the owner is adopted";
    Print->SetAsgnMemo(second);
    EXPECT_EQ(Print->AsgnMemo(), second);
    delete second;
    EXPECT_EQ(Print->AsgnMemo(), nullptr) << "a destroyed memo unbinds";
    Print->SetAsgnMemo(first);

    // Without a memo the pages are discarded and nothing is generated.
    first->setPlainText("one\ntwo");
    Print->LoadFromMemo();
    EXPECT_EQ(Print->PageCount(), 1);
    delete first;
    Print->LoadFromMemo();
    EXPECT_EQ(Print->PageCount(), 0);
    Print->FillFromMemo();
    EXPECT_EQ(Messages, QStringList{"No Memo assigned to ListPrinter!"});
}

TEST_F(MemoPrintTest, LinesOfTheMemoBecomePagesAndAnEmptyMemoGivesOne) {
    QPlainTextEdit memo(&Owner);
    Print->SetAsgnMemo(&memo);
    Print->SetZoomLocation(zlCenter);
    Print->LoadFromMemo();
    EXPECT_EQ(Print->PageCount(), 1);
    EXPECT_EQ(Print->ZoomLocation(), zlTopCenter);
    memo.setPlainText("alpha\n\nbeta\n");
    EXPECT_EQ(TMemoPrint::MemoLines(memo), (QStringList{"alpha", "", "beta"}));
    Print->LoadFromMemo();
    QStringList texts;
    for (const TPictureText& t : Print->PageList()[0]->Texts()) texts << t.Text;
    EXPECT_TRUE(texts.contains("alpha"));
    EXPECT_TRUE(texts.contains("beta"));
    memo.setPlainText(QString("word ").repeated(200));  // wider than the body: cut unless WordWrap
    for (const bool wrap : {false, true}) {
        Print->SetWordWrap(wrap), Print->LoadFromMemo();
        EXPECT_EQ(Print->PageList()[0]->Texts().size() > texts.size() + 1, wrap);
    }
}

// Whatever stops a load (a Stop or a handler's error, at the first page start or later, into
// pages or into a file), the control ends usable: not printing, no dialog, repaints and the
// cursor back, and the next load works.
TEST_F(MemoPrintTest, AStoppedLoadLeavesTheControlUsable) {
    QPlainTextEdit memo(&Owner);
    BindPages(memo);
    enum TStop : uint8_t { stStopButton, stHandlerError };
    struct TCase {
        const char* Name;
        TStop How;
        int Page;
        bool Export;
    };
    for (const TCase c : {TCase{"Stop at the first page start", stStopButton, 1, false},
                          TCase{"Stop at a later page start", stStopButton, 2, false},
                          TCase{"error at the first page start", stHandlerError, 1, false},
                          TCase{"Stop at the start of an export", stStopButton, 1, true}}) {
        SCOPED_TRACE(c.Name);
        Print->SetPrintToFile(c.Export);
        Print->SetFileName(Store.filePath("export.txt"));
        if (c.How == stStopButton && c.Page == 1)
            QTimer::singleShot(0, Print, [this] { Print->CancelPrinting(); });  // seen at the first pump
        Print->OnNewPage = [&](QObject*) {
            if (c.How == stHandlerError) throw std::runtime_error("handler failed");
            if (Print->PageNumber() == c.Page - 1) Print->CancelPrinting();
        };
        EXPECT_THROW(Print->LoadFromMemo(), std::exception);
        EXPECT_FALSE(Print->IsPrinting());
        EXPECT_EQ(Print->ProgressDialog(), nullptr);
        EXPECT_FALSE(Print->UpdatesHeld());
        EXPECT_EQ(QApplication::overrideCursor(), nullptr);

        Print->OnNewPage = nullptr;
        Print->SetPrintToFile(false);
        Print->SetMarginTop(30);
        Print->LoadFromMemo();
        EXPECT_GE(Print->PageCount(), 2);
    }
}

// Closing the window during a load or a print job stops the work; the window closes once the
// call has returned, and the control was never torn down under it.
TEST_F(MemoPrintTest, ClosingTheWindowDuringAJobStopsItAndClosesAfterwards) {
    QPlainTextEdit memo(&Owner);
    BindPages(memo);
    Owner.show();
    Print->OnNewPage = [&](QObject*) {
        if (Print->PageNumber() == 2) QTimer::singleShot(0, &Owner, [&] { Owner.close(); });
    };
    EXPECT_THROW(Print->LoadFromMemo(), ECancelPrinting);
    EXPECT_TRUE(Owner.isVisible()) << "not closed under the running load";
    RunFor(10);
    EXPECT_FALSE(Owner.isVisible());

    Print->OnNewPage = nullptr;
    Owner.show();
    Print->LoadFromMemo();
    RunFor(10);
    EXPECT_TRUE(Owner.isVisible()) << "a close is carried out once";
    Printer.OnPicture = [&](int count) {
        if (count == 1) QTimer::singleShot(0, &Owner, [&] { Owner.close(); });
    };
    EXPECT_FALSE(Print->Print());
    EXPECT_FALSE(Printer.Printing());
    EXPECT_TRUE(Owner.isVisible());
    RunFor(10);
    EXPECT_FALSE(Owner.isVisible());
}

// The progress dialog belongs to the control's window: it stays above it, and its closing hands
// the focus back to a window of the same program.
TEST_F(MemoPrintTest, TheProgressDialogIsAWindowOfTheOwner) {
    Owner.show();
    Print->SetShowProgress(true);
    Print->ShowProgressState("Status", "Page ", 1, 1, 1);
    ASSERT_NE(Print->ProgressDialog(), nullptr);
    EXPECT_EQ(Print->ProgressDialog()->parentWidget(), &Owner);
    ASSERT_NE(Print->ProgressDialog()->windowHandle(), nullptr);
    EXPECT_EQ(Print->ProgressDialog()->windowHandle()->transientParent(), Owner.windowHandle());
    Print->ShowProgressState("<FINISH>", QString(), 0, 0, 0);
}

TEST_F(MemoPrintTest, WithoutTheRegistryOnlyTheSlotSelectorsReturnToTheirDefaults) {
    Print->SetHLeft(3);
    Print->SetFRight(0);
    Print->SetMarginTop(40);
    LoadRegistrySettings(*Print);
    EXPECT_EQ((std::vector<int>{Print->HLeft(), Print->HCenter(), Print->HRight(), Print->FLeft(),
                                Print->FCenter(), Print->FRight()}),
              (std::vector<int>{0, 4, 0, 1, 4, 2}));
    EXPECT_EQ(Print->MarginTop(), 40);
    EXPECT_FALSE(TRegistry().KeyExists("Software\\Quintor\\ListPrint"));
}

TEST_F(MemoPrintTest, AnEmptyStoreGivesTheDefaultsAndTheKeyIsCreated) {
    Print->SetUseRegistry(true);
    Print->SetPrintTitle("");
    Print->SetHeaderText("kept");
    LoadRegistrySettings(*Print);
    EXPECT_TRUE(TRegistry().KeyExists("software\\quintor\\listprint"));
    EXPECT_EQ(Print->PrintTitle(), "List printout");
    EXPECT_EQ(Print->HeaderText(), "kept") << "a text already set stays";
    EXPECT_EQ(Print->FooterText(), "Define Footer text under \"Settings\"");
    EXPECT_EQ(Print->HeaderFont().pointSize(), 10);
    EXPECT_TRUE(Print->HeaderFont().bold());
    EXPECT_EQ(Print->Font().pointSize(), 9);
    EXPECT_EQ(Print->FooterFont().pointSize(), 8);
    EXPECT_EQ(Print->MeasureUnit(), muMillimeters);
    EXPECT_EQ(Print->MarginLeft(), 25);
    EXPECT_EQ(Print->ZoomPercent(), 35);
    EXPECT_EQ(Print->PageBorders(), (TPageBorders{pbTop, pbBottom}));
    EXPECT_TRUE(Print->TableGrids());
    EXPECT_FALSE(Print->WordWrap());
}

TEST_F(MemoPrintTest, StoredValuesAreReadAsTheirKindsSpellThem) {
    Print->SetUseRegistry(true);
    Store_("HFStyle", "2");
    Store_("BFStyle", "3");
    Store_("FFStyle", "7");
    Store_("PageBorders", "15");
    Store_("HFSize", "abc");
    Store_("BFSize", "0");
    Store_("FFSize", "-4");
    Store_("ZoomProcent", "50");
    Store_("Portrait", "0");
    Store_("MeasureUnit", "1");
    for (const char* m : {"MarginTop", "MarginBottom", "MarginLeft", "MarginRight"}) Store_(m, "1");
    LoadRegistrySettings(*Print);
    EXPECT_TRUE(Print->HeaderFont().underline());
    EXPECT_FALSE(Print->HeaderFont().bold());
    EXPECT_TRUE(Print->Font().bold() && Print->Font().underline());
    EXPECT_FALSE(Print->FooterFont().bold() || Print->FooterFont().underline());
    EXPECT_EQ(Print->PageBorders(), (TPageBorders{pbTop, pbBottom, pbLeft, pbRight}));
    EXPECT_EQ(Print->HeaderFont().pointSize(), 10) << "a size that is no number gives the default";
    EXPECT_EQ(Print->Font().pointSize(), 9) << "so does a size of 0 or below";
    EXPECT_EQ(Print->FooterFont().pointSize(), 8);
    EXPECT_EQ(Print->ZoomPercent(), 50);
    EXPECT_EQ(Print->Orientation(), poLandscape);
    EXPECT_EQ(Print->MeasureUnit(), muInches);
    EXPECT_DOUBLE_EQ(Print->MarginTop(), 1.0);

    Store_("PageBorders", "0");
    Store_("ZoomProcent", "100000");
    LoadRegistrySettings(*Print);
    EXPECT_EQ(Print->PageBorders(), TPageBorders{});
    EXPECT_EQ(Print->ZoomPercent(), TCustomListPrint::MaxZoomPercent);
}

// A value of the wrong kind stops the load; every value read before it stays applied, also the
// name and size of the font whose style stopped it.
TEST_F(MemoPrintTest, AValueOfTheWrongKindStopsTheLoad) {
    Print->SetUseRegistry(true);
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("Software\\Quintor\\ListPrint\\Setup", true));
    using TFontGetter = QFont (TCustomListPrint::*)() const;
    for (auto [prefix, font] : {std::pair<QString, TFontGetter>{"H", &TCustomListPrint::HeaderFont},
                                {"B", &TCustomListPrint::Font}, {"F", &TCustomListPrint::FooterFont}}) {
        SCOPED_TRACE(prefix.toStdString());
        Store_(prefix + "FName", "Courier");
        Store_(prefix + "FSize", "14");
        reg.WriteInteger(prefix + "FStyle", 1);
        Print->SetHeaderText("");
        try {
            LoadRegistrySettings(*Print);
            ADD_FAILURE() << "the load should stop";
        } catch (const Exception& e) {
            EXPECT_EQ(e.what(), "Invalid data type for '" + prefix.toStdString() + "FStyle'");
        }
        EXPECT_FALSE(Print->HeaderText().isEmpty()) << "what was applied before stays";
        EXPECT_EQ(((*Print).*font)().family(), "Courier");
        EXPECT_EQ(((*Print).*font)().pointSize(), 14);
        Store_(prefix + "FStyle", "0");
    }
    // Nor is a number beyond any sheet; a size beyond any font's is no size.
    for (const char* margin : {"wide", "nan", "inf", "1e300"}) {
        Store_("MarginTop", margin);
        EXPECT_THROW(LoadRegistrySettings(*Print), Exception) << margin;
    }
    Store_("MarginTop", "25");
    Store_("BFSize", "300000000");
    LoadRegistrySettings(*Print);
    EXPECT_EQ(Print->Font().pointSize(), 9);
}

// Random lines in random fonts printed to a PDF file: every character comes out, in order, and
// no line leaves the body, however long its words.
TEST(MemoPrintPdf, EveryCharacterIsPrintedInOrderInsideTheBody) {
    const QString pdftotext = QStandardPaths::findExecutable("pdftotext");
    if (pdftotext.isEmpty()) GTEST_SKIP() << "pdftotext is not installed";
    const uint32_t seed = TestSeed();
    SCOPED_TRACE("KORVEL_SEED=" + std::to_string(seed));
    QRandomGenerator rng(seed);
    QFontDatabase::addApplicationFont("/usr/share/fonts/opentype/urw-base35/Z003-MediumItalic.otf");  // kerns much
    QTemporaryDir dir;
    qputenv("KORVELCHAT_CONFIG_DIR", dir.path().toLocal8Bit());
    TQtPrinter printer(ptPdfFile, dir.filePath("out.pdf"));
    QWidget owner;
    TMemoPrint print(&owner);
    QPlainTextEdit memo(&owner);
    print.SetPrinter(&printer);
    print.SetShowProgress(false);
    print.SetAsgnMemo(&memo);
    print.SetWordWrap(true);  // as the history page prints
    const char32_t ranges[][2] = {{0x21, 0x7E}, {0xC0, 0xFF}, {0x391, 0x3A1}, {0x410, 0x44F}, {0x1F600, 0x1F60F}, {'R', 'R'}};
    // Compatibility forms, since a ligature ("ff" drawn as one glyph) reads back as one character.
    const auto plain = [](const QString& s) { return s.normalized(QString::NormalizationForm_KC).toStdU32String(); };
    for (int round = 0; round < 3; ++round) {
        print.SetFont(QFont(QStringList{"Liberation Sans", "Liberation Serif", "DejaVu Sans", "Z003", "C059"}[rng.bounded(5)],
                            6 + rng.bounded(30)));
        SCOPED_TRACE(print.Font().toString().toStdString());
        std::u32string text;
        for (int word = 0; word < 300; ++word) {
            const auto* range = ranges[rng.bounded(6)];
            for (int n = rng.bounded(8) ? rng.bounded(1, 12) : rng.bounded(60, 200); n > 0; --n)
                text += range[0] + rng.bounded(range[1] - range[0] + 1);
            text += rng.bounded(25) ? U' ' : U'\n';
        }
        memo.setPlainText(QString::fromStdU32String(text));
        print.LoadFromMemo();
        const QRect body(print.BodyLeft(), print.BodyTop(), print.BodyWidth(), print.BodyHeight());
        for (const auto& page : print.PageList())
            for (const TPictureText& t : page->Texts()) {
                const QSize size(QFontMetrics(page->Fonts()[size_t(t.Font)]).horizontalAdvance(t.Text), print.LineHeight());
                // The header and footer lie outside the body.
                ASSERT_TRUE(!body.contains(t.TopLeft) || body.contains(QRect(t.TopLeft, size))) << t.Text.toStdString();
            }
        ASSERT_TRUE(print.Print());
        QProcess p;
        p.start(pdftotext, {"-raw", dir.filePath("out.pdf"), "-"});  // in the order drawn
        ASSERT_TRUE(p.waitForFinished(20000));
        const std::u32string printed = plain(QString::fromUtf8(p.readAllStandardOutput()));
        std::size_t at = 0;
        for (const char32_t c : plain(QString::fromStdU32String(text)))
            // Qt's PDF writer names only characters of the basic plane: emoji are drawn, unnamed.
            ASSERT_TRUE(c == U' ' || c == U'\n' || c > 0xFFFF || (at = printed.find(c, at) + 1) != 0)
                << "missing " << QString::fromUcs4(&c, 1).toStdString();
    }
}

}  // namespace
