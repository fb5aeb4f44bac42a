#pragma once
// TCustomListPrint: lays lines of text out into recorded page pictures at printer resolution,
// shows them in a scrolling preview at a zoom factor and prints them with a progress dialog.
//
// A run goes BeginDoc -> Write / WriteLn / WriteTableLine / PrintLines -> EndDoc. Pages stay in
// the page list until the next run or Clear. The printer is reached through platform/printer and
// is only opened when a run, a preview paint or a print job first needs its metrics.
#include "lp_globe.h"
#include "width_bound.h"

#include <QAbstractScrollArea>
#include <QFile>
#include <QFont>
#include <QFontMetrics>
#include <QPointer>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>
#include <utility>

class TListPrnPrgDlg;

using TNotifyEvent = std::function<void(QObject* Sender)>;
using TTableLineColumnEvent = std::function<void(QObject* Sender, int Column, TTableLineColumnInfo& Info)>;
// Shows a message to the user and returns when it was seen (a modal box unless replaced).
using TShowMessageHook = std::function<void(QObject* Sender, const QString& Text)>;

// The private message the kernel sends itself at every page start.
inline constexpr unsigned WM_LP_PAGESTART = 0x1400;

class TCustomListPrint : public QAbstractScrollArea {
public:
    explicit TCustomListPrint(QWidget* Owner = nullptr);
    ~TCustomListPrint() override;

    // The printer. Without one of its own the control prints on the system's default printer,
    // created on first use. The given printer is not owned and must outlive the control.
    TPrinter* Printer();
    void SetPrinter(TPrinter* Value);

    // Property loading (the form description): between the two calls margins are stored as
    // given, formats are not parsed and PageNumber does not raise. Loaded() settles them and
    // leaves the printer closed until a run or a paint needs it.
    void BeginLoading();
    void Loaded();
    bool Loading() const { return Loading_; }

    // --- Settings and units -------------------------------------------------------------------
    TMeasureUnit MeasureUnit() const { return MeasureUnit_; }
    void SetMeasureUnit(TMeasureUnit Value);
    double MarginTop() const { return MarginTop_; }
    void SetMarginTop(double Value);
    double MarginBottom() const { return MarginBottom_; }
    void SetMarginBottom(double Value);
    double MarginLeft() const { return MarginLeft_; }
    void SetMarginLeft(double Value);
    double MarginRight() const { return MarginRight_; }
    void SetMarginRight(double Value);
    TPageBorders PageBorders() const { return PageBorders_; }
    void SetPageBorders(TPageBorders Value) { PageBorders_ = Value; }
    double PageBorderOffset() const { return PageBorderOffset_; }
    void SetPageBorderOffset(double Value) { PageBorderOffset_ = Value; }
    double DefaultColumnWidth() const { return DefaultColumnWidth_; }
    void SetDefaultColumnWidth(double Value) { DefaultColumnWidth_ = Value; }
    TPrinterOrientation Orientation();
    void SetOrientation(TPrinterOrientation Value);
    QString PrintTitle();
    void SetPrintTitle(const QString& Value);

    // The body font; a change re-reads the text metrics and the line height.
    QFont Font() const { return Font_; }
    void SetFont(const QFont& Value);
    QFont HeaderFont() const { return HeaderFont_; }
    void SetHeaderFont(const QFont& Value) { HeaderFont_ = Value; }
    QFont FooterFont() const { return FooterFont_; }
    void SetFooterFont(const QFont& Value) { FooterFont_ = Value; }

    QString HeaderText() const { return HeaderText_; }
    void SetHeaderText(const QString& Value) { HeaderText_ = Value; }
    QString FooterText() const { return FooterText_; }
    void SetFooterText(const QString& Value) { FooterText_ = Value; }
    QString HeaderFormat() const { return HeaderFormat_; }
    void SetHeaderFormat(const QString& Value);
    QString FooterFormat() const { return FooterFormat_; }
    void SetFooterFormat(const QString& Value);
    QString HeaderLine() const { return HeaderLine_; }
    QString FooterLine() const { return FooterLine_; }
    QString HeaderColumns() const { return HeaderColumns_; }
    void SetHeaderColumns(const QString& Value) { HeaderColumns_ = NormalizeColumns(Value, false); }
    QString FooterColumns() const { return FooterColumns_; }
    void SetFooterColumns(const QString& Value) { FooterColumns_ = NormalizeColumns(Value, false); }
    QString TableColumns() const { return TableColumns_; }
    void SetTableColumns(const QString& Value) { TableColumns_ = NormalizeColumns(Value, false); }
    static constexpr QChar ColumnSeparator = QChar(u'|');

