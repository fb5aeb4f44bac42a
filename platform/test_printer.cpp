#include "test_printer.h"

QSize TTestPrinter::PhysicalSize() {
    return Orientation_ == poLandscape ? QSize(SheetHeight, SheetWidth) : QSize(SheetWidth, SheetHeight);
}

void TTestPrinter::BeginDoc() {
    if (FailBeginDoc_) throw EPrinter("The print job could not be started");
    if (Printing_) throw EPrinter("A print job is already running");
    Printing_ = true;
    Journal_.push_back({rkBeginDoc, nullptr, Copies_, {}});
}

void TTestPrinter::NewPage() {
    if (!Printing_) throw EPrinter("The printer could not start a new sheet");
    Journal_.push_back({rkNewPage, nullptr, Copies_, {}});
}

void TTestPrinter::EndDoc() {
    if (!Printing_) return;
    Printing_ = false;
    Journal_.push_back({rkEndDoc, nullptr, Copies_, {}});
}

void TTestPrinter::Abort() {
    if (!Printing_) return;
    Printing_ = false;
    Journal_.push_back({rkAbort, nullptr, Copies_, {}});
}

void TTestPrinter::DrawPicture(const TPagePicture& Picture, QPoint At) {
    if (!Printing_) throw EPrinter("No print job is running");
    std::vector<TPictureText> texts = Picture.Texts();
    for (TPictureText& t : texts) t.TopLeft += At + PhysicalOffset();
    Journal_.push_back({rkPicture, &Picture, Copies_, std::move(texts)});
    ++Pictures_;
    if (OnPicture) OnPicture(Pictures_);
}
