// The print job: order of sheets, page range, copies, the device's copy count, Stop during
// generation and printing, and the progress dialog. One run goes to a real PDF file.
#include "list_print_fixture.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <map>

class PrintJobTest : public ListPrintTest {
protected:
    void Generate(int Pages) {
        lp.BeginDoc();
        for (int p = 2; p <= Pages; ++p) lp.NewPage();
        lp.EndDoc();
        ASSERT_EQ(lp.PageCount(), Pages);
    }
    void PressStop() {
        ASSERT_NE(lp.ProgressDialog(), nullptr);
        QTest::mouseClick(lp.ProgressDialog()->btnCancel, Qt::LeftButton);
    }
};

TEST_F(PrintJobTest, CollatedAndUncollatedCopies) {
    Generate(3);
    lp.SetCopies(2);
    EXPECT_TRUE(lp.Print());
    EXPECT_EQ(Journal(), "B 1 N 2 N 3 N 1 N 2 N 3 E");
    printer = TTestPrinter();
    lp.SetCollate(false);
    EXPECT_TRUE(lp.Print());
    EXPECT_EQ(Journal(), "B 1 N 1 N 2 N 2 N 3 N 3 E");
}

// The printer gets each page as it was laid out: the header centred between the paper's top edge
// and the top frame line, the body at the margins, the footer two of its lines below the body.
TEST_F(PrintJobTest, SheetsCarryTheTextWhereItWasLaidOut) {
    QFont big = lp.HeaderFont();
    big.setPointSize(12);  // 100-pixel lines
    lp.SetHeaderFont(big);
    lp.SetHeaderFormat("&cHead");
    lp.SetFooterFormat("&cFoot");
    lp.BeginDoc();
    lp.WriteLn("body");
    lp.EndDoc();
    EXPECT_TRUE(lp.Print());
    ASSERT_EQ(Journal(), "B 1 E");
    std::map<QString, QPoint> at;
    for (const TPictureText& t : printer.Journal()[1].Texts) at[t.Text] = t.TopLeft;
    // 25 mm less the 1.5 mm frame offset is 555 pixels; (555 - 100) / 2 = 227.
    EXPECT_EQ(at["Head"].y(), 227);
    EXPECT_EQ(at["body"], QPoint(591, 591));  // 25 mm from the paper's edges
    EXPECT_EQ(at["Foot"].y(), 591 + lp.BodyHeight() + 2 * 75);
}

TEST_F(PrintJobTest, PageRanges) {
    Generate(3);
    lp.SetFromPage(0);
    lp.SetToPage(0);
    EXPECT_TRUE(lp.Print());
    EXPECT_EQ(Journal(), "B 1 N 2 N 3 E");
    printer = TTestPrinter();
    lp.SetFromPage(7);
    EXPECT_TRUE(lp.Print());
    EXPECT_EQ(Journal(), "B 3 E");
    printer = TTestPrinter();
    lp.SetFromPage(2);
    lp.SetToPage(2);
    EXPECT_TRUE(lp.Print());
    EXPECT_EQ(Journal(), "B 2 E");
}

TEST_F(PrintJobTest, DeviceCopyCountIsOneDuringTheJobAndRestoredAfter) {
    Generate(2);
    printer.SetCopies(4);
    lp.SetCopies(3);
    EXPECT_TRUE(lp.Print());
    for (const auto& r : printer.Journal()) EXPECT_EQ(r.CopiesAtTheTime, 1);
    EXPECT_EQ(printer.Copies(), 4);
}

TEST_F(PrintJobTest, NothingToPrint) {
    EXPECT_TRUE(lp.Print());
    EXPECT_TRUE(printer.Journal().empty());
}

TEST_F(PrintJobTest, OpenRunIsClosedBeforePrinting) {
    lp.BeginDoc();
    lp.WriteLn("x");
    EXPECT_TRUE(lp.Print());
    EXPECT_FALSE(lp.IsPrinting());
    EXPECT_EQ(Journal(), "B 1 E");
}

