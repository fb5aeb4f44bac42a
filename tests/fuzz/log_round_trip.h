#pragma once
#include "conversation_log.h"
#include "text_source.h"

#include <QByteArray>
#include <QScopeGuard>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

// Logged lines read back as they were, with their stamps, also as "Show log" shows them; every
// line of the file starts with the stamp of its own logged line, or is indented as a further one.
// A stamp reads back as written whatever zone the reader is in: also a time the zone skips
// (Berlin's clocks jump from 02:00 to 03:00 on 2026-03-29) and UTC stamps beside local ones.
inline std::string LogRoundTrip(const QByteArray& Bytes) {
    static const char* const Zones[] = {"Europe/Berlin", "Pacific/Kiritimati", "America/St_Johns", "UTC",
                                        "Australia/Lord_Howe"};
    TTextSource source(Bytes);
    const char* zone = Zones[source.Next() % std::size(Zones)];
    const std::optional<QByteArray> saved = qEnvironmentVariableIsSet("TZ") ? std::optional(qgetenv("TZ")) : std::nullopt;
    const auto restore = qScopeGuard([&] { if (saved) qputenv("TZ", *saved); else qunsetenv("TZ"); tzset(); });
    qputenv("TZ", zone);
    tzset();
    std::vector<TConversationLog::TEntry> entries;
    QByteArray file;
    QDateTime stamp(QDate(2026, 3, 29).addDays(int(source.Next() % 3) - 1), QTime(int(source.Next() % 4), 0), Qt::UTC);
    for (; !source.Empty(); stamp = stamp.addSecs(source.Next() * 7)) {
        const bool utc = source.Next() % 2;
        entries.push_back({stamp, source.Text(60), utc});
        file += TConversationLog::Format(entries.back());
    }
    const std::string where = std::string(" (TZ=") + zone + ")";
    std::size_t i = 0;
    for (const QByteArray& line : file.split('\n'))
        if (!line.isEmpty() && !line.startsWith(QByteArray(20, ' ')) &&
            (i == entries.size() || !line.startsWith(entries[i++].Stamp.toString("yyyy-MM-dd HH:mm:ss ").toUtf8())))
            return "a line without a stamp of its own: " + line.toStdString() + where;
    if (TConversationLog::Parse(file) != entries) return "the log reads back otherwise" + where;
    return TConversationLog::Shown(file) == QString::fromUtf8(file) ? "" : "\"Show log\" shows the log otherwise" + where;
}
