#pragma once
// The conversation log: every line shown in the conversation pane, stamped with its date and
// time, appended to one UTF-8 file per calendar day of one zone: local time ("yyyy-MM-dd.log")
// or UTC ("yyyy-MM-dd-UTC.log"). Lines are gathered and written once per event-loop turn (or
// once per 2048 lines, whichever comes first), so a flood costs one write per turn, not one per
// line. A disk that fails is reported once (until
// a write succeeds again) and never stops the chat; a turn's lines go in whole or not at all.
// While another process holds a file's lock, its lines wait for a later turn: the window's
// thread never waits for the lock.
//
// The file's format keeps what the server sends from posing as the program's own: every line
// of the file starts either with the stamp of a line that arrived ("yyyy-MM-dd HH:mm:ss ",
// followed by "Z " when the time is UTC, then the text) or with 20 blanks (a further line of the
// same text, after a CR LF in it); control characters, line and paragraph separators and
// direction overrides are written as \xHH or \uHHHH, and a backslash as two. A text that begins
// with "Z " has its "Z" written as \x5a, so a local stamp's text never reads as a zone.
#include <QByteArray>
#include <QDate>
#include <QDateTime>
#include <QObject>
#include <QString>

#include <functional>
#include <optional>
#include <vector>

class TConversationLog : public QObject {
public:
    explicit TConversationLog(QObject* Parent = nullptr);
    ~TConversationLog() override;

    // $XDG_DATA_HOME/korvelchat2/logs (~/.local/share/korvelchat2/logs without it).
    static QString DefaultFolder();
    QString Folder() const { return Folder_; }
    void SetFolder(const QString& Folder) { Folder_ = Folder; }
    bool Enabled() const { return Enabled_; }
    void SetEnabled(bool On);
    // Stamps, and the day a line's file is named after, in UTC instead of local time.
    void SetUtc(bool On) { Utc_ = On; }

    // A pane line (it may hold CR LF pairs, which start further lines), stamped now.
    void Append(const QString& Line);
    // A line that may yet be taken back (a notice the next event may wipe from the pane): it
    // goes to the log, under the time it came, only once another line follows it, and
    // DropProvisional forgets it.
    void AppendProvisional(const QString& Line);
    void DropProvisional();
    // Writes what is gathered; runs by itself at the end of the event-loop turn, and again a
    // moment later for lines whose file another process had locked.
    void Flush();
    // The file of a day in the zone the log now writes, and the file of today.
    QString FileFor(const QDate& Day) const { return FileFor(Day, Utc_); }
    QString FileFor(const QDate& Day, bool Utc) const;
    QString CurrentFile() const;

    // One logged line: its stamp as written (the wall-clock time to the second, held without a
    // zone, so no zone rule moves it; invalid for text found without one), whether that time
    // is UTC, and its text, CR LF between its lines.
    struct TEntry {
        QDateTime Stamp;
        QString Line;
        bool Utc = false;
        bool operator==(const TEntry&) const = default;
    };
    static QByteArray Format(const TEntry& Entry);
    // Reads a log back. Text that is neither a stamped line nor a further line (a file cut
    // short, an older program's log) is kept as further text of the entry before it, as written.
    static std::vector<TEntry> Parse(const QByteArray& Bytes);
    // A log as "Show log" presents it: parsed and written out again, so nothing in it can pose as
    // a stamped line.
    static QString Shown(const QByteArray& Bytes);

    std::function<void(const QString& Message)> OnError;

private:
    QDateTime Now() const;
    void Queue(TEntry Entry);

    QString Folder_ = DefaultFolder();
    bool Enabled_ = true;
    bool Utc_ = false;
    bool FlushQueued_ = false;
    bool ErrorReported_ = false;
    bool RetryQueued_ = false;
    std::vector<TEntry> Pending_;
    std::optional<TEntry> Provisional_;
};
