#include "chat_text.h"

#include <QHash>
#include <QUrl>

namespace {
bool WordChar(QChar C) { return C.isLetterOrNumber(); }
}  // namespace

QList<TTextSpan> MentionSpans(const QString& Text, const QString& Call) {
    QList<TTextSpan> spans;
    const QString call = Call.trimmed();
    if (call.isEmpty()) return spans;
    for (qsizetype at = Text.indexOf(call, 0, Qt::CaseInsensitive); at >= 0;
         at = Text.indexOf(call, at + 1, Qt::CaseInsensitive)) {
        const qsizetype end = at + call.size();
        if ((at > 0 && WordChar(Text[at - 1])) || (end < Text.size() && WordChar(Text[end]))) continue;
        spans.append({at, call.size()});
    }
    return spans;
}

bool IsOpenableReference(const QString& Text) {
    const QUrl url(Text.trimmed(), QUrl::StrictMode);
    if (!url.isValid()) return false;
    const QString scheme = url.scheme().toLower();
    return scheme == u"http" || scheme == u"https" || scheme == u"ftp" || scheme == u"mailto";
}

// A reference runs from the last "[" before a "]" to that "]": a "[" inside is where the next
// reference may begin. One pass, so a line of brackets costs its length.
QList<TTextSpan> ReferenceSpans(const QString& Text) {
    QList<TTextSpan> spans;
    qsizetype open = -1;
    for (qsizetype at = 0; at < Text.size(); ++at) {
        if (Text[at] == u'[') {
            open = at;
        } else if (Text[at] == u']' && open >= 0) {
            if (IsOpenableReference(Text.mid(open + 1, at - open - 1))) spans.append({open + 1, at - open - 1});
            open = -1;
        }
    }
    return spans;
}

namespace {
// The entries of List that Other does not hold as often, in List's order.
QStringList Surplus(const QStringList& List, const QStringList& Other) {
    QHash<QString, int> left;
    for (const QString& e : Other) ++left[e];
    QStringList out;
    for (const QString& e : List) {
        if (e.trimmed().isEmpty()) continue;
        if (int& n = left[e]; n > 0)
            --n;
        else
            out << e;
    }
    return out;
}
}  // namespace

QString JoinsAndLeaves(const QStringList& Before, const QStringList& After) {
    const QStringList joined = Surplus(After, Before), left = Surplus(Before, After);
    QStringList parts;
    if (!joined.isEmpty()) parts << QStringLiteral("+ %1 joined").arg(joined.join(QStringLiteral(", ")));
    if (!left.isEmpty()) parts << QStringLiteral("- %1 left").arg(left.join(QStringLiteral(", ")));
    return parts.join(QStringLiteral("; "));
}

QString CallOfEntry(const QString& Entry) { return Entry.section(u'-', 0, 0).trimmed(); }
