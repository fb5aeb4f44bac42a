#include "conversation_log.h"

#include "file_lock.h"

#include <QDir>
#include <QStandardPaths>
#include <QStringList>

namespace {

const QString StampFormat = QStringLiteral("yyyy-MM-dd HH:mm:ss");
constexpr qsizetype StampLength = 19;
// A further line is indented to where the text of a stamped line starts.
const QString Indent(StampLength + 1, u' ');

// Characters that would start, end or visually reorder a line in a viewer of the file.
bool Escaped(char16_t C) {
    return C < 0x20 || (C >= 0x7F && C <= 0x9F) || C == 0x2028 || C == 0x2029 || (C >= 0x202A && C <= 0x202E) ||
           (C >= 0x2066 && C <= 0x2069) || C == u'\\';
}

void AppendEscaped(QString& Out, QStringView Text) {
    for (const QChar c : Text) {
        const char16_t u = c.unicode();
        if (!Escaped(u))
            Out += c;
        else if (u == u'\\')
            Out += QStringLiteral("\\\\");
        else if (u < 0x100)
            Out += QStringLiteral("\\x%1").arg(unsigned(u), 2, 16, QChar(u'0'));
        else
            Out += QStringLiteral("\\u%1").arg(unsigned(u), 4, 16, QChar(u'0'));
    }
}

// The reverse of AppendEscaped; an escape that is not one of its forms stays as it stands.
QString Unescaped(QStringView Text) {
    QString out;
    out.reserve(Text.size());
    for (qsizetype i = 0; i < Text.size(); ++i) {
        if (Text[i] != u'\\' || i + 1 == Text.size()) {
            out += Text[i];
            continue;
        }
        const QChar kind = Text[i + 1];
        const qsizetype digits = kind == u'x' ? 2 : kind == u'u' ? 4 : 0;
        bool ok = false;
        const uint code = digits ? Text.mid(i + 2, digits).toUInt(&ok, 16) : 0;
        if (kind == u'\\') {
            out += u'\\';
            ++i;
        } else if (ok && i + 2 + digits <= Text.size()) {
            out += QChar(char16_t(code));
            i += 1 + digits;
        } else {
            out += Text[i];
        }
    }
    return out;
}

// "yyyy-MM-dd HH:mm:ss " at the start of a line of the file.
QDateTime StampOf(QStringView Line) {
    if (Line.size() <= StampLength || Line[StampLength] != u' ' || Line[4] != u'-' || Line[13] != u':') return {};
    return QDateTime::fromString(Line.first(StampLength).toString(), StampFormat);
}

}  // namespace

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

QByteArray TConversationLog::Format(const TEntry& Entry) {
    QString out;
    const QStringList parts = Entry.Line.split(QStringLiteral("\r\n"));
    for (qsizetype i = 0; i < parts.size(); ++i) {
        out += i == 0 && Entry.Stamp.isValid() ? Entry.Stamp.toString(StampFormat) + u' ' : Indent;
        AppendEscaped(out, parts[i]);
        out += u'\n';
    }
    return out.toUtf8();
}

std::vector<TConversationLog::TEntry> TConversationLog::Parse(const QByteArray& Bytes) {
    std::vector<TEntry> entries;
    QStringList lines = QString::fromUtf8(Bytes).split(u'\n');
    if (lines.last().isEmpty()) lines.removeLast();  // the line end of the last line
    for (const QString& line : lines) {
        if (const QDateTime stamp = StampOf(line); stamp.isValid()) {
            entries.push_back({stamp, Unescaped(QStringView(line).sliced(StampLength + 1))});
            continue;
        }
        const bool further = line.startsWith(Indent);
        const QString text = further ? Unescaped(QStringView(line).sliced(Indent.size())) : line;
        if (entries.empty())
            entries.push_back({QDateTime(), text});
        else
            entries.back().Line += QStringLiteral("\r\n") + text;
    }
    return entries;
}

QString TConversationLog::Shown(const QByteArray& Bytes) {
    QByteArray out;
    for (const TEntry& e : Parse(Bytes)) out += Format(e);
    return QString::fromUtf8(out);
}

void TConversationLog::Append(const QString& Line) {
    if (!Enabled_) return;
    // One clock reading per event-loop turn: the lines of a turn arrive within milliseconds of
    // each other, and reading the local time per line would cost a flood dearly.
    const QDateTime now = Pending_.empty() ? (Utc_ ? QDateTime::currentDateTimeUtc() : QDateTime::currentDateTime())
                                           : Pending_.back().Stamp;
    Pending_.push_back({now, Line});
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
        for (; i < entries.size() && entries[i].Stamp.date() == day; ++i) text += Format(entries[i]);
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
    QString cause;
    if (!AppendLines(path, Text, &cause)) {
        *Error = QStringLiteral("The conversation log cannot be written: %1: %2").arg(path, cause);
        return false;
    }
    return true;
}
