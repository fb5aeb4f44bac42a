#pragma once
#include "codepage.h"
#include "profile.h"
#include "text_source.h"

#include <QFile>
#include <QStringDecoder>

#include <string>

inline QByteArray FileBytes(const QString& Path) {
    QFile f(Path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Values written to a settings file read back as they were (a line break in one becomes a blank:
// a value is one line of the file). Changing one of them afterwards leaves the line of every
// other key as it was: its bytes while the file keeps its encoding, its text always.
inline std::string ProfileRoundTrip(const QByteArray& Bytes, const QString& Path) {
    TTextSource source(Bytes);
    QStringList values;
    const auto oneLine = [](QString Text) { return Text.replace(u'\r', u' ').replace(u'\n', u' '); };
    QFile::remove(Path);
    {
        TProfileFile file(Path);
        for (int key = 0; !source.Empty() && key < 8; ++key)
            file.WriteString("FORM", QString::number(key), values.emplace_back(source.Text(40)));
        if (!file.UpdateFile()) return "the file could not be written";
    }
    for (QString& v : values) v = oneLine(v);
    if (!values.isEmpty()) {
        const QByteArray before = FileBytes(Path);
        const auto changed = qsizetype(source.Next() % unsigned(values.size()));
        TProfileFile file(Path);
        file.WriteString("FORM", QString::number(changed), values[changed] = oneLine(source.Text(40)));
        if (!file.UpdateFile()) return "the file could not be written again";
        const QByteArray after = FileBytes(Path);
        const QList<QByteArray> old = before.split('\n'), now = after.split('\n');
        // Line 0 is the section's header (after the mark of a UTF-8 file), key k is line k + 1.
        if (before.startsWith("\xEF\xBB\xBF") == after.startsWith("\xEF\xBB\xBF"))
            for (qsizetype line = 1; line < old.size(); ++line)
                if (line != changed + 1 && (line >= now.size() || now[line] != old[line]))
                    return "an untouched key's line changed: " + old[line].toStdString();
    }
    const TProfileFile again(Path);
    for (qsizetype i = 0; i < values.size(); ++i)
        if (again.ReadString("FORM", QString::number(i), "-") != values[i])
            return "a value read back otherwise: " + values[i].toStdString();
    return {};
}

// Whatever bytes the file holds, storing one key leaves every other line's bytes as they were:
// the file's lines in order, with the one key's line changed or the key (and its section) added.
inline std::string UntouchedLinesKeepTheirBytes(const QByteArray& Bytes, const QString& Path) {
    {
        QFile f(Path);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(Bytes) != Bytes.size())
            return "the file could not be made";
    }
    TProfileFile profile(Path);
    profile.WriteString(QStringLiteral("FORM"), QStringLiteral("Top"), QStringLiteral("12"));
    if (!profile.UpdateFile()) return "the file could not be written";
    QByteArray after = FileBytes(Path);
    QByteArray before = Bytes;
    // The mark of a UTF-8 file is not part of its first line. A file that had to become UTF-8 (or
    // an earlier version's unmarked UTF-8) gets one, and then its lines keep their text.
    const bool marked = after.startsWith("\xEF\xBB\xBF") && !before.startsWith("\xEF\xBB\xBF");
    if (before.startsWith("\xEF\xBB\xBF")) before.remove(0, 3);
    if (after.startsWith("\xEF\xBB\xBF")) after.remove(0, 3);
    if (marked) {
        QStringDecoder utf8(QStringDecoder::Utf8);
        const QString text = utf8(before);
        before = !utf8.hasError() && !NotInAnsi(text).isEmpty() ? before : FromAnsi(before.toStdString()).toUtf8();
    }
    if (!before.isEmpty() && !before.endsWith('\n')) before += before.endsWith('\r') ? "\n" : "\r\n";  // the last line's end
    QList<QByteArray> old = before.split('\n'), now = after.split('\n');
    if (marked)  // written anew, with CR LF line ends
        for (QList<QByteArray>* lines : {&old, &now})
            for (QByteArray& line : *lines)
                if (line.endsWith('\r')) line.chop(1);
    qsizetype o = 0, n = 0, differing = 0;
    while (o < old.size() || n < now.size()) {
        if (o < old.size() && n < now.size() && old[o] == now[n]) {
            ++o, ++n;
            continue;
        }
        if (n == now.size() || ++differing > 2) return "a line the program did not change is not as it was";
        // The key's line, changed in place (its spelling kept) or added (with its section).
        const bool replaced = o < old.size() && (now[n].endsWith("=12\r") || now[n].endsWith("=12")) &&
                              old[o].trimmed().toLower().startsWith("top") && old[o].contains('=');
        if (replaced) ++o;
        else if (!now[n].startsWith("Top=12") && !now[n].startsWith("[FORM]"))
            return "a line the program did not change is not as it was: " + now[n].toStdString();
        ++n;
    }
    return {};
}
