#pragma once
// Text for the round-trip properties of the files the program writes text into. The
// properties are driven by arbitrary bytes: the fuzz targets hand them their input, the ctest
// suites seeded random bytes. Each returns what went wrong, or an empty text when it holds.
#include <QByteArray>
#include <QString>
#include <QStringList>

#include <string>

// Text in any script made from the bytes: Latin, Greek, Cyrillic, CJK, emoji, control
// characters, line breaks (CR LF, bare CR, the wire's 2 1) and what files quote or escape.
class TTextSource {
public:
    explicit TTextSource(const QByteArray& Bytes) : Bytes_(Bytes) {}
    bool Empty() const { return At_ >= Bytes_.size(); }
    unsigned Next() { return Empty() ? 0 : static_cast<unsigned char>(Bytes_[At_++]); }
    QString Text(unsigned MaxLength) {
        QString text;
        static const char32_t Bases[] = {0x20, 0xA0, 0x391, 0x410, 0x4E00, 0x1F600, 0x00, 0x80};
        for (unsigned n = Next() % (MaxLength + 1); n > 0 && !Empty(); --n) {
            const unsigned kind = Next() % 10, pick = Next();
            if (kind == 8) text += QStringList{"\r\n", "\r", "\x02\x01", "\\", "\"", " ", "=", "\u2028", "\u202E",
                                               "2001-01-01 09:00:00 BOSS-B "}[pick % 10];
            else if (kind == 9) text += QString::fromUtf8("Ã©");  // Windows-1252 bytes that are UTF-8
            else {
                const char32_t c = Bases[kind] + pick % (kind == 0 ? 0x5F : 0x20);
                text += QString::fromUcs4(&c, 1);
            }
        }
        return text;
    }

private:
    QByteArray Bytes_;
    qsizetype At_ = 0;
};

