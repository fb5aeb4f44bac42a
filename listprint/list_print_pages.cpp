// Pagination: the run (BeginDoc .. EndDoc), the current position, line height, the page-break
// and wrap rules, the steps of every page start, and the text export mode.
#include "codepage.h"
#include "list_print.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QTimer>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <new>


// --- Fonts and metrics --------------------------------------------------------------------------

void TCustomListPrint::ApplyPrinterFont() const {
    const TDeviceMetrics& d = Device();
    // The font is recreated at the printer's vertical resolution: its pixel size is the point
    // size scaled to printer pixels, which is also the basic line height.
    double points = Font_.pointSizeF();
    if (points <= 0) points = Font_.pixelSize() * 72.0 / 96.0;
    points = std::min(points, double(MaxFontPoints));
    int h = std::abs(static_cast<int>(RoundHalfEven(points * d.DpiY / 72.0)));
    if (h < 1) h = 1;
    QFont f = Font_;
    f.setFamily(ResolveFontFamily(Font_.family()));
    f.setPixelSize(h);
    // Print output is not hinted; measuring without hinting keeps widths true to the page.
    f.setHintingPreference(QFont::PreferNoHinting);
    PrinterFont_ = f;
    Metrics_ = QFontMetrics(f);
    WidthBound_.SetFont(f);
    ExternalLeading_ = Metrics_.leading();
    switch (LineSpacing_) {
    case 0: LineHeight_ = h / 2; break;
    case 2: LineHeight_ = h + h / 2; break;
    case 3: LineHeight_ = 2 * h; break;
    default: LineHeight_ = h; break;  // 1, and anything the setter let through
    }
    FontValid_ = true;
}

QFont TCustomListPrint::PrinterFont() const {
    if (!FontValid_) ApplyPrinterFont();
    return PrinterFont_;
}

int TCustomListPrint::LineHeight() const {
    if (!FontValid_) ApplyPrinterFont();
    return LineHeight_;
}

int TCustomListPrint::TextWidth(const QString& Text) const {
    if (!FontValid_) ApplyPrinterFont();
    return Metrics_.horizontalAdvance(Text);
}

// --- Body rectangle -------------------------------------------------------------------------

int TCustomListPrint::BodyLeft() const { return UnitsToDeviceX(MarginLeft_ - OffsetX()); }
int TCustomListPrint::BodyTop() const { return UnitsToDeviceY(MarginTop_ - OffsetY()); }

int TCustomListPrint::BodyWidth() const {
    const long long w = static_cast<long long>(UnitsToDeviceX(PaperWidth() - 2 * OffsetX())) - BodyLeft() -
                        UnitsToDeviceX(MarginRight_ - OffsetX());
    return w < std::numeric_limits<int>::min() || w > std::numeric_limits<int>::max() ? 0 : static_cast<int>(w);
}

int TCustomListPrint::BodyHeight() const {
    const long long h = static_cast<long long>(UnitsToDeviceY(PaperHeight() - 2 * OffsetY())) - BodyTop() -
                        UnitsToDeviceY(MarginBottom_ - OffsetY());
    return h < std::numeric_limits<int>::min() || h > std::numeric_limits<int>::max() ? 0 : static_cast<int>(h);
}

// --- The run --------------------------------------------------------------------------------

void TCustomListPrint::Refresh() {
    RefreshPending_ = false;
    ForgetDevice();
    if (!IsPrinting()) {
        // Margins follow a changed paper size or offset.
        SetMarginTop(MarginTop_);
        SetMarginBottom(MarginBottom_);
        SetMarginLeft(MarginLeft_);
        SetMarginRight(MarginRight_);
    }
    ApplyPrinterFont();
    WidthBound_.Prepare();  // for the body font, before the run's first line rather than at it
    PictureFontStale_ = true;
    if (!HeaderFormat_.isEmpty()) ParseHeaderFooterFormat(HeaderFormat_, hfHeader);
    if (!FooterFormat_.isEmpty()) ParseHeaderFooterFormat(FooterFormat_, hfFooter);
}

void TCustomListPrint::StartNewPicture() {
    const QSize size(UnitsToDeviceX(PaperWidth() - OffsetX()), UnitsToDeviceY(PaperHeight() - OffsetY()));
    try {
        PageList_.push_back(std::make_unique<TPagePicture>(size));
    } catch (const std::bad_alloc&) {
        throw EPagePrinter(lpk::STooManyPages);
    }
    Current_ = PageList_.back().get();
    PictureFontStale_ = true;
}

