// Construction, the printer connection, the settings with their setter rules and the conversion
// between measure units and printer pixels.
#include "list_print.h"
#include "progress_dialog.h"

#include <QPalette>
#include <QScrollBar>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace {

// Printer pixels are ints; a length that does not fit is held at the edge of the range.
int ToPixels(double Value) {
    const double r = RoundHalfEven(Value);
    if (!(r >= std::numeric_limits<int>::min())) return std::numeric_limits<int>::min();
    if (r > std::numeric_limits<int>::max()) return std::numeric_limits<int>::max();
    return static_cast<int>(r);
}

}  // namespace

TCustomListPrint::TCustomListPrint(QWidget* Owner) : QAbstractScrollArea(Owner) {
    Font_ = QFont(QStringLiteral("Arial"));
    Font_.setPointSize(9);
    HeaderFont_ = Font_;
    FooterFont_ = Font_;
    ShadowColor_ = palette().color(QPalette::Dark);
    Scratch_ = std::make_unique<TPagePicture>();
    Current_ = Scratch_.get();
    horizontalScrollBar()->setSingleStep(16);
    verticalScrollBar()->setSingleStep(16);
    resize(89, 115);
    Constructing_ = false;
}

TCustomListPrint::~TCustomListPrint() {
    delete Dialog_.data();
    if (ExportFile_.isOpen()) ExportFile_.close();
}

TPrinter* TCustomListPrint::Printer() {
    if (!Printer_) {
        // The system's default printer; opening it is deferred to its first query.
        OwnPrinter_ = std::make_unique<TQtPrinter>(ptSystemDefault);
        Printer_ = OwnPrinter_.get();
    }
    return Printer_;
}

void TCustomListPrint::SetPrinter(TPrinter* Value) {
    Printer_ = Value;
    if (!Value) OwnPrinter_.reset();
    ForgetDevice();
    FontValid_ = false;
    PictureFontStale_ = true;
}

void TCustomListPrint::BeginLoading() { Loading_ = true; }

void TCustomListPrint::Loaded() {
    Loading_ = false;
    // Refresh, clearing and the scroll range all need the printer; they run when the preview is
    // first shown or a run starts, so that a hidden print control never opens the printer.
    RefreshPending_ = true;
    PageList_.clear();
    Scratch_ = std::make_unique<TPagePicture>();
    Current_ = Scratch_.get();
    PageNumber_ = 0;
    Invalidate();
}

const TCustomListPrint::TDeviceMetrics& TCustomListPrint::Device() const {
    if (Device_) return *Device_;
    TDeviceMetrics m;
    TPrinter* p = const_cast<TCustomListPrint*>(this)->Printer();
    try {
        m.Available = p->Available();
        if (m.Available) {
            m.DpiX = p->DpiX();
            m.DpiY = p->DpiY();
            m.Physical = p->PhysicalSize();
            m.Offset = p->PhysicalOffset();
        }
    } catch (const std::exception&) {
        // A failing printer counts as no printer: the kernel never stops on it.
        m.Available = false;
    }
    if (m.DpiX <= 0) m.DpiX = 300;
    if (m.DpiY <= 0) m.DpiY = 300;
    if (!m.Available || m.Physical.isEmpty()) {
        // No printer: an A4 sheet when working in millimetres, Letter in inches, at 300 dpi,
        // all of it printable.
        m.Available = false;
        m.DpiX = m.DpiY = 300;
        m.Physical = MeasureUnit_ == muMillimeters ? QSize(2480, 3508) : QSize(2550, 3300);
        m.Offset = QPoint(0, 0);
    }
    Device_ = m;
    return *Device_;
}

int TCustomListPrint::UnitsToDeviceX(double Value) const {
    const double inches = MeasureUnit_ == muMillimeters ? Value / 25.4 : Value;
    return ToPixels(inches * Device().DpiX);
}

int TCustomListPrint::UnitsToDeviceY(double Value) const {
    const double inches = MeasureUnit_ == muMillimeters ? Value / 25.4 : Value;
    return ToPixels(inches * Device().DpiY);
}

