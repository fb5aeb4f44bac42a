#pragma once
// Text in any script made from arbitrary bytes, for the round-trip properties of the files the
// program writes: a fuzz target's input drives them, or in ctest seeded random bytes. Latin,
// Greek, Cyrillic, CJK, emoji, control characters, line breaks and what files quote or escape.
#include <QByteArray>
#include <QStringList>

class TTextSource {
public:
    explicit TTextSource(const QByteArray& Bytes) : Bytes_(Bytes) {}
    bool Empty() const { return At_ >= Bytes_.size(); }
    unsigned Next() { return Empty() ? 0 : static_cast<unsigned char>(Bytes_[At_++]); }
    QString Text(unsigned MaxLength) {
        static const QStringList Specials = {"\r\n", "\r", "\x02\x01", "\\", "\"", " ", "\u2028", "\u202E",
                                             "\u00C3\u00A9", "2001-01-01 09:00:00 BOSS-B "};
        static const char32_t Bases[] = {0x20, 0xA0, 0x391, 0x410, 0x4E00, 0x1F600, 0x00, 0x80};
        QString text;
        for (unsigned n = Next() % (MaxLength + 1); n > 0 && !Empty(); --n) {
            const unsigned kind = Next() % 9, pick = Next();
            const char32_t c = kind < 8 ? Bases[kind] + pick % (kind ? 0x20 : 0x5F) : 0;
            text += kind < 8 ? QString::fromUcs4(&c, 1) : Specials[pick % Specials.size()];
        }
        return text;
    }

private:
    QByteArray Bytes_;
    qsizetype At_ = 0;
};