    int TabSize() const { return TabSize_; }
    void SetTabSize(int Value) { TabSize_ = Value; }
    bool WordWrap() const { return WordWrap_; }
    void SetWordWrap(bool Value) { WordWrap_ = Value; }
    TAlignment Alignment() const { return Alignment_; }
    void SetAlignment(TAlignment Value) { Alignment_ = Value; }
    // 0 half, 1 single, 2 one and a half, 3 double.
    int LineSpacing() const { return LineSpacing_; }
    void SetLineSpacing(int Value);
    bool TableGrids() const { return TableGrids_; }
    void SetTableGrids(bool Value) { TableGrids_ = Value; }
    bool ShowProgress() const { return ShowProgress_; }
    void SetShowProgress(bool Value) { ShowProgress_ = Value; }
    bool ShowCancel() const { return ShowCancel_; }
    void SetShowCancel(bool Value) { ShowCancel_ = Value; }
    bool ShowMargins() const { return ShowMargins_; }
    void SetShowMargins(bool Value);
    bool GradientBackground() const { return GradientBackground_; }
    void SetGradientBackground(bool Value);
    QColor ShadowColor() const { return ShadowColor_; }
    void SetShadowColor(QColor Value);
    unsigned ShadowOffset() const { return ShadowOffset_; }
    void SetShadowOffset(unsigned Value);
    int ZoomPercent() const { return ZoomPercent_; }
    void SetZoomPercent(int Value);  // brought into MinZoomPercent .. MaxZoomPercent
    static constexpr int MinZoomPercent = 1;
    static constexpr int MaxZoomPercent = 1000;
    TZoomLocation ZoomLocation() const { return ZoomLocation_; }
    void SetZoomLocation(TZoomLocation Value) { ZoomLocation_ = Value; }
    int Copies() const { return Copies_; }
    void SetCopies(int Value) { Copies_ = Value <= 0 ? 1 : Value; }
    bool Collate() const { return Collate_; }
    void SetCollate(bool Value) { Collate_ = Value; }
    bool AbortOnCancel() const { return AbortOnCancel_; }
    void SetAbortOnCancel(bool Value) { AbortOnCancel_ = Value; }
    QString ProgressMessage() const { return ProgressMessage_; }
    void SetProgressMessage(const QString& Value) { ProgressMessage_ = Value; }
    int FromPage() const { return FromPage_; }
    void SetFromPage(int Value);
    int ToPage() const { return ToPage_; }
    void SetToPage(int Value);
    bool PrintToFile() const { return PrintToFile_; }
    void SetPrintToFile(bool Value);
    QString FileName() const { return FileName_; }
    void SetFileName(const QString& Value);
    bool FitPrintToPage() const { return FitPrintToPage_; }
    void SetFitPrintToPage(bool Value) { FitPrintToPage_ = Value; }
    bool PrintWYSIWYG() const { return PrintWYSIWYG_; }
    void SetPrintWYSIWYG(bool Value) { PrintWYSIWYG_ = Value; }
    // Header and footer slot selectors for BuildHeaderFooter: 0 empty, 1 date, 2 "Page" and the
    // page number, 3 time, 4 the header or footer text in a centre slot.
    int HLeft() const { return HLeft_; }
    void SetHLeft(int Value) { HLeft_ = Value; }
    int HCenter() const { return HCenter_; }
    void SetHCenter(int Value) { HCenter_ = Value; }
    int HRight() const { return HRight_; }
    void SetHRight(int Value) { HRight_ = Value; }
    int FLeft() const { return FLeft_; }
    void SetFLeft(int Value) { FLeft_ = Value; }
    int FCenter() const { return FCenter_; }
    void SetFCenter(int Value) { FCenter_ = Value; }
    int FRight() const { return FRight_; }
    void SetFRight(int Value) { FRight_ = Value; }
    bool UseRegistry() const { return UseRegistry_; }
    void SetUseRegistry(bool Value) { UseRegistry_ = Value; }
    QString RegistryKey() const { return RegistryKey_; }
    void SetRegistryKey(const QString& Value) { RegistryKey_ = Value; }

    QStringList& Lines() { return Lines_; }
    void SetLines(const QStringList& Value) { Lines_ = Value; }

    // Unit conversion at the printer's resolution (300 dpi without a printer), ties to even.
    int UnitsToDeviceX(double Value) const;
    int UnitsToDeviceY(double Value) const;
    double DeviceToUnitsX(double Pixels) const;
    double DeviceToUnitsY(double Pixels) const;
    double PaperWidth() const;
    double PaperHeight() const;
    double OffsetX() const;
    double OffsetY() const;

    bool IsPrinting() const { return Generating_ || ExportOpen_; }

    // --- Pagination ---------------------------------------------------------------------------
    void BeginDoc();
    void EndDoc();
    int NewPage();
    int NewLine();
    void Write(const QString& Text);
    void WriteLn(const QString& Text);
    void PrintLines(bool TableMode);
    void Clear();
    void Refresh();

