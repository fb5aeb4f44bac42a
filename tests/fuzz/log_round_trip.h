#pragma once
#include "conversation_log.h"
#include "text_source.h"

#include <vector>

// Lines logged read back as they were, with their stamps, also as "Show log" shows them; and
// every line of the file starts with the stamp of one of them or is indented as a further line.
inline std::string LogRoundTrip(const QByteArray& Bytes) {
    TTextSource source(Bytes);
    std::vector<TConversationLog::TEntry> entries;
    QDateTime stamp(QDate(2026, 1, 15), QTime(8, 0));
    QByteArray file;
    while (!source.Empty()) {
        stamp = stamp.addSecs(source.Next() * 7);
        entries.push_back({stamp, source.Text(60)});
        file += TConversationLog::Format(entries.back());
    }
    std::size_t entry = 0;
    for (const QByteArray& line : file.split('\n')) {
        if (line.isEmpty() || line.startsWith(QByteArray(20, ' '))) continue;
        while (entry < entries.size() && !line.startsWith(entries[entry].Stamp.toString("yyyy-MM-dd HH:mm:ss ").toUtf8())) ++entry;
        if (entry++ == entries.size()) return "a line of the log has no stamp of its own: " + line.toStdString();
    }
    if (TConversationLog::Parse(file) != entries) return "the log reads back otherwise";
    if (TConversationLog::Shown(file) != QString::fromUtf8(file)) return "\"Show log\" shows the log otherwise";
    return {};
}