TEST_F(PrintJobTest, StopDuringPrintingEndsOrAbortsTheJob) {
    Generate(3);
    lp.SetShowProgress(true);
    printer.SetCopies(2);
    printer.OnPicture = [&](int count) {
        if (count == 2) PressStop();
    };
    EXPECT_FALSE(lp.Print());
    EXPECT_EQ(Journal(), "B 1 N 2 E");  // the sheets sent so far are printed, and no blank one
    EXPECT_EQ(printer.Copies(), 2);       // restored after a cancelled job too
    EXPECT_EQ(lp.ProgressDialog(), nullptr);

    printer = TTestPrinter();
    printer.SetCopies(2);
    printer.OnPicture = [&](int count) {
        if (count == 1) PressStop();
    };
    lp.SetAbortOnCancel(true);
    EXPECT_FALSE(lp.Print());
    EXPECT_EQ(Journal(), "B 1 A");
    EXPECT_EQ(printer.Copies(), 2);
    // The next job is not cancelled by the old request.
    printer.OnPicture = nullptr;
    printer = TTestPrinter();
    EXPECT_TRUE(lp.Print());
}

TEST_F(PrintJobTest, StopDuringGenerationRaisesAtTheNextPageStart) {
    lp.SetShowProgress(true);
    SetBody(3000, 750);
    lp.OnNewPage = [&](QObject*) {
        if (lp.PageNumber() == 2) PressStop();
    };
    lp.BeginDoc();
    EXPECT_EQ(RaisedText<ECancelPrinting>([&] {
                  for (int i = 0; i < 100; ++i) lp.WriteLn("line");
              }),
              "Printing cancelled");
    lp.EndDoc();
    EXPECT_EQ(lp.PageCount(), 3);  // page 3 was added, its start refused
    // A Stop seen at the first page start ends the run that BeginDoc could not start.
    QTimer::singleShot(0, [&] { lp.CancelPrinting(); });
    EXPECT_THROW(lp.BeginDoc(), ECancelPrinting);
    EXPECT_FALSE(lp.IsPrinting());
    EXPECT_EQ(lp.ProgressDialog(), nullptr);
    // A Stop pressed during one run does not cancel the next.
    lp.OnNewPage = nullptr;
    lp.BeginDoc();
    for (int i = 0; i < 20; ++i) lp.WriteLn("line");
    lp.EndDoc();
    EXPECT_EQ(lp.PageCount(), 3);
}

TEST_F(PrintJobTest, DialogTextsWhilePrinting) {
    Generate(5);
    lp.SetShowProgress(true);
    lp.SetCopies(2);
    lp.SetPrintTitle("History");
    QStringList lines, statuses;
    QString caption;
    std::vector<int> maxima;
    printer.OnPicture = [&](int) {
        TListPrnPrgDlg* d = lp.ProgressDialog();
        ASSERT_NE(d, nullptr);
        lines << d->lblPageNumber->text();
        statuses << d->lblStatus->text();
        caption = d->windowTitle();
        EXPECT_TRUE(d->isVisible());
        maxima.push_back(d->ProgBar->maximum());
    };
    EXPECT_TRUE(lp.Print());
    ASSERT_EQ(lines.size(), 10);
    EXPECT_EQ(lines[2], "Page 3 of 5 x 2 Copies");
    EXPECT_EQ(statuses[0], "Sending to printer");
    EXPECT_EQ(caption, "History");
    EXPECT_EQ(maxima.front(), 10);  // 5 pages x 2 copies
    EXPECT_EQ(lp.ProgressDialog(), nullptr);

    // A range not starting at page 1 shows the page alone; a progress message replaces the status.
    lines.clear();
    statuses.clear();
    lp.SetCopies(1);
    lp.SetFromPage(2);
    lp.SetProgressMessage("Sending history");
    EXPECT_TRUE(lp.Print());
    EXPECT_EQ(lines.front(), "Page 2");
    EXPECT_EQ(statuses.front(), "Sending history");
}

TEST_F(PrintJobTest, DialogDuringGenerationHasNoFalseTotal) {
    lp.SetShowProgress(true);
    QString line, status;
    int maximum = -1;
    lp.OnNewPage = [&](QObject*) {
        TListPrnPrgDlg* d = lp.ProgressDialog();
        ASSERT_NE(d, nullptr);
        line = d->lblPageNumber->text();
        status = d->lblStatus->text();
        maximum = d->ProgBar->maximum();
    };
    lp.BeginDoc();
    lp.NewPage();
    EXPECT_EQ(line, "Page 2");
    EXPECT_EQ(status, "Regenerating Preview");
    EXPECT_EQ(maximum, 0);  // a bar without a total
    lp.EndDoc();
    lp.ShowProgressState("<FINISH>", QString(), 0, 0, 0);
    EXPECT_EQ(lp.ProgressDialog(), nullptr);
}

