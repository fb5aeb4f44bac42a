#pragma once
// The lines sent in this session, for Up and Down in the compose pane: Up steps back from the
// newest, Down forward again and, past the newest, back to what was being typed.
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class TSentLines {
public:
    static constexpr qsizetype MaxLines = 50;

    // A line went out; browsing starts again from the newest.
    void Add(const QString& Line);
    // The server refused the line that was WireLength bytes long: it becomes the newest, one Up
    // away (the newest line when none has that length).
    void Refused(qsizetype WireLength, const std::function<qsizetype(const QString&)>& LengthOf);
    // What the compose pane shows after Up or Down, given what it shows now; nothing when there
    // is no further line that way.
    std::optional<QString> Up(const QString& Shown);
    std::optional<QString> Down(const QString& Shown);
    // The user typed: browsing ends where it stands.
    void Edited() { At_ = -1; }

    const QStringList& Lines() const { return Lines_; }

private:
    QStringList Lines_;  // oldest first
    qsizetype At_ = -1;  // the line shown while browsing, -1 when not browsing
    QString Draft_;      // what was typed before browsing began
};
