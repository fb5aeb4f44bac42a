#pragma once
// What the window finds in the text of received lines: mentions of the user's call sign,
// references that a click opens, and who joined or left between two user lists. Pure
// functions, no widgets.
#include <QList>
#include <QString>
#include <QStringList>

struct TTextSpan {
    qsizetype Start = 0;
    qsizetype Length = 0;
    bool operator==(const TTextSpan&) const = default;
};

// Where Text names Call as a whole word in any case: not inside a longer run of letters and
// digits ("DL1ABC" is named in "hi dl1abc!" and "DL1ABC/P", not in "XDL1ABC").
QList<TTextSpan> MentionSpans(const QString& Text, const QString& Call);

// References come from the remote server: only web and mail addresses are opened, never a
// program or a local file.
bool IsOpenableReference(const QString& Text);
// The openable references in [brackets] within Text, without their brackets.
QList<TTextSpan> ReferenceSpans(const QString& Text);

// One quiet line for the difference between two user lists ("+ A, B joined; - C left"), or
// "" when no one came or went. Entries count as often as they stand; empty ones not at all.
QString JoinsAndLeaves(const QStringList& Before, const QStringList& After);

// The call sign of a user-list entry "CALL-NAME".
QString CallOfEntry(const QString& Entry);
