#include "width_bound.h"

#include <QGlyphRun>
#include <QRawFont>
#include <QTextLayout>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// Printable Latin-1, without the soft hyphen (shown only at a line's end, so its width depends
// on its place).
bool Covered(char16_t C) { return (C >= 0x20 && C < 0x7F) || (C >= 0xA0 && C <= 0xFF && C != 0xAD); }

constexpr size_t KeptTables = 4;

// The most that shaping widens the gap after a glyph, in pixels, over every ordered pair of
// covered characters: one layout of a text in which each pair stands side by side (for each
// character c: c c, then c d c for every later d), glyph positions against plain advances.
double WidestKerning(const QFont& Font) {
    QString text;
    std::vector<QChar> covered;
    for (char16_t c = 0; c <= 0xFF; ++c)
        if (Covered(c)) covered.push_back(QChar(c));
    text.reserve(static_cast<qsizetype>(covered.size() * covered.size() + covered.size()));
    for (std::size_t i = 0; i < covered.size(); ++i) {
        text += covered[i];
        text += covered[i];
        for (std::size_t k = i + 1; k < covered.size(); ++k) {
            text += covered[k];
            text += covered[i];
        }
    }
    QTextLayout layout(text, Font);
    QTextOption option;
    option.setWrapMode(QTextOption::NoWrap);
    layout.setTextOption(option);
    layout.beginLayout();
    layout.createLine();
    layout.endLayout();
    double widest = 0;
    for (const QGlyphRun& run : layout.glyphRuns()) {
        const QList<quint32> glyphs = run.glyphIndexes();
        const QList<QPointF> at = run.positions();
        const QList<QPointF> advances = run.rawFont().advancesForGlyphIndexes(glyphs);
        for (qsizetype i = 0; i + 1 < glyphs.size() && i + 1 < at.size() && i < advances.size(); ++i)
            widest = std::max(widest, at[i + 1].x() - at[i].x() - advances[i].x());
    }
    return widest;
}

}  // namespace

void TWidthBound::SetFont(const QFont& Font) {
    // Spacing and case changes act on the shaped text as a whole; such fonts are always measured.
    Usable_ = Font.letterSpacing() == 0 && Font.wordSpacing() == 0 && Font.capitalization() == QFont::MixedCase;
    for (TTable& t : Tables_)
        if (t.Font == Font) {
            Current_ = &t;
            return;
        }
    if (Tables_.size() == KeptTables) Tables_.erase(Tables_.begin());
    Tables_.push_back(TTable{Font, QFontMetricsF(Font), -1, {}});
    Current_ = &Tables_.back();
}

void TWidthBound::Prepare() {
    if (!Current_ || Current_->Slack >= 0) return;
    // Kerning in common fonts moves a glyph by far less than a sixteenth of the font's height; a
    // font that kerns more (calligraphic ones do) gets room for its own widest kerning.
    const double slack = std::max(Current_->Metrics.height() / 16, WidestKerning(Current_->Font));
    Current_->Slack = static_cast<int>(std::ceil(slack * 64));
}

int TWidthBound::UpperBound(QStringView Text) {
    if (!Current_ || !Usable_) return -1;
    Prepare();
    long long sum = 0;
    for (QChar c : Text) {
        const char16_t u = c.unicode();
        if (!Covered(u)) return -1;
        int& advance = Current_->Advance[u];
        if (advance == 0)
            advance = static_cast<int>(std::ceil(Current_->Metrics.horizontalAdvance(c) * 64)) + Current_->Slack + 1;
        sum += advance;
    }
    sum = (sum + 63) / 64;
    return sum > std::numeric_limits<int>::max() ? -1 : static_cast<int>(sum);
}
