// The memo print control: binding a memo, building pages from it, and the layout stored in the
// registry.
#include "memo_print.h"
#include "registry.h"
#include "registry_settings.h"
#include "test_printer.h"

#include "event_loop.h"

#include <QPlainTextEdit>
#include <QTemporaryDir>

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
    Store_("MeasureUnit", "1");
    for (const char* m : {"MarginTop", "MarginBottom", "MarginLeft", "MarginRight"}) Store_(m, "1");
    LoadRegistrySettings(*Print);
    EXPECT_TRUE(Print->HeaderFont().underline());
    EXPECT_FALSE(Print->HeaderFont().bold());
    EXPECT_TRUE(Print->Font().bold() && Print->Font().underline());
    EXPECT_FALSE(Print->FooterFont().bold() || Print->FooterFont().underline());
    EXPECT_EQ(Print->PageBorders(), (TPageBorders{pbTop, pbBottom, pbLeft, pbRight}));
    EXPECT_EQ(Print->HeaderFont().pointSize(), 10) << "a size that is no number gives the default";
    EXPECT_EQ(Print->MeasureUnit(), muInches);
    EXPECT_DOUBLE_EQ(Print->MarginTop(), 1.0);

    Store_("PageBorders", "0");
    LoadRegistrySettings(*Print);
    EXPECT_EQ(Print->PageBorders(), TPageBorders{});
}

TEST_F(MemoPrintTest, AValueOfTheWrongKindStopsTheLoad) {
    Print->SetUseRegistry(true);
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("Software\\Quintor\\ListPrint\\Setup", true));
    reg.WriteInteger("BFSize", 12);
    Print->SetHeaderText("");
    try {
        LoadRegistrySettings(*Print);
        ADD_FAILURE() << "the load should stop";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "Invalid data type for 'BFSize'");
    }
    EXPECT_FALSE(Print->HeaderText().isEmpty()) << "what was applied before stays";
    Store_("BFSize", "12");
    Store_("MarginTop", "wide");
    EXPECT_THROW(LoadRegistrySettings(*Print), Exception);
}

}  // namespace