void TCustomListPrint::BeginDoc() {
    // The print job plays the pages of the list; they cannot be replaced under it.
    if (Sending_) throw EPagePrinter(lpk::SClearPrinting);
    CancelRequest_ = false;
    Refresh();
    Generating_ = true;
    HeaderMode_ = false;
    FedPage_ = {};
    try {
        if (PrintToFile_) {
            ExportFile_.setFileName(FileName_);
            if (!ExportFile_.open(QIODevice::WriteOnly | QIODevice::Truncate))
                throw EInOutError("Cannot open \"" + FileName_.toStdString() + "\" for writing: " +
                                  ExportFile_.errorString().toStdString());
            ExportOpen_ = true;
        } else {
            PageList_.clear();
            StartNewPicture();
        }
        PageNumber_ = 1;
        PageStart();
    } catch (...) {
        // A run that could not start (a Stop or a handler's error at the first page start) is
        // ended here: the caller's clean-up only begins once BeginDoc has returned, and a run
        // left open would refuse every later change and load.
        Generating_ = false;
        if (ExportOpen_) {
            ExportFile_.close();
            ExportOpen_ = false;
        } else {
            FinishPages();
        }
        ShowProgressState(QString::fromLatin1(lpk::SFinish), QString(), 0, 0, 0);
        FinishDeferredClose();
        throw;
    }
}

void TCustomListPrint::EndDoc() {
    Generating_ = false;
    if (ExportOpen_) {
        // The file is closed and the run ended before a write error is reported, so the next
        // run can open it again.
        bool written = ExportFile_.flush();
        const QString error = ExportFile_.errorString();
        ExportFile_.close();
        written = written && ExportFile_.error() == QFileDevice::NoError;
        ExportOpen_ = false;
        FinishDeferredClose();
        if (!written)
            throw EInOutError("Cannot write \"" + FileName_.toStdString() + "\": " + error.toStdString());
        ShowMessage(QString::fromLatin1(lpk::SContentExported).replace(QLatin1String("%s"), FileName_));
        return;
    }
    FinishPages();
    FinishDeferredClose();
}

// Completes the last picture and shows page 1 of the run in the preview.
void TCustomListPrint::FinishPages() {
    if (PageList_.size() > 1 && PageList_.back().get() == FedPage_.first &&
        FedPage_.first->Commands().size() == FedPage_.second)
        PageList_.pop_back();
    FedPage_ = {};
    Scratch_ = std::make_unique<TPagePicture>();
    Current_ = Scratch_.get();
    PictureFontStale_ = true;
    PageNumber_ = PageList_.empty() ? 0 : 1;
    UpdateScrollRange();
    Invalidate();
}

int TCustomListPrint::NewPage() {
    if (ExportOpen_) {
        ExportText(QStringLiteral("\f"));
        ExportLineEnd();
    } else {
        StartNewPicture();
    }
    ++PageNumber_;
    PageStart();
    return PageNumber_;
}

// When the next line would not fit, the line feed starts the next page. A page so started that
// is still blank when the run ends (text that exactly filled the page before it) is dropped
// then, so no sheet holds only the header and footer.
int TCustomListPrint::NewLine() {
    X_ = 0;
    Y_ += LineHeight();
    if (ExportOpen_ || HeaderMode_ || Y_ + LineHeight() < BodyHeight()) {
        if (ExportOpen_) ExportLineEnd();
        ++LineNumber_;
    } else {
        NewPage();
        FedPage_ = {Current_, Current_->Commands().size()};
    }
    if (OnNewLine) OnNewLine(this);
    return LineNumber_;
}

// A line that does not fit below the current one goes to a new page, except in export mode. The
// first line of a page is always drawn, even when the body is lower than one line: otherwise a
// too-small body would put an empty page before every line.
bool TCustomListPrint::NeedsPageBreak() const {
    return !ExportOpen_ && !HeaderMode_ && Y_ > 0 && Y_ + LineHeight() >= BodyHeight();
}

void TCustomListPrint::Write(const QString& Text) {
    const QString text = Text.contains(QLatin1Char('\t')) ? ExpandTabs(Text, TabSize_) : Text;
    const int w = TextWidth(text);
    const int room = BodyWidth() - X_;
    if (w > room && !OneCharacter(text)) {
        if (WordWrap_)
            Wrap(text, wmContinuation);
        else
            WriteFitted(text, room);
        return;
    }
    if (NeedsPageBreak()) NewPage();
    if (ExportOpen_) {
        ExportText(text);
        ExportFile_.flush();
    } else {
        DrawTextAt(BodyLeft() + X_, BodyTop() + Y_, text);
    }
    X_ += w;
}

