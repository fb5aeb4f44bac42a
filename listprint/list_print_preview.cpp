// The preview: the sheet's screen geometry at ZoomPercent, the scroll range and the position
// chosen by ZoomLocation, page selection and the paint procedure.
#include "list_print.h"

#include <QMessageBox>
#include <QPainter>
#include <QPaintEvent>
#include <QScrollBar>

#include <algorithm>
#include <cmath>

namespace {

int RoundToInt(double Value) { return static_cast<int>(RoundHalfEven(Value)); }

// Rectangles as the sheet drawing defines them: outline with the pen, inside with the brush,
// right and bottom edges exclusive.
void DrawRect(QPainter& Painter, int Left, int Top, int Right, int Bottom) {
    if (Right - Left < 1 || Bottom - Top < 1) return;
    Painter.drawRect(QRect(Left, Top, Right - Left - 1, Bottom - Top - 1));
}

}  // namespace

int TCustomListPrint::ScreenDpiX() const { return viewport()->logicalDpiX(); }
int TCustomListPrint::ScreenDpiY() const { return viewport()->logicalDpiY(); }

int TCustomListPrint::PreviewPageWidth() const {
    const TDeviceMetrics& d = Device();
    const int zoom = ZoomPercent_;
    if (!d.Available) {
        const double inches = MeasureUnit_ == muMillimeters ? 210 / 25.4 : 8.5;
        return RoundToInt(RoundToInt(inches * ScreenDpiX()) * zoom / 100.0);
    }
    const double rx = static_cast<double>(d.DpiX) / ScreenDpiX();
    if (!(rx > 0) || !std::isfinite(rx)) return RoundToInt(d.Physical.width() * zoom / 100.0);
    return RoundToInt(d.Physical.width() * zoom / rx / 100.0);
}

int TCustomListPrint::PreviewPageHeight() const {
    const TDeviceMetrics& d = Device();
    const int zoom = ZoomPercent_;
    if (!d.Available) {
        const double inches = MeasureUnit_ == muMillimeters ? 297 / 25.4 : 11.0;
        return RoundToInt(RoundToInt(inches * ScreenDpiY()) * zoom / 100.0);
    }
    const double ry = static_cast<double>(d.DpiY) / ScreenDpiY();
    if (!(ry > 0) || !std::isfinite(ry)) return RoundToInt(d.Physical.height() * zoom / 100.0);
    return RoundToInt(d.Physical.height() * zoom / ry / 100.0);
}

int TCustomListPrint::ScreenX(double Value) const {
    const double inches = MeasureUnit_ == muMillimeters ? Value / 25.4 : Value;
    return RoundToInt(RoundToInt(inches * ScreenDpiX()) * ZoomPercent_ / 100.0);
}

int TCustomListPrint::ScreenY(double Value) const {
    const double inches = MeasureUnit_ == muMillimeters ? Value / 25.4 : Value;
    return RoundToInt(RoundToInt(inches * ScreenDpiY()) * ZoomPercent_ / 100.0);
}

void TCustomListPrint::UpdateScrollRange() {
    // While properties are loaded the printer stays closed; Loaded() has the range computed
    // when the preview is first shown.
    if (Loading_ || Constructing_) return;
    HorzRange_ = PreviewPageWidth() + 2 * static_cast<int>(ShadowOffset_) + 2;
    VertRange_ = PreviewPageHeight() + 2 * static_cast<int>(ShadowOffset_) + 2;
    ApplyScrollBars();
    PlaceView();
}

void TCustomListPrint::ApplyScrollBars() {
    const QSize view = viewport()->size();
    horizontalScrollBar()->setRange(0, std::max(0, HorzRange_ - view.width()));
    horizontalScrollBar()->setPageStep(view.width());
    verticalScrollBar()->setRange(0, std::max(0, VertRange_ - view.height()));
    verticalScrollBar()->setPageStep(view.height());
}

void TCustomListPrint::PlaceView() {
    QScrollBar* h = horizontalScrollBar();
    QScrollBar* v = verticalScrollBar();
    const QSize view = viewport()->size();
    switch (ZoomLocation_) {
    case zlTopLeft:
        h->setValue(1);
        h->setValue(0);
        v->setValue(1);
        v->setValue(0);
        break;
    case zlTopCenter:
        h->setValue((HorzRange_ - view.width()) / 2);
        v->setValue(1);
        v->setValue(0);
        break;
    case zlCenter:
        h->setValue((HorzRange_ - view.width()) / 2);
        v->setValue((VertRange_ - view.height()) / 2);
        break;
    }
}

