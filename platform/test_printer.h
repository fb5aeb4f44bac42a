#pragma once
// A printer with fixed metrics for tests: 600 dpi, an A4 sheet of 4960 x 7016 pixels with an
// unprintable strip of 120 pixels (0.2 inch) at every edge. It keeps a journal of what it was
// sent; the pictures are referenced, so the sender must keep them alive while it is read.
#include "printer.h"

#include <functional>
#include <vector>

class TTestPrinter : public TPrinter {
public:
    enum TRecordKind : uint8_t { rkBeginDoc, rkPicture, rkNewPage, rkEndDoc, rkAbort };
    struct TRecord {
        TRecordKind Kind = rkBeginDoc;
        const TPagePicture* Picture = nullptr;
        int CopiesAtTheTime = 0;
        // For a picture: its texts where they land on the sheet, in sheet pixels from the paper's
        // top-left corner (the printable area begins at the physical offset).
        std::vector<TPictureText> Texts;
    };

    static constexpr int Dpi = 600;
    static constexpr int SheetWidth = 4960;
    static constexpr int SheetHeight = 7016;
    static constexpr int Offset = 120;

    bool Available() override { return Available_; }
    int DpiX() override { return Dpi; }
    int DpiY() override { return Dpi; }
    QSize PhysicalSize() override;
    QPoint PhysicalOffset() override { return {Offset, Offset}; }
    void BeginDoc() override;
    void NewPage() override;
    void EndDoc() override;
    void Abort() override;
    bool Printing() override { return Printing_; }
    void DrawPicture(const TPagePicture& Picture, QPoint At) override;
    int Copies() override { return Copies_; }
    void SetCopies(int Value) override { Copies_ = Value; }
    QString Title() override { return Title_; }
    void SetTitle(const QString& Value) override { Title_ = Value; }
    TPrinterOrientation Orientation() override { return Orientation_; }
    void SetOrientation(TPrinterOrientation Value) override { Orientation_ = Value; }

    // Pretends that no printer is installed.
    void SetAvailable(bool Value) { Available_ = Value; }
    // Makes the next BeginDoc fail as a real device can.
    void SetFailBeginDoc(bool Value) { FailBeginDoc_ = Value; }

    const std::vector<TRecord>& Journal() const { return Journal_; }
    // Called after each picture is recorded (a test can press Stop here).
    std::function<void(int PictureCount)> OnPicture;

private:
    std::vector<TRecord> Journal_;
    bool Available_ = true;
    bool FailBeginDoc_ = false;
    bool Printing_ = false;
    int Copies_ = 1;
    int Pictures_ = 0;
    QString Title_;
    TPrinterOrientation Orientation_ = poPortrait;
};