// Without word wrap the text is cut to what fits the rest of the line. When not even its first
// character fits behind text already written, nothing is written: drawing it would only run
// over the right margin.
void TCustomListPrint::WriteFitted(const QString& Text, int Width) {
    const QString piece = FitText(Text, Width);
    if (X_ > 0 && TextWidth(piece) > Width) return;
    Write(piece);
}

void TCustomListPrint::WriteLn(const QString& Text) {
    const QString text = Text.contains(QLatin1Char('\t')) ? ExpandTabs(Text, TabSize_) : Text;
    const int body = BodyWidth();
    // A left-aligned line needs its width only to know whether it fits; most lines clearly do,
    // and then the shaping of a measurement is saved (the drawing shapes the text anyway).
    if (!FontValid_) ApplyPrinterFont();
    const int bound = Alignment_ == taLeftJustify ? WidthBound_.UpperBound(text) : -1;
    const int w = bound >= 0 && bound <= body ? bound : TextWidth(text);
    if (w > body && !OneCharacter(text)) {
        X_ = 0;
        if (WordWrap_)
            Wrap(text, wmLine);
        else
            WriteLn(FitText(text, body));
        return;
    }
    // The page break comes before the alignment: a new page starts at X 0.
    if (NeedsPageBreak()) NewPage();
    switch (Alignment_) {
    case taRightJustify: X_ = body - w; break;
    case taCenter: X_ = (body - w) / 2; break;
    case taLeftJustify: X_ = 0; break;
    }
    if (ExportOpen_) {
        // Indented with blanks; the line end is NewLine's.
        const int blank = TextWidth(QStringLiteral(" "));
        ExportText(Spaces(blank > 0 ? X_ / blank : 0) + text);
    } else {
        DrawTextAt(BodyLeft() + X_, BodyTop() + Y_, text);
    }
    NewLine();
}

void TCustomListPrint::Wrap(const QString& Text, TWrapMode Mode) {
    QString remaining = Text;
    try {
        while (!remaining.isEmpty()) {
            const int room = BodyWidth() - X_;
            // A continuation that finds no room for even one character starts on the next line.
            if (Mode == wmContinuation && X_ > 0 && TextWidth(remaining.left(CharacterBoundaryAtOrBefore(remaining, 1))) > room) {
                NewLine();
                continue;
            }
            const QString piece = SplitToFit(remaining, room, Mode == wmLine ? bbDrop : bbKeep);
            if (Mode == wmContinuation) {
                Write(piece);
                if (!remaining.isEmpty()) NewLine();
            } else {
                WriteLn(piece);
            }
        }
    } catch (const std::bad_alloc&) {
        throw EPagePrinter(lpk::STooLongLines);
    }
}

void TCustomListPrint::PrintLines(bool TableMode) {
    const QStringList lines = Lines_;  // a handler may change Lines while they are printed
    const bool asTable = TableMode && !TableColumns_.isEmpty();
    for (const QString& line : lines) {
        if (asTable)
            WriteTableLine(line);
        else
            WriteLn(line);
    }
}

void TCustomListPrint::Clear() {
    if (IsPrinting() || Sending_) throw EPagePrinter(lpk::SClearPrinting);
    PageList_.clear();
    Scratch_ = std::make_unique<TPagePicture>();
    Current_ = Scratch_.get();
    PictureFontStale_ = true;
    PageNumber_ = 0;
    UpdateScrollRange();
    Invalidate();
}

// --- Cutting text -----------------------------------------------------------------------------

QString TCustomListPrint::FitText(const QString& Text, int Width) const {
    // Only what can fit is measured: a prefix that doubles until it no longer fits bounds the
    // bisection, so a long text costs what its first piece costs, never its whole length.
    qsizetype fits = 0, over = 0;  // prefix lengths known to fit and known not to
    for (qsizetype guess = 64;; guess *= 2) {
        const qsizetype n = std::min(guess, Text.size());
        if (TextWidth(Text.left(n)) > Width) {
            over = n;
            break;
        }
        if (n == Text.size()) return Text;
        fits = n;
    }
    while (over - fits > 1) {
        const qsizetype mid = (fits + over) / 2;
        (TextWidth(Text.left(mid)) <= Width ? fits : over) = mid;
    }
    // A character drawn with two code units (an emoji, a letter with its accent) is never split;
    // a text whose first character does not fit still gives that character.
    return Text.left(CharacterBoundaryAtOrBefore(Text, std::max<qsizetype>(fits, 1)));
}

