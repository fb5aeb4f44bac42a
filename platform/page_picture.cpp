#include "page_picture.h"

#include <QFontMetrics>
#include <QPainter>
#include <QPen>

void TPagePicture::SetFont(const QFont& Font) {
    // A page switches among a handful of fonts (body, header, footer); reusing the entry keeps
    // playback from rebuilding fonts per line.
    for (size_t i = 0; i < Fonts_.size(); ++i) {
        if (Fonts_[i] == Font) {
            CurrentFont_ = static_cast<int>(i);
            return;
        }
    }
    Fonts_.push_back(Font);
    Ascents_.push_back(QFontMetrics(Font).ascent());
    CurrentFont_ = static_cast<int>(Fonts_.size()) - 1;
}

void TPagePicture::DrawText(QPoint TopLeft, const QString& Text) {
    if (CurrentFont_ < 0) SetFont(QFont());
    Commands_.emplace_back(TPictureText{TopLeft, Text, CurrentFont_});
}

void TPagePicture::Polyline(std::vector<QPoint> Points, int PenWidth, QColor Color) {
    Commands_.emplace_back(TPicturePolyline{std::move(Points), PenWidth, Color});
}

void TPagePicture::Rectangle(QRect Rect, int PenWidth, QColor Pen, QColor Brush) {
    Commands_.emplace_back(TPictureRect{Rect, PenWidth, Pen, Brush});
}

void TPagePicture::Fill(QRect Rect, QColor Color) {
    Commands_.emplace_back(TPictureFill{Rect, Color});
}

namespace {

struct TPlayer {
    QPainter& Painter;
    const std::vector<QFont>& Fonts;
    const std::vector<int>& Ascents;
    int Font = -1;

    void operator()(const TPictureText& T) {
        if (T.Font != Font) {
            Font = T.Font;
            Painter.setFont(Fonts[static_cast<size_t>(Font)]);
            Painter.setPen(Qt::black);
        }
        Painter.drawText(QPoint(T.TopLeft.x(), T.TopLeft.y() + Ascents[static_cast<size_t>(Font)]), T.Text);
    }
    void operator()(const TPicturePolyline& L) {
        Painter.setPen(QPen(L.Color, L.PenWidth, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
        Painter.drawPolyline(L.Points.data(), static_cast<int>(L.Points.size()));
        Font = -1;  // the text pen must be set again
    }
    void operator()(const TPictureRect& R) {
        Painter.setPen(QPen(R.Pen, R.PenWidth));
        Painter.setBrush(R.Brush.isValid() ? QBrush(R.Brush) : QBrush(Qt::NoBrush));
        Painter.drawRect(R.Rect);
        Painter.setBrush(Qt::NoBrush);
        Font = -1;
    }
    void operator()(const TPictureFill& F) { Painter.fillRect(F.Rect, F.Color); }
};

}  // namespace

void TPagePicture::Play(QPainter& Painter) const {
    Painter.save();
    Painter.setBrush(Qt::NoBrush);
    Painter.setBackgroundMode(Qt::TransparentMode);
    TPlayer player{Painter, Fonts_, Ascents_};
    for (const TPictureCommand& c : Commands_) std::visit(player, c);
    Painter.restore();
}

std::vector<TPictureText> TPagePicture::Texts() const {
    std::vector<TPictureText> result;
    for (const TPictureCommand& c : Commands_)
        if (const auto* t = std::get_if<TPictureText>(&c)) result.push_back(*t);
    return result;
}

std::vector<TPicturePolyline> TPagePicture::Polylines() const {
    std::vector<TPicturePolyline> result;
    for (const TPictureCommand& c : Commands_)
        if (const auto* l = std::get_if<TPicturePolyline>(&c)) result.push_back(*l);
    return result;
}
