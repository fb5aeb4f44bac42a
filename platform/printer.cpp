#include "printer.h"

#include <QFile>
#include <QMarginsF>
#include <QPageLayout>
#include <QPageSize>
#include <QPainter>
#include <QPrinter>
#include <QPrinterInfo>

struct TQtPrinter::TDevice {
    QPrinter Printer{QPrinter::HighResolution};
    QPainter Painter;
    bool HasPrinter = false;
};

TQtPrinter::TQtPrinter(TQtPrinterTarget Target, const QString& FileName, int Dpi)
    : Target_(Target), FileName_(FileName), Dpi_(Dpi) {}

TQtPrinter::~TQtPrinter() {
    if (Device_ && Device_->Painter.isActive()) Device_->Painter.end();
}

TQtPrinter::TDevice& TQtPrinter::Device() {
    if (Device_) return *Device_;
    Device_ = std::make_unique<TDevice>();
    QPrinter& p = Device_->Printer;
    switch (Target_) {
    case ptSystemDefault:
        // Without a configured printer Qt falls back to PDF output with no file; that is no
        // printer at all for the kernel.
        Device_->HasPrinter = !QPrinterInfo::defaultPrinter().isNull() || !QPrinterInfo::availablePrinters().isEmpty();
        break;
    case ptPdfFile:
        p.setOutputFormat(QPrinter::PdfFormat);
        p.setOutputFileName(FileName_);
        p.setResolution(Dpi_);
        p.setPageSize(QPageSize(QPageSize::A4));
        p.setFullPage(false);
        p.setPageMargins(QMarginsF(0, 0, 0, 0), QPageLayout::Millimeter);
        Device_->HasPrinter = true;
        break;
    }
    return *Device_;
}

bool TQtPrinter::Available() { return Device().HasPrinter; }
int TQtPrinter::DpiX() { return Device().Printer.logicalDpiX(); }
int TQtPrinter::DpiY() { return Device().Printer.logicalDpiY(); }

QSize TQtPrinter::PhysicalSize() {
    return Device().Printer.paperRect(QPrinter::DevicePixel).toRect().size();
}

QPoint TQtPrinter::PhysicalOffset() {
    QPrinter& p = Device().Printer;
    return (p.pageRect(QPrinter::DevicePixel).topLeft() - p.paperRect(QPrinter::DevicePixel).topLeft()).toPoint();
}

void TQtPrinter::BeginDoc() {
    TDevice& d = Device();
    if (!d.HasPrinter) throw EPrinter("No printer is available");
    if (d.Painter.isActive()) throw EPrinter("A print job is already running");
    if (!d.Painter.begin(&d.Printer)) throw EPrinter("The print job could not be started");
}

void TQtPrinter::NewPage() {
    TDevice& d = Device();
    if (!d.Painter.isActive() || !d.Printer.newPage()) throw EPrinter("The printer could not start a new sheet");
}

void TQtPrinter::EndDoc() {
    TDevice& d = Device();
    if (!d.Painter.isActive()) return;
    if (!d.Painter.end()) throw EPrinter("The print job could not be completed");
}

void TQtPrinter::Abort() {
    TDevice& d = Device();
    if (!d.Painter.isActive()) return;
    d.Printer.abort();
    d.Painter.end();
    // The PDF engine has no abort of its own: what was sent is discarded by removing the file.
    if (Target_ == ptPdfFile) QFile::remove(FileName_);
}

bool TQtPrinter::Printing() { return Device_ && Device_->Painter.isActive(); }

void TQtPrinter::DrawPicture(const TPagePicture& Picture, QPoint At) {
    TDevice& d = Device();
    if (!d.Painter.isActive()) throw EPrinter("No print job is running");
    d.Painter.save();
    d.Painter.translate(At);
    Picture.Play(d.Painter);
    d.Painter.restore();
}

int TQtPrinter::Copies() { return Device().Printer.copyCount(); }
void TQtPrinter::SetCopies(int Value) { Device().Printer.setCopyCount(Value); }
QString TQtPrinter::Title() { return Device().Printer.docName(); }
void TQtPrinter::SetTitle(const QString& Value) { Device().Printer.setDocName(Value); }

TPrinterOrientation TQtPrinter::Orientation() {
    return Device().Printer.pageLayout().orientation() == QPageLayout::Landscape ? poLandscape : poPortrait;
}

void TQtPrinter::SetOrientation(TPrinterOrientation Value) {
    TDevice& d = Device();
    if (d.Painter.isActive()) throw EPrinter("The orientation cannot change during a print job");
    d.Printer.setPageOrientation(Value == poLandscape ? QPageLayout::Landscape : QPageLayout::Portrait);
}

QString ResolveFontFamily(const QString& Family) {
    if (Family.compare(QLatin1String("Arial"), Qt::CaseInsensitive) == 0) return QStringLiteral("Liberation Sans");
    if (Family.compare(QLatin1String("MS Sans Serif"), Qt::CaseInsensitive) == 0) return QStringLiteral("DejaVu Sans");
    return Family;
}
