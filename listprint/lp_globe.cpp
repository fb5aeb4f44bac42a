#include "lp_globe.h"

#include <QPainter>
#include <QTextBoundaryFinder>

#include <cmath>

ECancelPrinting::ECancelPrinting() : EPagePrinter(lpk::SPrintingCancelled) {}

double RoundHalfEven(double Value) {
    // nearbyint follows the current rounding mode, which is to-nearest-even unless changed.
    return std::nearbyint(Value);
}

QString ReplaceAll(const QString& Pattern, const QString& Replacement, const QString& Source) {
    if (Pattern.isEmpty()) return Source;
    QString result;
    result.reserve(Source.size());
    qsizetype from = 0;
    for (;;) {
        const qsizetype at = Source.indexOf(Pattern, from, Qt::CaseSensitive);
        if (at < 0) break;
        result += QStringView(Source).mid(from, at - from);
        result += Replacement;
        from = at + Pattern.size();
    }
    result += QStringView(Source).mid(from);
    return result;
}

void SplitAt(const QString& Text, QChar Separator, QStringList& List) {
    List = Text.split(Separator, Qt::KeepEmptyParts);
}

QString CutAtLastBlank(const QString& Text) {
    for (qsizetype i = Text.size() - 1; i >= 0; --i) {
        if (Text[i].unicode() < 33) return i == Text.size() - 1 ? Text : Text.left(i + 1);
    }
    return Text;
}

QString ExpandTabs(const QString& Text, int TabSize) {
    QString result;
    result.reserve(Text.size() + 16);
    for (QChar c : Text) {
        if (c == QLatin1Char('\t') && TabSize > 0)
            result += Spaces(TabSize - static_cast<int>(result.size() % TabSize));
        else if (c == QLatin1Char('\t'))
            result += QLatin1Char(' ');  // without tab stops a tab still keeps words apart
        else
            result += c;
    }
    return result;
}

namespace {
// The boundary at or before Length in Text, or, when none is found in it after From, -1. The
// finder takes the start of Text for a boundary; Text may be a window of a longer text.
qsizetype BoundaryIn(QStringView Text, qsizetype Length, qsizetype From) {
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, Text);
    finder.setPosition(Length);
    if (finder.isAtBoundary() && Length > 0) return Length;
    const qsizetype before = finder.toPreviousBoundary();
    if (before > From) return before;
    if (From > 0) return -1;
    finder.setPosition(0);
    const qsizetype first = finder.toNextBoundary();
    return first > 0 && first < Text.size() ? first : -1;
}
}  // namespace

qsizetype CharacterBoundaryAtOrBefore(const QString& Text, qsizetype Length) {
    if (Length >= Text.size()) return Text.size();
    // Grapheme rules look only a few characters around a position: a window around Length is
    // analysed rather than the whole text, which a long line would make the cost of every cut.
    // A character longer than the window is found in the whole text.
    constexpr qsizetype Reach = 32;
    const qsizetype from = std::max<qsizetype>(0, Length - Reach);
    const QStringView window = QStringView(Text).mid(from, Length - from + Reach);
    if (window.size() < Text.size())
        if (const qsizetype at = BoundaryIn(window, Length - from, from > 0 ? 8 : 0); at >= 0) return from + at;
    const qsizetype at = BoundaryIn(Text, Length, 0);
    return at >= 0 ? at : Text.size();
}

QString Spaces(int Count) { return Count <= 0 ? QString() : QString(Count, QLatin1Char(' ')); }

QString AlignmentChar(TAlignment Alignment) {
    switch (Alignment) {
    case taRightJustify: return QStringLiteral(">");
    case taCenter: return QStringLiteral("^");
    case taLeftJustify: return QStringLiteral("<");
    }
    return QStringLiteral("<");
}

void GradientFill(QPainter& Canvas, QRect Rect, QColor First, QColor Second, TGradientDirection Direction) {
    const int left = Rect.left(), top = Rect.top();
    const int right = Rect.left() + Rect.width(), bottom = Rect.top() + Rect.height();
    const int n = Direction == gdVertical ? bottom - top - 1 : right - left - 1;
    if (n <= 0) return;
    const int r1 = First.red(), g1 = First.green(), b1 = First.blue();
    const int r2 = Second.red(), g2 = Second.green(), b2 = Second.blue();
    for (int i = 0; i <= n; ++i) {
        const QColor c(((n - i) * r1 + i * r2) / n, ((n - i) * g1 + i * g2) / n, ((n - i) * b1 + i * b2) / n);
        if (Direction == gdVertical)
            Canvas.fillRect(QRect(left, top + i, right - left, 1), c);
        else
            Canvas.fillRect(QRect(left + i, top, 1, bottom - top), c);
    }
}