    // The body rectangle in printer pixels, printable-area coordinates.
    int BodyLeft() const;
    int BodyTop() const;
    int BodyWidth() const;
    int BodyHeight() const;
    int LineHeight() const;
    int CurrentX() const { return X_; }
    int CurrentY() const { return Y_; }
    int LineNumber() const { return LineNumber_; }
    int PageCount() const { return static_cast<int>(PageList_.size()); }
    const TPageList& PageList() const { return PageList_; }
    // The page picture being drawn (the last page during a run, a scratch picture otherwise).
    const TPagePicture& CurrentPicture() const { return *Current_; }
    // The body font at the printer's resolution, as text is measured and recorded.
    QFont PrinterFont() const;

    // Longest prefix of Text (never empty) that fits Width, found by bisection.
    QString FitText(const QString& Text, int Width) const;
    // Takes the next piece that fits Width off Remaining (see the .cpp for the cut rules).
    enum TBlankAtBreak : uint8_t { bbKeep, bbDrop };
    QString SplitToFit(QString& Remaining, int Width, TBlankAtBreak Blank) const;
    int TextWidth(const QString& Text) const;

    // --- Rendering ----------------------------------------------------------------------------
    void WriteTableLine(const QString& Line);
    QString ExpandMacros(const QString& Cell) const;
    enum THeaderOrFooter : uint8_t { hfHeader, hfFooter };
    void ParseHeaderFooterFormat(const QString& Format, THeaderOrFooter Which);
    void BuildHeaderFooter();
    // One column layout item: alignment and signed width (negative: no grid).
    struct TColumnSpec {
        TAlignment Alignment = taLeftJustify;
        double Width = 0;
    };
    TColumnSpec ParseColumnSpec(const QString& Item) const;
    enum TColumnConversion : uint8_t { ccKeep, ccConvertUnit };
    QString NormalizeColumns(const QString& Layout, bool Convert) const;
    QString NormalizeColumns(const QString& Layout, TColumnConversion Conversion) const {
        return NormalizeColumns(Layout, Conversion == ccConvertUnit);
    }

    // --- Preview ------------------------------------------------------------------------------
    int PageNumber() const { return PageNumber_; }
    void SetPageNumber(int Value);
    int PreviewPageWidth() const;
    int PreviewPageHeight() const;
    // A length in measure units as zoomed screen pixels.
    int ScreenX(double Value) const;
    int ScreenY(double Value) const;
    void UpdateScrollRange();
    int HorzRange() const { return HorzRange_; }
    int VertRange() const { return VertRange_; }
    void Invalidate();
    void BeginUpdate() { ++UpdateCount_; }
    void EndUpdate();
    bool UpdatesHeld() const { return UpdateCount_ > 0; }
    virtual void PaintPreview(QPainter& Canvas, QSize Surface);

    // --- Print job ----------------------------------------------------------------------------
    bool Print();
    void CancelPrinting() { CancelRequest_ = true; }
    bool CancelRequested() const { return CancelRequest_; }
    void ShowProgressState(const QString& Status, const QString& Prefix, int Current, int First, int Last);
    // The dialog is a window of the control's own window, so it stays above it and its closing
    // hands the focus back to a window of the same program.
    TListPrnPrgDlg* ProgressDialog() const;

    // Events.
    TNotifyEvent OnNewPage;
    TNotifyEvent OnNewLine;
    TTableLineColumnEvent OnTableLineColumn;
    TShowMessageHook ShowMessageHook;

protected:
    // Shows a message through ShowMessageHook, or in a modal box.
    void ShowMessage(const QString& Text);
    // The private messages of the control; the kernel itself handles none.
    virtual void HandleListPrintMessage(unsigned Msg);

    bool eventFilter(QObject* Watched, QEvent* Event) override;
    void paintEvent(QPaintEvent* Event) override;
    void resizeEvent(QResizeEvent* Event) override;
    void showEvent(QShowEvent* Event) override;
    void scrollContentsBy(int Dx, int Dy) override;

private:
    struct TDeviceMetrics {
        bool Available = false;
        int DpiX = 300;
        int DpiY = 300;
        QSize Physical;
        QPoint Offset;
    };
    const TDeviceMetrics& Device() const;
    void ForgetDevice() { Device_.reset(); }
    double ClampMargin(double Value, double Offset, double Paper) const;
    void ConvertUnits(double Factor);

    // The printer-resolution font and the metrics that come from it.
    void ApplyPrinterFont() const;
    void FontChanged();

