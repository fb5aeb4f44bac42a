#pragma once
#include "profile.h"
#include "text_source.h"

#include <QFile>

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