double TCustomListPrint::DeviceToUnitsX(double Pixels) const {
    const double inches = Pixels / Device().DpiX;
    return MeasureUnit_ == muMillimeters ? inches * 25.4 : inches;
}

double TCustomListPrint::DeviceToUnitsY(double Pixels) const {
    const double inches = Pixels / Device().DpiY;
    return MeasureUnit_ == muMillimeters ? inches * 25.4 : inches;
}

double TCustomListPrint::PaperWidth() const { return DeviceToUnitsX(Device().Physical.width()); }
double TCustomListPrint::PaperHeight() const { return DeviceToUnitsY(Device().Physical.height()); }
double TCustomListPrint::OffsetX() const { return DeviceToUnitsX(Device().Offset.x()); }
double TCustomListPrint::OffsetY() const { return DeviceToUnitsY(Device().Offset.y()); }

double TCustomListPrint::ClampMargin(double Value, double Offset, double Paper) const {
    if (!(Value >= Offset)) return Offset;  // NaN as well: it is no margin at all
    if (Value > Paper - Offset) return Paper - Offset;
    return Value;
}

void TCustomListPrint::SetMarginTop(double Value) {
    if (IsPrinting()) throw EPagePrinter(lpk::SMarginTopPrinting);
    MarginTop_ = Loading_ ? Value : ClampMargin(Value, OffsetY(), PaperHeight());
    Invalidate();
}

void TCustomListPrint::SetMarginBottom(double Value) {
    if (IsPrinting()) throw EPagePrinter(lpk::SMarginBottomPrinting);
    MarginBottom_ = Loading_ ? Value : ClampMargin(Value, OffsetY(), PaperHeight());
    Invalidate();
}

void TCustomListPrint::SetMarginLeft(double Value) {
    if (IsPrinting()) throw EPagePrinter(lpk::SMarginLeftPrinting);
    MarginLeft_ = Loading_ ? Value : ClampMargin(Value, OffsetX(), PaperWidth());
    Invalidate();
}

void TCustomListPrint::SetMarginRight(double Value) {
    if (IsPrinting()) throw EPagePrinter(lpk::SMarginRightPrinting);
    MarginRight_ = Loading_ ? Value : ClampMargin(Value, OffsetX(), PaperWidth());
    Invalidate();
}

void TCustomListPrint::SetMeasureUnit(TMeasureUnit Value) {
    if (Value == MeasureUnit_) return;
    // Refused up front while printing: the margin setters would refuse half-way and leave the
    // lengths in the old unit under the new one.
    if (IsPrinting() && !Constructing_) throw EPagePrinter(lpk::SMarginTopPrinting);
    MeasureUnit_ = Value;
    if (Constructing_) return;
    ForgetDevice();  // the paper assumed without a printer follows the unit
    const bool toMm = Value == muMillimeters;
    auto convert = [toMm](double v) { return toMm ? v * 25.4 : v / 25.4; };
    SetMarginTop(convert(MarginTop_));
    SetMarginBottom(convert(MarginBottom_));
    SetMarginLeft(convert(MarginLeft_));
    SetMarginRight(convert(MarginRight_));
    PageBorderOffset_ = convert(PageBorderOffset_);
    DefaultColumnWidth_ = convert(DefaultColumnWidth_);
    Refresh();
    if (FooterFormat_.isEmpty()) FooterColumns_ = NormalizeColumns(FooterColumns_, ccConvertUnit);
    if (HeaderFormat_.isEmpty()) HeaderColumns_ = NormalizeColumns(HeaderColumns_, ccConvertUnit);
    TableColumns_ = NormalizeColumns(TableColumns_, ccConvertUnit);
}

TPrinterOrientation TCustomListPrint::Orientation() {
    try {
        TPrinter* p = Printer();
        if (p->Available()) return p->Orientation();
    } catch (const std::exception&) {
    }
    return poPortrait;
}