TEST_F(PrintJobTest, DialogLayoutAndHiddenStopButton) {
    lp.SetShowProgress(true);
    lp.ShowProgressState("Status", "Page ", 1, 1, 1);
    TListPrnPrgDlg* d = lp.ProgressDialog();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->size(), QSize(293, 133));
    EXPECT_EQ(d->btnCancel->text(), "&Stop");
    EXPECT_EQ(d->btnCancel->geometry(), QRect(109, 100, 75, 25));
    EXPECT_EQ(d->lblPageNumber->text(), "Page 1 of 1");
    // Escape is the Stop key.
    QTest::keyClick(d, Qt::Key_Escape);
    EXPECT_TRUE(lp.CancelRequested());
    lp.ShowProgressState("<FINISH>", QString(), 0, 0, 0);

    lp.SetShowCancel(false);
    lp.ShowProgressState("Status", "Page ", 1, 1, 1);
    d = lp.ProgressDialog();
    EXPECT_FALSE(d->btnCancel->isVisible());
    EXPECT_EQ(d->height(), 98 * d->logicalDpiY() / 96);
}

TEST_F(PrintJobTest, NoDialogWithProgressOff) {
    Generate(2);
    int seen = 0;
    printer.OnPicture = [&](int) {
        EXPECT_EQ(lp.ProgressDialog(), nullptr);
        ++seen;
    };
    EXPECT_TRUE(lp.Print());
    EXPECT_EQ(seen, 2);
}

TEST_F(PrintJobTest, PrinterErrorPropagatesAfterCleanUp) {
    Generate(1);
    lp.SetShowProgress(true);
    printer.SetCopies(3);
    printer.SetFailBeginDoc(true);
    EXPECT_THROW(lp.Print(), EPrinter);
    EXPECT_EQ(printer.Copies(), 3);
    EXPECT_FALSE(printer.Printing());
    EXPECT_EQ(lp.ProgressDialog(), nullptr);
}

TEST(ListPrintPdf, PrintsReadableTextToAPdfFile) {
    const QString pdftotext = QStandardPaths::findExecutable("pdftotext");
    if (pdftotext.isEmpty()) GTEST_SKIP() << "pdftotext is not installed";
    QTemporaryDir dir;
    const QString pdf = dir.filePath("out.pdf");
    TQtPrinter printer(ptPdfFile, pdf);
    TCustomListPrint lp;
    lp.SetPrinter(&printer);
    lp.SetShowProgress(false);
    lp.SetHeaderFormat("&cKORVEL CHAT 2");
    lp.SetFooterFormat("&rPage &p");
    lp.SetPageBorders({pbTop, pbBottom});
    lp.BeginDoc();
    for (int i = 1; i <= 120; ++i) lp.WriteLn(QString("history line %1").arg(i));
    lp.EndDoc();
    ASSERT_GE(lp.PageCount(), 2);
    EXPECT_EQ(printer.Copies(), 1);
    ASSERT_TRUE(lp.Print());
    EXPECT_FALSE(printer.Printing());

    QProcess p;
    p.start(pdftotext, {"-layout", pdf, "-"});
    ASSERT_TRUE(p.waitForFinished(20000));
    const QString text = QString::fromUtf8(p.readAllStandardOutput());
    EXPECT_TRUE(text.contains("KORVEL CHAT 2"));
    EXPECT_TRUE(text.contains("history line 1\n") || text.contains("history line 1 "));
    EXPECT_TRUE(text.contains("history line 120"));
    EXPECT_TRUE(text.contains("Page 2"));
    EXPECT_EQ(text.count('\f'), lp.PageCount());  // one form feed per PDF page

    // Text that exactly fills one page (every line's bottom above the body's) prints as one PDF
    // page.
    const int fit = (lp.BodyHeight() - 1) / lp.LineHeight();
    lp.BeginDoc();
    for (int i = 1; i <= fit; ++i) lp.WriteLn(QString("full page line %1").arg(i));
    lp.EndDoc();
    ASSERT_TRUE(lp.Print());
    p.start(pdftotext, {"-layout", pdf, "-"});
    ASSERT_TRUE(p.waitForFinished(20000));
    const QString onePage = QString::fromUtf8(p.readAllStandardOutput());
    EXPECT_TRUE(onePage.contains(QString("full page line %1").arg(fit)));
    EXPECT_EQ(onePage.count('\f'), 1);

    // Stopped before its first page, the job is aborted (no blank sheet, no file), and the next
    // one prints.
    QFile::remove(pdf);
    lp.SetShowProgress(true);
    QTimer::singleShot(0, [&] { lp.CancelPrinting(); });
    EXPECT_FALSE(lp.Print());
    EXPECT_FALSE(QFile::exists(pdf));
    EXPECT_TRUE(lp.Print() && QFile::exists(pdf));
}