// The piece is the longest prefix that fits. When it stops right before a blank or control
// character, that character is consumed with bbDrop and starts the next piece with bbKeep;
// otherwise the piece is cut back after its last blank, or, holding none, broken between
// characters.
QString TCustomListPrint::SplitToFit(QString& Remaining, int Width, TBlankAtBreak Blank) const {
    QString piece = FitText(Remaining, Width);
    qsizetype n = piece.size();
    if (n < Remaining.size()) {
        if (Remaining[n].unicode() < 33) {
            if (Blank == bbDrop) ++n;
        } else {
            piece = CutAtLastBlank(piece);
            n = piece.size();
        }
    }
    Remaining.remove(0, n);
    return piece;
}

// --- Page start -------------------------------------------------------------------------------

void TCustomListPrint::PageStart() {
    // 1. Keep the progress dialog alive and see its Stop button.
    if (ShowProgress_) PumpMessages();
    ShowProgressState(QString::fromLatin1(lpk::SRegenerating), QString::fromLatin1(lpk::SPagePrefix), PageNumber_, 1, 0);
    if (ShowProgress_ && ShowCancel_) PumpMessages();
    if (CancelRequest_) throw ECancelPrinting();
    // 2.
    X_ = Y_ = LineNumber_ = 0;
    // 3.
    HandleListPrintMessage(WM_LP_PAGESTART);
    // 4.
    if (OnNewPage) OnNewPage(this);
    // 5. The header and footer are table lines of their own layout, font and wrapping, drawn
    // outside the body; what the body uses is put back afterwards.
    const int savedX = X_, savedY = Y_, savedLine = LineNumber_;
    const QString savedColumns = TableColumns_;
    const bool savedGrids = TableGrids_, savedWrap = WordWrap_, savedHeaderMode = HeaderMode_;
    const QFont savedFont = Font_;
    auto restore = [&] {
        HeaderMode_ = savedHeaderMode;
        X_ = savedX;
        Y_ = savedY;
        LineNumber_ = savedLine;
        TableColumns_ = savedColumns;
        TableGrids_ = savedGrids;
        WordWrap_ = savedWrap;
        SetFont(savedFont);
    };
    TableGrids_ = false;
    HeaderMode_ = true;
    // 6. and 7.
    try {
        if (!ExportOpen_) DrawHeaderFooter();
    } catch (...) {
        restore();
        throw;
    }
    restore();
    // 8.
    if (OnNewLine) OnNewLine(this);
    // 9.
    DrawFrame();
}

void TCustomListPrint::HandleListPrintMessage(unsigned /*Msg*/) {}

void TCustomListPrint::PumpMessages() {
    QWidget* w = window();
    if (w != this && w != WatchedWindow_) {
        if (WatchedWindow_) WatchedWindow_->removeEventFilter(this);
        WatchedWindow_ = w;
        w->installEventFilter(this);
    }
    QCoreApplication::processEvents();
}

bool TCustomListPrint::eventFilter(QObject* Watched, QEvent* Event) {
    if (Watched == WatchedWindow_ && Event->type() == QEvent::Close && (IsPrinting() || Sending_)) {
        // The window stays while the call that let the message loop run is on the stack: the
        // work is stopped, and the window is closed again once the run or the job has ended.
        CancelPrinting();
        CloseDeferred_ = true;
        Event->ignore();
        return true;
    }
    return QAbstractScrollArea::eventFilter(Watched, Event);
}

void TCustomListPrint::FinishDeferredClose() {
    if (!CloseDeferred_ || IsPrinting() || Sending_) return;
    CloseDeferred_ = false;
    const QPointer<QWidget> w = WatchedWindow_;
    if (w) QTimer::singleShot(0, w, [w] {
            if (w) w->close();
        });
}

// --- Drawing and export -------------------------------------------------------------------------

void TCustomListPrint::DrawTextAt(int Left, int Top, const QString& Text) {
    if (Text.isEmpty()) return;
    if (PictureFontStale_) {
        Current_->SetFont(PrinterFont());
        PictureFontStale_ = false;
    }
    Current_->DrawText(QPoint(Left, Top), Text);
}

void TCustomListPrint::DrawPolyline(QPoint From, QPoint To, int PenWidth) {
    Current_->Polyline({From, To}, PenWidth);
}

void TCustomListPrint::ExportText(const QString& Text) {
    const std::string bytes = ToAnsi(Text);  // the export file is Windows-1252 text
    if (ExportFile_.write(bytes.data(), static_cast<qint64>(bytes.size())) != static_cast<qint64>(bytes.size()))
        throw EInOutError("Cannot write \"" + FileName_.toStdString() + "\": " + ExportFile_.errorString().toStdString());
}

void TCustomListPrint::ExportLineEnd() { ExportText(QStringLiteral("\r\n")); }

void TCustomListPrint::ShowMessage(const QString& Text) {
    if (ShowMessageHook) {
        ShowMessageHook(this, Text);
        return;
    }
    ShowModalMessage(Text);
}
