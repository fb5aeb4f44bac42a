#pragma once
// A print control on the test printer (600 dpi A4, 120-pixel offsets), with the progress dialog
// off unless a test wants it.
#include "list_print.h"
#include "progress_dialog.h"
#include "test_printer.h"

#include <gtest/gtest.h>

#include <string>

class ListPrintTest : public ::testing::Test {
protected:
    ListPrintTest() {
        lp.SetPrinter(&printer);
        lp.SetShowProgress(false);
        lp.ShowMessageHook = [this](QObject*, const QString& text) { messages << text; };
    }

    // Working in inches (offset 0.2 inch): a body of exactly Width x Height printer pixels whose
    // top-left corner lies at (600, 600).
    void SetBody(int Width, int Height) {
        lp.SetMeasureUnit(muInches);
        lp.SetMarginLeft(1.2);
        lp.SetMarginTop(1.2);
        lp.SetMarginRight(0.2 + (4720 - 600 - Width) / 600.0);
        lp.SetMarginBottom(0.2 + (6776 - 600 - Height) / 600.0);
        ASSERT_EQ(lp.BodyWidth(), Width);
        ASSERT_EQ(lp.BodyHeight(), Height);
    }

    std::vector<QString> PageTexts(int Page) const {
        std::vector<QString> out;
        for (const TPictureText& t : lp.PageList()[Page - 1]->Texts()) out.push_back(t.Text);
        return out;
    }

    // The printer's journal as "B 1 N 2 E": begin, page numbers sent, new sheet, end, abort.
    std::string Journal() const {
        std::string out;
        for (const TTestPrinter::TRecord& r : printer.Journal()) {
            if (!out.empty()) out += ' ';
            switch (r.Kind) {
            case TTestPrinter::rkBeginDoc: out += 'B'; break;
            case TTestPrinter::rkNewPage: out += 'N'; break;
            case TTestPrinter::rkEndDoc: out += 'E'; break;
            case TTestPrinter::rkAbort: out += 'A'; break;
            case TTestPrinter::rkPicture:
                for (int i = 0; i < lp.PageCount(); ++i)
                    if (lp.PageList()[i].get() == r.Picture) out += std::to_string(i + 1);
                break;
            }
        }
        return out;
    }

    TTestPrinter printer;
    TCustomListPrint lp;
    QStringList messages;
};

// The message of the exception that Body raises, or "(nothing raised)".
template <typename TException, typename TBody>
std::string RaisedText(TBody&& Body) {
    try {
        Body();
    } catch (const TException& e) {
        return e.what();
    }
    return "(nothing raised)";
}
