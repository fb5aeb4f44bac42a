#pragma once
// The conversation log: every line shown in the conversation pane, stamped with its date and
// time, appended to one UTF-8 file per day. Lines are gathered and written once per event-loop
// turn, so a flood costs one write per turn, not one per line. A disk that fails is reported
// once (until a write succeeds again) and never stops the chat; a turn's lines go in whole or
// not at all.
//
// The file's format keeps what the server sends from posing as the program's own: every line
// of the file starts either with the stamp of a line that arrived ("yyyy-MM-dd HH:mm:ss " and
// the text) or with 20 blanks (a further line of the same text, after a CR LF in it); control
// characters, line and paragraph separators and direction overrides are written as \xHH or
// \uHHHH, and a backslash as two.
#include <QByteArray>
#include <QDate>
#include <QDateTime>
#include <QObject>
#include <QString>

#include <functional>
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
    // Writes what is gathered; runs by itself at the end of the event-loop turn.
    void Flush();
    QString FileFor(const QDate& Day) const;

    // One logged line: its stamp (to the second; invalid for text found without one) and its
    // text, CR LF between its lines.
    struct TEntry {
        QDateTime Stamp;
        QString Line;
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
    bool WriteDay(const QDate& Day, const QByteArray& Text, QString* Error) const;

    QString Folder_ = DefaultFolder();
    bool Enabled_ = true;
    bool Utc_ = false;
    bool FlushQueued_ = false;
    bool ErrorReported_ = false;
    std::vector<TEntry> Pending_;
};
