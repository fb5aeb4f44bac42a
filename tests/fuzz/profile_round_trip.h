#pragma once
#include "profile.h"
#include "text_source.h"

#include <QFile>

// Values written to a settings file read back as they were (a line break inside one becomes a
// blank, since a value is one line of the file).
inline std::string ProfileRoundTrip(const QByteArray& Bytes, const QString& Path) {
    TTextSource source(Bytes);
    QStringList values;
    QFile::remove(Path);
    {
        TProfileFile file(Path);
        while (!source.Empty() && values.size() < 8) {
            values << source.Text(40);
            file.WriteString("FORM", QStringLiteral("K%1").arg(values.size()), values.last());
        }
        if (!file.UpdateFile()) return "the file could not be written";
    }
    const TProfileFile again(Path);
    for (qsizetype i = 0; i < values.size(); ++i) {
        const QString expected = QString(values[i]).replace(u'\r', u' ').replace(u'\n', u' ');
        const QString read = again.ReadString("FORM", QStringLiteral("K%1").arg(i + 1), "-");
        if (read != expected) return "wrote \"" + expected.toStdString() + "\", read \"" + read.toStdString() + "\"";
    }
    return {};
}