    // Pagination steps.
    void FinishPages();
    void PageStart();
    // Lets the message loop run inside a run or a job; watches the control's window meanwhile, so
    // that closing it stops the work instead of tearing the window down under the call.
    void PumpMessages();
    void FinishDeferredClose();
    void StartNewPicture();
    void DrawTextAt(int Left, int Top, const QString& Text);
    void DrawPolyline(QPoint From, QPoint To, int PenWidth);
    bool NeedsPageBreak() const;
    enum TWrapMode : uint8_t { wmLine, wmContinuation };
    void Wrap(const QString& Text, TWrapMode Mode);
    void WriteFitted(const QString& Text, int Width);
    void ExportText(const QString& Text);
    void ExportLineEnd();
    void DrawHeaderFooter();
    void DrawFrame();
    void DrawCellBox(int Left, int Width, bool TopLine, bool BottomLine);
    QString FormatNumber(double Value) const;
    void ShowModalMessage(const QString& Text);
    void ApplyScrollBars();
    int ScreenDpiX() const;
    int ScreenDpiY() const;
    void SendPage(int Page, int First, int Last, bool FirstSheet);
    void PlaceView();

    // Printer.
    TPrinter* Printer_ = nullptr;
    std::unique_ptr<TPrinter> OwnPrinter_;
    mutable std::optional<TDeviceMetrics> Device_;

    // Settings.
    bool Loading_ = false;
    bool Constructing_ = true;
    TMeasureUnit MeasureUnit_ = muMillimeters;
    double MarginTop_ = 25, MarginBottom_ = 25, MarginLeft_ = 25, MarginRight_ = 25;
    TPageBorders PageBorders_;
    double PageBorderOffset_ = 1.5;
    double DefaultColumnWidth_ = 25;
    QString PrintTitle_ = QStringLiteral("Listprinting");
    QFont Font_;
    QFont HeaderFont_;
    QFont FooterFont_;
    QString HeaderText_, FooterText_, HeaderFormat_, FooterFormat_, HeaderLine_, FooterLine_;
    QString HeaderColumns_ = QStringLiteral("<25|^25|>25");
    QString FooterColumns_ = QStringLiteral("<25|^25|>25");
    QString TableColumns_ = QStringLiteral("<25|^25|>25");
    int TabSize_ = 8;
    bool WordWrap_ = false;
    TAlignment Alignment_ = taLeftJustify;
    int LineSpacing_ = 1;
    bool TableGrids_ = true;
    bool ShowProgress_ = true;
    bool ShowCancel_ = true;
    bool ShowMargins_ = true;
    bool GradientBackground_ = true;
    QColor ShadowColor_;
    unsigned ShadowOffset_ = 5;
    int ZoomPercent_ = 35;
    TZoomLocation ZoomLocation_ = zlCenter;
    int Copies_ = 1;
    bool Collate_ = true;
    bool AbortOnCancel_ = false;
    QString ProgressMessage_;
    int FromPage_ = 0, ToPage_ = 0;
    bool PrintToFile_ = false;
    QString FileName_;
    bool FitPrintToPage_ = true, PrintWYSIWYG_ = true;
    int HLeft_ = 0, HCenter_ = 0, HRight_ = 0, FLeft_ = 0, FCenter_ = 0, FRight_ = 0;
    bool UseRegistry_ = false;
    QString RegistryKey_ = QStringLiteral("Software\\Quintor\\ListPrint");
    QStringList Lines_;

    // Font state derived from Font_ and the printer's resolution.
    mutable bool FontValid_ = false;
    mutable QFont PrinterFont_;
    mutable QFontMetrics Metrics_{QFont()};
    mutable int LineHeight_ = 0;
    mutable int ExternalLeading_ = 0;
    mutable TWidthBound WidthBound_;  // spares plain lines that clearly fit their measurement
    bool PictureFontStale_ = true;

    // Run state.
    TPageList PageList_;
    std::unique_ptr<TPagePicture> Scratch_;
    TPagePicture* Current_ = nullptr;
    int X_ = 0, Y_ = 0;
    int LineNumber_ = 0;
    int PageNumber_ = 0;
    bool Generating_ = false;
    bool HeaderMode_ = false;
    bool ExportOpen_ = false;
    bool CancelRequest_ = false;
    QFile ExportFile_;
    // The page a line feed started last, and how much was drawn on it once it had started.
    std::pair<const TPagePicture*, std::size_t> FedPage_{};

    // Preview and print job.
    int UpdateCount_ = 0;
    int HorzRange_ = 0, VertRange_ = 0;
    bool RefreshPending_ = false;
    bool Sending_ = false;  // a print job is playing the pages
    bool SheetDrawn_ = false;  // the running job has drawn a page
    QPointer<TListPrnPrgDlg> Dialog_;
    QPointer<QWidget> WatchedWindow_;
    bool CloseDeferred_ = false;  // the window was closed during a run or a job
};