void TCustomListPrint::SetOrientation(TPrinterOrientation Value) {
    if (IsPrinting()) throw EPagePrinter(lpk::SOrientationPrinting);
    try {
        TPrinter* p = Printer();
        if (p->Available()) p->SetOrientation(Value);
    } catch (const std::exception&) {
        // The printer keeps its orientation; the kernel goes on with it.
    }
    ForgetDevice();
    UpdateScrollRange();
    Invalidate();
}

QString TCustomListPrint::PrintTitle() {
    try {
        if (Printer()->Available()) return PrintTitle_;
    } catch (const std::exception&) {
    }
    return QString::fromLatin1(lpk::SUnknown);
}

void TCustomListPrint::SetPrintTitle(const QString& Value) {
    PrintTitle_ = Value;
    // Given to the printer when a job starts; an open printer takes it at once.
    if (Printer_) {
        try {
            if (Device_ && Device_->Available) Printer_->SetTitle(Value);
        } catch (const std::exception&) {
        }
    }
}

void TCustomListPrint::SetFont(const QFont& Value) {
    Font_ = Value;
    FontChanged();
}

void TCustomListPrint::FontChanged() {
    FontValid_ = false;
    PictureFontStale_ = true;
}

void TCustomListPrint::SetLineSpacing(int Value) {
    LineSpacing_ = Value < 0 ? 0 : Value > 3 ? 3 : Value;
    FontValid_ = false;
}

void TCustomListPrint::SetShowMargins(bool Value) {
    if (Value == ShowMargins_) return;
    ShowMargins_ = Value;
    Invalidate();
}

void TCustomListPrint::SetGradientBackground(bool Value) {
    if (Value == GradientBackground_) return;
    GradientBackground_ = Value;
    Invalidate();
}

void TCustomListPrint::SetShadowColor(QColor Value) {
    if (Value == ShadowColor_) return;
    ShadowColor_ = Value;
    Invalidate();
}

void TCustomListPrint::SetShadowOffset(unsigned Value) {
    if (Value == ShadowOffset_) return;
    ShadowOffset_ = Value;
    UpdateScrollRange();
    Invalidate();
}

// The sheet is drawn at 1 to 1000 per cent: a zoom of 0 or below would fold it to nothing or
// mirror it, and a larger one would overflow the sheet's size and have every paint fill a
// background of millions of rows.
void TCustomListPrint::SetZoomPercent(int Value) {
    ZoomPercent_ = std::clamp(Value, MinZoomPercent, MaxZoomPercent);
    UpdateScrollRange();
    Invalidate();
}

// A bound of 0 means "no bound": it neither drags the other bound along nor is dragged to it.
void TCustomListPrint::SetFromPage(int Value) {
    FromPage_ = Value;
    if (ToPage_ != 0 && FromPage_ > ToPage_) ToPage_ = FromPage_;
}

void TCustomListPrint::SetToPage(int Value) {
    ToPage_ = Value;
    if (ToPage_ != 0 && ToPage_ < FromPage_) FromPage_ = ToPage_;
}

void TCustomListPrint::SetPrintToFile(bool Value) {
    if (Value == PrintToFile_) return;
    if (IsPrinting()) throw EPagePrinter(lpk::SPrintToFilePrinting);
    PrintToFile_ = Value;
}

void TCustomListPrint::SetFileName(const QString& Value) {
    const QString trimmed = Value.trimmed();
    if (trimmed == FileName_) return;
    if (IsPrinting()) throw EPagePrinter(lpk::SFileNamePrinting);
    FileName_ = trimmed;
}

void TCustomListPrint::SetHeaderFormat(const QString& Value) {
    HeaderFormat_ = Value;
    if (!Loading_) ParseHeaderFooterFormat(Value, hfHeader);
}

void TCustomListPrint::SetFooterFormat(const QString& Value) {
    FooterFormat_ = Value;
    if (!Loading_) ParseHeaderFooterFormat(Value, hfFooter);
}
