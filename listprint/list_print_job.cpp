// The print job: page range, copies and collation sent as one job, with the progress dialog and
// its Stop button.
#include "list_print.h"
#include "progress_dialog.h"

#include <algorithm>

bool TCustomListPrint::Print() {
    // Reached again from the message processing of a running job.
    if (Sending_) throw EPagePrinter(lpk::SOrientationPrinting);
    if (IsPrinting()) EndDoc();
    if (PageList_.empty()) return true;

    const int count = PageCount();
    // A range bound of 0 means none; bounds beyond the pages (or below 1) are brought inside.
    const int first = std::clamp(FromPage_ != 0 ? Min(FromPage_, count) : 1, 1, count);
    const int last = std::clamp(ToPage_ != 0 ? Min(ToPage_, count) : count, first, count);

    TPrinter* printer = Printer();
    // Copies are made by sending the pages repeatedly, so the device itself prints each once.
    const int savedCopies = printer->Copies();
    printer->SetCopies(1);
    CancelRequest_ = false;
    Sending_ = true;
    SheetDrawn_ = false;
    bool cancelled = false;
    auto cleanUp = [&] {
        Sending_ = false;
        ShowProgressState(QString::fromLatin1(lpk::SFinish), QString(), 0, 0, 0);
        FinishDeferredClose();
    };
    try {
        printer->SetTitle(PrintTitle_);
        printer->BeginDoc();
        if (Collate_) {
            for (int c = 1; c <= Copies_; ++c)
                for (int p = first; p <= last; ++p) SendPage(p, first, last, p == first && c == 1);
        } else {
            for (int p = first; p <= last; ++p)
                for (int c = 1; c <= Copies_; ++c) SendPage(p, first, last, p == first && c == 1);
        }
        printer->EndDoc();
    } catch (const ECancelPrinting&) {
        cancelled = true;
    } catch (...) {
        // A failed job is not left open (the next one could not start); the device gets its
        // copy count back before the error goes on.
        cleanUp();
        try {
            if (printer->Printing()) printer->Abort();
            printer->SetCopies(savedCopies);
        } catch (const std::exception&) {
        }
        throw;
    }
    cleanUp();
    if (cancelled && printer->Printing()) {
        // A job stopped before its first page drew nothing: ending it would still put out a
        // blank sheet, so it is aborted whatever AbortOnCancel says.
        if (AbortOnCancel_ || !SheetDrawn_)
            printer->Abort();
        else
            printer->EndDoc();  // the sheets sent so far are printed
    }
    // Restored after a cancelled job as well, once the job is closed.
    if (!printer->Printing()) printer->SetCopies(savedCopies);
    return !cancelled;
}

// A sheet is started only for a page that is really sent: a Stop between two pages then leaves
// no blank sheet behind, and the last sheet is never followed by a new one.
void TCustomListPrint::SendPage(int Page, int First, int Last, bool FirstSheet) {
    if (ShowProgress_ && ShowCancel_) PumpMessages();
    if (CancelRequest_) throw ECancelPrinting();
    ShowProgressState(ProgressMessage_, QString::fromLatin1(lpk::SPagePrefix), Page, First, Last);
    if (!FirstSheet) Printer()->NewPage();
    Printer()->DrawPicture(*PageList_[static_cast<size_t>(Page - 1)], QPoint(0, 0));
    SheetDrawn_ = true;
}

TListPrnPrgDlg* TCustomListPrint::ProgressDialog() const { return Dialog_.data(); }

// Last below First means the total is not known yet (pages still being generated): the page line
// then shows the current page alone and the bar runs without a total.
void TCustomListPrint::ShowProgressState(const QString& Status, const QString& Prefix, int Current, int First, int Last) {
    if (!ShowProgress_ || Status == QLatin1String(lpk::SFinish)) {
        if (Dialog_) {
            Dialog_->hide();
            delete Dialog_.data();
        }
        return;
    }
    if (!Dialog_) {
        Dialog_ = new TListPrnPrgDlg(window());
        Dialog_->OnStop = [this](TListPrnPrgDlg*) { CancelPrinting(); };
        if (!ShowCancel_) Dialog_->HideStopButton();
    }
    Dialog_->show();
    Dialog_->setWindowTitle(PrintTitle());
    Dialog_->lblStatus->setText(Status.isEmpty() ? QString::fromLatin1(lpk::SSendingToPrinter) : Status);
    QString line = Prefix + QString::number(Current);
    if (Last >= First) {
        const int pages = Last - First + 1;
        Dialog_->ProgBar->setRange(0, Copies_ * pages);
        // One step on; past the end the bar starts again, as a stepping bar does.
        const int next = Dialog_->ProgBar->value() + 1;
        Dialog_->ProgBar->setValue(next > Dialog_->ProgBar->maximum() ? 0 : next);
        if (First == 1) {
            line += QString::fromLatin1(lpk::SOf) + QString::number(pages);
            if (Copies_ > 1) line += QStringLiteral(" x ") + QString::number(Copies_) + QString::fromLatin1(lpk::SCopies);
        }
    } else {
        Dialog_->ProgBar->setRange(0, 0);
    }
    Dialog_->lblPageNumber->setText(line);
    if (Dialog_->isVisible()) Dialog_->repaint();
}
