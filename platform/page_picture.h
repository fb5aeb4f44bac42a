#pragma once
// A page picture: drawing commands recorded in printer pixels. Fonts are kept as pixel sizes at
// the printer's resolution, so the same picture plays 1:1 onto the printer and, under one
// scaling transform, onto the preview. Tests read the commands back.
#include <QColor>
#include <QFont>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>

#include <variant>
#include <vector>

class QPainter;

// Text drawn without background, its top-left corner at TopLeft; Font indexes Fonts().
struct TPictureText {
    QPoint TopLeft;
    QString Text;
    int Font = 0;
    bool operator==(const TPictureText&) const = default;
};

// An open line through Points. A pen width of 0 is the device's thinnest line.
struct TPicturePolyline {
    std::vector<QPoint> Points;
    int PenWidth = 0;
    QColor Color = Qt::black;
    bool operator==(const TPicturePolyline&) const = default;
};

// A rectangle outlined with a pen of PenWidth and filled inside with Brush when it has one.
struct TPictureRect {
    QRect Rect;
    int PenWidth = 0;
    QColor Pen = Qt::black;
    QColor Brush;  // invalid: not filled
    bool operator==(const TPictureRect&) const = default;
};

// A rectangle filled without outline.
struct TPictureFill {
    QRect Rect;
    QColor Color;
    bool operator==(const TPictureFill&) const = default;
};

using TPictureCommand = std::variant<TPictureText, TPicturePolyline, TPictureRect, TPictureFill>;

class TPagePicture {
public:
    TPagePicture() = default;
    explicit TPagePicture(QSize Size) : Size_(Size) {}

    QSize Size() const { return Size_; }

    // Recording. SetFont selects the font (pixel size set) for the texts that follow.
    void SetFont(const QFont& Font);
    void DrawText(QPoint TopLeft, const QString& Text);
    void Polyline(std::vector<QPoint> Points, int PenWidth, QColor Color = Qt::black);
    void Rectangle(QRect Rect, int PenWidth, QColor Pen, QColor Brush = QColor());
    void Fill(QRect Rect, QColor Color);

    // Plays the commands through the painter's current transform; (0, 0) of the picture lands on
    // the painter's origin.
    void Play(QPainter& Painter) const;

    const std::vector<TPictureCommand>& Commands() const { return Commands_; }
    const std::vector<QFont>& Fonts() const { return Fonts_; }
    // The recorded texts in order, for inspection.
    std::vector<TPictureText> Texts() const;
    std::vector<TPicturePolyline> Polylines() const;
    bool Empty() const { return Commands_.empty(); }

private:
    QSize Size_;
    std::vector<TPictureCommand> Commands_;
    std::vector<QFont> Fonts_;
    std::vector<int> Ascents_;
    int CurrentFont_ = -1;
};
