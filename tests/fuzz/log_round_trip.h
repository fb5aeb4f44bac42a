#pragma once
#include "conversation_log.h"
#include "text_source.h"

#include <string>

// Logged lines read back as they were, with their stamps, also as "Show log" shows them; every
// line of the file starts with the stamp of its own logged line, or is indented as a further one.
inline std::string LogRoundTrip(const QByteArray& Bytes) {
    TTextSource source(Bytes);
    std::vector<TConversationLog::TEntry> entries;
    QByteArray file;
    for (QDateTime stamp(QDate(2026, 1, 15), QTime(8, 0)); !source.Empty(); stamp = stamp.addSecs(source.Next())) {
        entries.push_back({stamp, source.Text(60)});
        file += TConversationLog::Format(entries.back());
    }
    std::size_t i = 0;
    for (const QByteArray& line : file.split('\n'))
        if (!line.isEmpty() && !line.startsWith(QByteArray(20, ' ')) &&
            (i == entries.size() || !line.startsWith(entries[i++].Stamp.toString("yyyy-MM-dd HH:mm:ss ").toUtf8())))
            return "a line without a stamp of its own: " + line.toStdString();
    if (TConversationLog::Parse(file) != entries) return "the log reads back otherwise";
    return TConversationLog::Shown(file) == QString::fromUtf8(file) ? "" : "\"Show log\" shows the log otherwise";
}
