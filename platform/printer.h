#pragma once
// The printer as the list-print kernel sees it: resolution, physical page and offsets in device
// pixels, job start / new sheet / end / abort, copy count, job title and orientation.
// TQtPrinter drives Qt PrintSupport (the system's default printer, or a PDF file) and opens the
// device only when it is first asked something, so constructing one costs nothing at start-up.
#include "exception.h"
#include "page_picture.h"

#include <QPoint>
#include <QSize>
#include <QString>

#include <cstdint>
#include <memory>

// Paper orientation, held by the printer.
enum TPrinterOrientation : uint8_t { poPortrait, poLandscape };

// A failure of the printer device (no printer, a job that cannot start or end).
class EPrinter : public Exception {
public:
    using Exception::Exception;
};

class TPrinter {
public:
    virtual ~TPrinter() = default;

    // False when no printer stands behind the object; the kernel then uses its fallbacks and
    // every other query may answer nonsense.
    virtual bool Available() = 0;

    virtual int DpiX() = 0;
    virtual int DpiY() = 0;
    virtual QSize PhysicalSize() = 0;     // the whole sheet, device pixels
    virtual QPoint PhysicalOffset() = 0;  // the unprintable strip at the left and at the top

    virtual void BeginDoc() = 0;  // throws EPrinter when the job cannot start
    virtual void NewPage() = 0;
    virtual void EndDoc() = 0;
    virtual void Abort() = 0;     // discards the job
    virtual bool Printing() = 0;  // a job is running
    // Plays a picture on the current sheet, its (0, 0) at At (printable-area coordinates).
    virtual void DrawPicture(const TPagePicture& Picture, QPoint At) = 0;

    virtual int Copies() = 0;
    virtual void SetCopies(int Value) = 0;
    virtual QString Title() = 0;
    virtual void SetTitle(const QString& Value) = 0;
    virtual TPrinterOrientation Orientation() = 0;
    virtual void SetOrientation(TPrinterOrientation Value) = 0;
};

enum TQtPrinterTarget : uint8_t { ptSystemDefault, ptPdfFile };

class TQtPrinter : public TPrinter {
public:
    // For ptPdfFile, FileName is the output and Dpi its resolution; the whole A4 sheet is
    // printable (no offsets). For ptSystemDefault both are ignored.
    explicit TQtPrinter(TQtPrinterTarget Target = ptSystemDefault, const QString& FileName = {}, int Dpi = 600);
    ~TQtPrinter() override;

    bool Available() override;
    int DpiX() override;
    int DpiY() override;
    QSize PhysicalSize() override;
    QPoint PhysicalOffset() override;
    void BeginDoc() override;
    void NewPage() override;
    void EndDoc() override;
    void Abort() override;
    bool Printing() override;
    void DrawPicture(const TPagePicture& Picture, QPoint At) override;
    int Copies() override;
    void SetCopies(int Value) override;
    QString Title() override;
    void SetTitle(const QString& Value) override;
    TPrinterOrientation Orientation() override;
    void SetOrientation(TPrinterOrientation Value) override;

    QString FileName() const { return FileName_; }

private:
    struct TDevice;
    TDevice& Device();

    TQtPrinterTarget Target_ = ptSystemDefault;
    QString FileName_;
    int Dpi_ = 600;
    std::unique_ptr<TDevice> Device_;
};

// "Arial" is printed with its metric-compatible Liberation Sans and "MS Sans Serif" with the
// system sans; other families are passed through.
QString ResolveFontFamily(const QString& Family);
