#include "width_bound.h"

#include <cmath>
#include <limits>

namespace {

// Printable Latin-1, without the soft hyphen (shown only at a line's end, so its width depends
// on its place).
bool Covered(char16_t C) { return (C >= 0x20 && C < 0x7F) || (C >= 0xA0 && C <= 0xFF && C != 0xAD); }

constexpr size_t KeptTables = 4;

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
    const QFontMetricsF metrics(Font);
    // Kerning moves a glyph by far less than a sixteenth of the font's height.
    Tables_.push_back(TTable{Font, metrics, static_cast<int>(std::ceil(metrics.height() * 64 / 16)), {}});
    Current_ = &Tables_.back();
}

int TWidthBound::UpperBound(QStringView Text) {
    if (!Current_ || !Usable_) return -1;
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
