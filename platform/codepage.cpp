#include "codepage.h"

#include <QStringDecoder>

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace {

// The only range where Windows-1252 differs from Latin-1. The five bytes the code page leaves
// undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) stand for the C1 control characters of the same
// value, so every byte string survives a trip through Unicode and back unchanged.
constexpr char16_t High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 0x80
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 0x88
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 0x90
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 0x98
};

char ToByte(char16_t c) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<char>(c);
    for (std::size_t i = 0; i < std::size(High); ++i)
        if (High[i] == c) return static_cast<char>(0x80 + i);
    return '?';
}

}  // namespace

QString FromAnsi(std::string_view Bytes) {
    QString text(static_cast<qsizetype>(Bytes.size()), Qt::Uninitialized);
    QChar* out = text.data();
    for (const char b : Bytes) {
        const auto u = static_cast<uint8_t>(b);
        *out++ = QChar(u >= 0x80 && u < 0xA0 ? High[u - 0x80] : char16_t(u));
    }
    return text;
}

std::string ToAnsi(const QString& Text) {
    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(Text.size()));
    for (qsizetype i = 0; i < Text.size(); ++i) {
        const QChar c = Text[i];
        if (c.isSurrogate()) {
            // A character beyond the basic plane is one character, so it becomes one '?'.
            if (c.isHighSurrogate() && i + 1 < Text.size() && Text[i + 1].isLowSurrogate()) ++i;
            bytes += '?';
            continue;
        }
        bytes += ToByte(c.unicode());
    }
    return bytes;
}

QString NotInAnsi(const QString& Text) {
    QString missing;
    for (qsizetype i = 0; i < Text.size(); ++i) {
        QString c = Text.mid(i, 1);
        if (Text[i].isHighSurrogate() && i + 1 < Text.size() && Text[i + 1].isLowSurrogate()) c = Text.mid(i++, 2);
        const bool carried = c.size() == 1 && (c[0] == u'?' || ToByte(c[0].unicode()) != '?');
        if (!carried && !missing.contains(c)) missing += c;
    }
    return missing;
}

QString FromWireLine(std::string_view Bytes) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8(QByteArrayView(Bytes.data(), static_cast<qsizetype>(Bytes.size())));
    return utf8.hasError() ? FromAnsi(Bytes) : text;
}

std::string ToTextFile(const QString& Text, bool* Utf8) {
    const std::string bytes = ToAnsi(Text);
    const bool high = std::any_of(bytes.begin(), bytes.end(), [](char c) { return (c & 0x80) != 0; });
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    bool readsAsUtf8 = false;
    if (high) {
        const QString asUtf8 = utf8(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
        readsAsUtf8 = !utf8.hasError();
    }
    *Utf8 = !NotInAnsi(Text).isEmpty() || readsAsUtf8;
    return *Utf8 ? "\xEF\xBB\xBF" + Text.toUtf8().toStdString() : bytes;
}
