#include "settings_values.h"

#include <QApplication>
#include <QPalette>

int32_t ParseSettingInteger(const QString& Text, int32_t Default) {
    bool ok = false;
    if ((Text.startsWith(u"0x") || Text.startsWith(u"0X")) && Text.size() > 2) {
        const uint32_t v = Text.mid(2).toUInt(&ok, 16);
        return ok ? static_cast<int32_t>(v) : Default;
    }
    if (Text.startsWith(u'$')) {
        const uint32_t v = Text.mid(1).toUInt(&ok, 16);
        return ok ? static_cast<int32_t>(v) : Default;
    }
    const int32_t v = Text.toInt(&ok, 10);
    return ok ? v : Default;
}

namespace {
// Index = style bits. 15 has a text of its own that reads back as all four attributes.
const char* const StyleTexts[16] = {
    "",
    "Bold",
    "Italic",
    "BoldItalic",
    "UnderLine",
    "BoldUnderLine",
    "ItalicUnderLine",
    "BoldItalicUnderLine",
    "StrikeOut",
    "BoldStrike",
    "ItalicStrike",
    "BoldItalicStrike",
    "UnderLineStrike",
    "BoldStrikeUnderLine",
    "ItalicUnderLineStrike",
    "BoldItalicUnderLineStrike",
};
}  // namespace

QString FontStyleToText(int Style) { return QString::fromLatin1(StyleTexts[Style & 15]); }

int TextToFontStyle(const QString& Text) {
    const QString upper = Text.toUpper();
    if (upper.isEmpty()) return 0;
    for (int i = 1; i < 16; ++i)
        if (upper == QString::fromLatin1(StyleTexts[i]).toUpper()) return i;
    return 0;
}

QColor ColorFromValue(int32_t Value) {
    const auto v = static_cast<uint32_t>(Value);
    if (v & 0x80000000u) {
        // The system colours the panes can meet; others fall back to the window colour.
        const QPalette palette = QApplication::palette();
        switch (v & 0xFF) {
        case 5: return palette.color(QPalette::Base);               // window background
        case 8: return palette.color(QPalette::Text);               // window text
        case 13: return palette.color(QPalette::Highlight);         // highlight
        case 14: return palette.color(QPalette::HighlightedText);   // highlighted text
        case 15: return palette.color(QPalette::Button);            // button face
        case 18: return palette.color(QPalette::ButtonText);        // button text
        }
        return palette.color(QPalette::Base);
    }
    return QColor(v & 0xFF, (v >> 8) & 0xFF, (v >> 16) & 0xFF);
}

int32_t ColorToValue(const QColor& Color) {
    return static_cast<int32_t>(static_cast<uint32_t>(Color.red()) |
                                (static_cast<uint32_t>(Color.green()) << 8) |
                                (static_cast<uint32_t>(Color.blue()) << 16));
}
