#include "conversation_log.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QStringList>

TConversationLog::TConversationLog(QObject* Parent) : QObject(Parent) {}

TConversationLog::~TConversationLog() { Flush(); }

QString TConversationLog::DefaultFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/korvelchat2/logs");
}

void TConversationLog::SetEnabled(bool On) {
    if (!On) Flush();
    Enabled_ = On;
}

QString TConversationLog::FileFor(const QDate& Day) const {
    return Folder_ + u'/' + Day.toString(QStringLiteral("yyyy-MM-dd")) + QStringLiteral(".log");
}

void TConversationLog::Append(const QString& Line) {
    if (!Enabled_) return;
    // One clock reading per event-loop turn: the lines of a turn arrive within milliseconds of
    // each other, and reading the local time per line would cost a flood dearly.
    Pending_.push_back({Pending_.empty() ? QDateTime::currentDateTime() : Pending_.back().Stamp, Line});
    if (FlushQueued_) return;
    FlushQueued_ = true;
    QMetaObject::invokeMethod(this, &TConversationLog::Flush, Qt::QueuedConnection);
}

void TConversationLog::Flush() {
    FlushQueued_ = false;
    if (Pending_.empty()) return;
    std::vector<TEntry> entries;
    entries.swap(Pending_);
    QString error;
    bool ok = true;
    // One write per day that the gathered lines fall on (a turn that spans midnight has two).
    std::size_t i = 0;
    while (i < entries.size()) {
        const QDate day = entries[i].Stamp.date();
        QByteArray text;
        for (; i < entries.size() && entries[i].Stamp.date() == day; ++i) {
            const QString stamp = entries[i].Stamp.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
            for (const QString& part : entries[i].Line.split(QStringLiteral("\r\n")))
                text += (stamp + u' ' + part + u'\n').toUtf8();
        }
        if (!WriteDay(day, text, &error)) ok = false;
    }
    if (ok) {
        ErrorReported_ = false;
    } else if (!ErrorReported_) {
        ErrorReported_ = true;
        if (OnError) OnError(error);
    }
}

bool TConversationLog::WriteDay(const QDate& Day, const QByteArray& Text, QString* Error) const {
    const QString path = FileFor(Day);
    if (!QDir().mkpath(Folder_)) {
        *Error = QStringLiteral("The conversation log cannot be written: cannot create %1").arg(Folder_);
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append) || file.write(Text) != Text.size() ||
        !file.flush()) {
        *Error = QStringLiteral("The conversation log cannot be written: %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}
