#pragma once
// A cheap upper bound of a text's width, from the advances of its characters taken one by one,
// each with room for kerning: the font's own widest kerning between two covered characters, and
// never less than a sixteenth of its height. When the bound already fits, the exact (shaped) measurement can be
// skipped; when it does not, or the text holds characters the bound does not cover, the caller
// measures.
#include <QFont>
#include <QFontMetricsF>
#include <QStringView>

#include <array>
#include <vector>

class TWidthBound {
public:
    // Selects the font; the tables of the last few fonts are kept, so a page start's header and
    // footer fonts do not cost the body font its table.
    void SetFont(const QFont& Font);
    // At least the width of Text in the font, in pixels; -1 when it cannot be bounded this way
    // (characters outside printable Latin-1, or a font that spaces letters or changes case).
    int UpperBound(QStringView Text);
    // Finds the room for kerning of the selected font now (tens of milliseconds, once per font)
    // rather than at its first UpperBound.
    void Prepare();

private:
    // Advances in 64ths of a pixel, each with the room for kerning added.
    struct TTable {
        QFont Font;
        QFontMetricsF Metrics;
        int Slack = -1;                   // room per character for kerning; -1: not found yet
        std::array<int, 256> Advance{};  // 0: not measured yet
    };
    std::vector<TTable> Tables_;
    TTable* Current_ = nullptr;
    bool Usable_ = false;
};
