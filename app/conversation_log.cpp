#include "conversation_log.h"

#include "file_lock.h"

#include <QDir>
#include <QStandardPaths>
#include <QStringList>
#include <QThread>
#include <QTimer>

#include <utility>

namespace {

const QString StampFormat = QStringLiteral("yyyy-MM-dd HH:mm:ss");
constexpr qsizetype StampLength = 19;
// After the stamp of a UTC time; a reader that knows nothing of zones shows it as text.
const QString UtcMark = QStringLiteral("Z ");
// While a file's lock is held elsewhere, its lines are tried again after this long.
constexpr int LockRetryMs = 50;
// Lines gathered at most before they are written: a flood read in one long event-loop turn
// would otherwise hold all its lines in memory until the turn ends.
constexpr std::size_t MaxPendingLines = 2048;
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

// "yyyy-MM-dd HH:mm:ss " at the start of a line of the file, read as the text it is: a time the
// local zone skips (the hour a clock springs forward) is still the time written.
QDateTime StampOf(QStringView Line) {
    if (Line.size() <= StampLength || Line[StampLength] != u' ' || Line[4] != u'-' || Line[10] != u' ' ||
        Line[13] != u':')
        return {};
    const QDate day = QDate::fromString(Line.first(10).toString(), QStringLiteral("yyyy-MM-dd"));
    const QTime time = QTime::fromString(Line.sliced(11, 8).toString(), QStringLiteral("HH:mm:ss"));
    if (!day.isValid() || !time.isValid()) return {};
    return QDateTime(day, time, Qt::UTC);
}

}  // namespace

TConversationLog::TConversationLog(QObject* Parent) : QObject(Parent) {}

// The last lines are not given up lightly: a lock held elsewhere is waited for a little while,
// and a provisional line the pane showed to the end is kept.
TConversationLog::~TConversationLog() {
    if (Provisional_) Pending_.push_back(*std::exchange(Provisional_, std::nullopt));  // shown to the end
    Flush();
    for (int tries = 0; !Pending_.empty() && tries < 20; ++tries) {
        QThread::msleep(LockRetryMs);
        Flush();
    }
}

QString TConversationLog::DefaultFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/korvelchat2/logs");
}

void TConversationLog::SetEnabled(bool On) {
    if (!On) {
        DropProvisional();
        Flush();
    }
    Enabled_ = On;
}

QString TConversationLog::FileFor(const QDate& Day, bool Utc) const {
    return Folder_ + u'/' + Day.toString(QStringLiteral("yyyy-MM-dd")) + (Utc ? QStringLiteral("-UTC.log") : QStringLiteral(".log"));
}

QString TConversationLog::CurrentFile() const { return FileFor(Now().date(), Utc_); }

// The clock's reading as the stamp writes it, held without a zone like the stamps read back.
QDateTime TConversationLog::Now() const {
    const QDateTime now = Utc_ ? QDateTime::currentDateTimeUtc() : QDateTime::currentDateTime();
    return QDateTime(now.date(), now.time(), Qt::UTC);
}

QByteArray TConversationLog::Format(const TEntry& Entry) {
    QString out;
    const QStringList parts = Entry.Line.split(QStringLiteral("\r\n"));
    for (qsizetype i = 0; i < parts.size(); ++i) {
        QStringView text = parts[i];
        if (i == 0 && Entry.Stamp.isValid()) {
            out += Entry.Stamp.toString(StampFormat) + u' ';
            if (Entry.Utc) out += UtcMark;
            if (text.startsWith(UtcMark)) {
                out += QStringLiteral("\\x5a");
                text = text.sliced(1);
            }
        } else {
            out += Indent;
        }
        AppendEscaped(out, text);
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
            QStringView text = QStringView(line).sliced(StampLength + 1);
            const bool utc = text.startsWith(UtcMark);
            entries.push_back({stamp, Unescaped(utc ? text.sliced(UtcMark.size()) : text), utc});
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
    const bool turnStarted = FlushQueued_ && !Pending_.empty() && Pending_.back().Utc == Utc_;
    Queue({turnStarted ? Pending_.back().Stamp : Now(), Line, Utc_});
}

void TConversationLog::AppendProvisional(const QString& Line) {
    if (!Enabled_) return;
    if (Provisional_) Queue(*std::exchange(Provisional_, std::nullopt));  // followed: it stays
    Provisional_ = TEntry{Now(), Line, Utc_};
}

// A line goes after the provisional one before it, which it confirms.
void TConversationLog::Queue(TEntry Entry) {
    if (Provisional_) Pending_.push_back(*std::exchange(Provisional_, std::nullopt));
    Pending_.push_back(std::move(Entry));
    if (Pending_.size() >= MaxPendingLines && !RetryQueued_) return Flush();
    if (FlushQueued_) return;
    FlushQueued_ = true;
    QMetaObject::invokeMethod(this, &TConversationLog::Flush, Qt::QueuedConnection);
}

void TConversationLog::DropProvisional() { Provisional_.reset(); }

void TConversationLog::Flush() {
    FlushQueued_ = false;
    if (Pending_.empty()) return;
    std::vector<TEntry> entries;
    entries.swap(Pending_);
    QString error;
    bool ok = true;
    // One write per file that the gathered lines go to (a turn that spans midnight has two).
    std::size_t i = 0;
    while (i < entries.size()) {
        const QDate day = entries[i].Stamp.date();
        const bool utc = entries[i].Utc;
        const std::size_t first = i;
        QByteArray text;
        for (; i < entries.size() && entries[i].Stamp.date() == day && entries[i].Utc == utc; ++i)
            text += Format(entries[i]);
        const QString path = FileFor(day, utc);
        QString cause;
        if (!QDir().mkpath(Folder_)) {
            error = QStringLiteral("The conversation log cannot be written: cannot create %1").arg(Folder_);
            ok = false;
            continue;
        }
        switch (AppendLines(path, text, &cause)) {
        case TAppendResult::Written: break;
        case TAppendResult::Failed:
            error = QStringLiteral("The conversation log cannot be written: %1: %2").arg(path, cause);
            ok = false;
            break;
        case TAppendResult::Busy:
            // Another process writes this file just now: these lines and the ones after them
            // wait, in order, ahead of whatever comes meanwhile.
            Pending_.insert(Pending_.begin(), entries.begin() + std::ptrdiff_t(first), entries.end());
            i = entries.size();
            if (!std::exchange(RetryQueued_, true))
                QTimer::singleShot(LockRetryMs, this, [this] {
                    RetryQueued_ = false;
                    Flush();
                });
            break;
        }
    }
    if (ok) {
        ErrorReported_ = false;
    } else if (!ErrorReported_) {
        ErrorReported_ = true;
        if (OnError) OnError(error);
    }
}