void TCustomListPrint::SetPageNumber(int Value) {
    if (Value >= 1 && Value <= PageCount()) {
        PageNumber_ = Value;
        UpdateScrollRange();
        Invalidate();
        return;
    }
    if (Loading_ || PageList_.empty()) {
        PageNumber_ = 0;
        Invalidate();
        return;
    }
    throw EPagePrinter(QString::fromLatin1(lpk::SPageNumberRange).replace(QLatin1String("%d"), QString::number(PageCount())).toStdString());
}

void TCustomListPrint::Invalidate() {
    if (UpdateCount_ == 0) viewport()->update();
}

void TCustomListPrint::EndUpdate() {
    if (UpdateCount_ > 0) --UpdateCount_;
    if (UpdateCount_ == 0) Invalidate();
}

void TCustomListPrint::showEvent(QShowEvent* Event) {
    QAbstractScrollArea::showEvent(Event);
    if (RefreshPending_) {
        Refresh();
        UpdateScrollRange();
    }
}

void TCustomListPrint::resizeEvent(QResizeEvent* Event) {
    QAbstractScrollArea::resizeEvent(Event);
    ApplyScrollBars();
}

void TCustomListPrint::scrollContentsBy(int, int) { viewport()->update(); }

void TCustomListPrint::paintEvent(QPaintEvent*) {
    QPainter painter(viewport());
    // The paint surface is as large as the scroll range or the view, whichever is larger, and
    // moves with the scroll bars.
    const QSize view = viewport()->size();
    const QSize surface(std::max(HorzRange_, view.width()), std::max(VertRange_, view.height()));
    painter.translate(-horizontalScrollBar()->value(), -verticalScrollBar()->value());
    PaintPreview(painter, surface);
}

void TCustomListPrint::PaintPreview(QPainter& Canvas, QSize Surface) {
    const QColor color = palette().color(QPalette::Window);
    if (GradientBackground_)
        GradientFill(Canvas, QRect(QPoint(0, 0), Surface), Qt::black, color, gdVertical);
    else
        Canvas.fillRect(QRect(QPoint(0, 0), Surface), color);

    const int w = PreviewPageWidth(), h = PreviewPageHeight();
    const int left = (Surface.width() - w) / 2, top = (Surface.height() - h) / 2;
    const int right = left + w, bottom = top + h;

    const int s = static_cast<int>(ShadowOffset_);
    if (s > 0) {
        Canvas.fillRect(QRect(QPoint(right, top + s), QPoint(right + s - 1, bottom + s - 1)), ShadowColor_);
        Canvas.fillRect(QRect(QPoint(left + s, bottom), QPoint(right - 1, bottom + s - 1)), ShadowColor_);
    }

    Canvas.setPen(QPen(Qt::black, 0));
    Canvas.setBrush(Qt::white);
    DrawRect(Canvas, left, top, right, bottom);
    Canvas.setBrush(Qt::NoBrush);

    if (PageNumber_ >= 1 && PageNumber_ <= PageCount()) {
        // The printable area starts at the printer's physical offset on the sheet.
        const TPagePicture& picture = *PageList_[static_cast<size_t>(PageNumber_ - 1)];
        const QRect target(QPoint(left + ScreenX(OffsetX()) + 1, top + ScreenY(OffsetY()) + 1), QPoint(right, bottom));
        if (!picture.Size().isEmpty() && target.width() > 0 && target.height() > 0) {
            Canvas.save();
            Canvas.translate(target.topLeft());
            Canvas.scale(static_cast<double>(target.width()) / picture.Size().width(),
                         static_cast<double>(target.height()) / picture.Size().height());
            picture.Play(Canvas);
            Canvas.restore();
        }
    }

    if (ShowMargins_) {
        Canvas.setPen(QPen(QColor(0xC0, 0xC0, 0xC0), 0, Qt::DotLine));
        Canvas.setBrush(Qt::NoBrush);
        DrawRect(Canvas, left + ScreenX(MarginLeft_), top + ScreenY(MarginTop_), right - ScreenX(MarginRight_),
                 bottom - ScreenY(MarginBottom_));
    }
    Canvas.setPen(color);
}

void TCustomListPrint::ShowModalMessage(const QString& Text) {
    QMessageBox::information(this, PrintTitle_, Text);
}
