#pragma once
#include "codepage.h"
#include "profile.h"
#include "text_source.h"

#include <QFile>
#include <QStringDecoder>

#include <string>

// Values written to a settings file read back as they were (a line break in one becomes a blank:
// a value is one line of the file).
inline std::string ProfileRoundTrip(const QByteArray& Bytes, const QString& Path) {
    TTextSource source(Bytes);
    QStringList values;
    QFile::remove(Path);
    TProfileFile file(Path);
    for (int key = 0; !source.Empty() && key < 8; ++key)
        file.WriteString("FORM", QString::number(key), values.emplace_back(source.Text(40)));
    if (!file.UpdateFile()) return "the file could not be written";
    const TProfileFile again(Path);
    for (qsizetype i = 0; i < values.size(); ++i)
        if (again.ReadString("FORM", QString::number(i), "-") != values[i].replace(u'\r', u' ').replace(u'\n', u' '))
            return "a value read back otherwise: " + values[i].toStdString();
    return {};
}

// Whatever bytes the file holds, storing one key leaves every other line as it was, in order:
// its bytes, or its text where the file had to become UTF-8 (and got the mark); only the key's
// line is changed in place (its spelling kept) or added, with its section.
inline std::string UntouchedLinesKeepTheirBytes(const QByteArray& Bytes, const QString& Path) {
    QFile f(Path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(Bytes) != Bytes.size()) return "no file";
    f.close();
    TProfileFile profile(Path);
    profile.WriteString(QStringLiteral("FORM"), QStringLiteral("Top"), QStringLiteral("12"));
    if (!profile.UpdateFile()) return "the file could not be written";
    QByteArray before = Bytes, after = (f.open(QIODevice::ReadOnly), f.readAll());
    const QByteArray mark("\xEF\xBB\xBF");
    const bool marked = after.startsWith(mark) && !before.startsWith(mark);
    for (QByteArray* b : {&before, &after})
        if (b->startsWith(mark)) b->remove(0, 3);
    QStringDecoder utf8(QStringDecoder::Utf8);
    if (const QString text = utf8(before); marked && (utf8.hasError() || NotInAnsi(text).isEmpty()))
        before = FromAnsi(before.toStdString()).toUtf8();
    // Line ends aside: the last line gets one, and a file written anew has CR LF throughout.
    const auto lines = [](const QByteArray& Text) {
        QList<QByteArray> list = Text.split('\n');
        if (list.last().isEmpty()) list.removeLast();
        for (QByteArray& line : list)
            if (line.endsWith('\r')) line.chop(1);
        return list;
    };
    const QList<QByteArray> old = lines(before), now = lines(after);
    qsizetype o = 0, n = 0;
    for (int changes = 0; o < old.size() || n < now.size(); ++o, ++n) {
        if (o < old.size() && n < now.size() && old[o] == now[n]) continue;
        if (++changes > 2 || n == now.size()) return "a line nobody changed is not as it was";
        const bool replaced = o < old.size() && now[n].endsWith("=12") && old[o].trimmed().toLower().startsWith("top");
        if (!replaced && now[n] != "Top=12" && now[n] != "[FORM]") return "a line nobody changed is not as it was: " + now[n].toStdString();
        if (!replaced) --o;
    }
    return {};
}
