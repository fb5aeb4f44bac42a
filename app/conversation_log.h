#pragma once
// The conversation log: every line shown in the conversation pane, stamped with its date and
// time, appended to one UTF-8 file per day. Lines are gathered and written once per event-loop
// turn, so a flood costs one write per turn, not one per line. A disk that fails is reported
// once (until a write succeeds again) and never stops the chat.
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

    // A pane line (it may hold CR LF pairs, which start further lines), stamped now.
    void Append(const QString& Line);
    // Writes what is gathered; runs by itself at the end of the event-loop turn.
    void Flush();
    QString FileFor(const QDate& Day) const;

    std::function<void(const QString& Message)> OnError;

private:
    struct TEntry {
        QDateTime Stamp;
        QString Line;
    };
    bool WriteDay(const QDate& Day, const QByteArray& Text, QString* Error) const;

    QString Folder_ = DefaultFolder();
    bool Enabled_ = true;
    bool FlushQueued_ = false;
    bool ErrorReported_ = false;
    std::vector<TEntry> Pending_;
};
