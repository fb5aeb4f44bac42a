#include "chat_pane.h"

#include <QClipboard>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTextDocument>
#include <QTextLayout>
#include <QTimer>

#include <algorithm>
#include <utility>

namespace {
constexpr int Margin = 4;  // around the text, as a plain-text edit's document has it
}  // namespace

TChatPane::TChatPane(QWidget* Parent) : QAbstractScrollArea(Parent) {
    setFocusPolicy(Qt::StrongFocus);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    viewport()->setCursor(Qt::IBeamCursor);
    // Offline the pane is disabled but its text stays as readable as during a session.
    QPalette p = palette();
    p.setColor(QPalette::Disabled, QPalette::Text, p.color(QPalette::Active, QPalette::Text));
    p.setColor(QPalette::Disabled, QPalette::Base, p.color(QPalette::Active, QPalette::Base));
    setPalette(p);
    // Shown while lines have arrived below a view the user has scrolled up; a click goes there.
    NewLinesMarker = new QPushButton(QStringLiteral("new lines below \u25be"), viewport());
    NewLinesMarker->setCursor(Qt::PointingHandCursor);
    NewLinesMarker->setFocusPolicy(Qt::NoFocus);
    NewLinesMarker->hide();
    viewport()->setMouseTracking(true);  // the hand over links
    connect(NewLinesMarker, &QPushButton::clicked, this, [this] {
        verticalScrollBar()->setValue(verticalScrollBar()->maximum());
    });
    connect(verticalScrollBar(), &QScrollBar::valueChanged, this, [this](int value) {
        if (value == verticalScrollBar()->maximum()) NewLinesMarker->hide();
    });
}

TChatPane::~TChatPane() = default;

// --- Appending --------------------------------------------------------------------------------

void TChatPane::AppendLine(const QString& Line, const QList<TStyledSpan>& Spans) {
    // Whether the view follows is judged before the turn's first line changes the scroll range.
    if (!ScrollPending_) Follow_ = verticalScrollBar()->value() >= verticalScrollBar()->maximum();
    // Every line break is kept as LF: a CR LF pair is one break (positions after it move one
    // back); a lone CR or LF and the Unicode separators break the line as well.
    QList<TStyledSpan> spans = Spans;
    const QString pair = QStringLiteral("\r\n");
    if (Line.contains(pair))
        for (TStyledSpan& span : spans) {
            const qsizetype before = QStringView(Line).left(span.Start).count(pair);
            span.Length -= QStringView(Line).mid(span.Start, span.Length).count(pair);
            span.Start -= before;
        }
    QString text = Line;
    text.replace(pair, QStringLiteral("\n"));
    for (QChar& c : text)
        if (c == u'\r' || c == QChar::LineSeparator || c == QChar::ParagraphSeparator) c = u'\n';
    Lines_.Append(text, spans);
    ScrollToEndLater();
    if (OnChange) OnChange(Line);
}

void TChatPane::ClearLines() {
    Lines_.Clear();
    ForgetLayouts();
    Anchor_ = Caret_ = {};
    Marks_.clear();
    Selecting_ = false;
    NewLinesMarker->hide();
    UpdateScrollRange();
    viewport()->update();
    if (OnClear) OnClear();
}

QString TChatPane::Line(qsizetype Index) const { return Lines_.Line(Index); }
QList<TStyledSpan> TChatPane::LineSpans(qsizetype Index) const { return Lines_.Spans(Index); }

QString PaneText(const TChatPane& Pane) {
    QString text;
    for (qsizetype i = 0; i < Pane.LineCount(); ++i) {
        if (i > 0) text += u'\n';
        text += Pane.Line(i);
    }
    return text;
}

QString PaneText(const QPlainTextEdit& Pane) {
    QString text = Pane.document()->toRawText();
    for (QChar& c : text)
        if (c == QChar::ParagraphSeparator || c == QChar::LineSeparator) c = u'\n';
    return text;
}

QString TChatPane::toPlainText() const { return PaneText(*this).replace(QChar(QChar::Nbsp), u' '); }

// Lines appear in the store at once, but the view follows them once per event-loop turn:
// laying out and scrolling for every appended line is what makes a busy conversation slow. A
// view the user has scrolled up stays where it is, and the marker says that more is below.
void TChatPane::ScrollToEndLater() {
    if (ScrollPending_) return;
    ScrollPending_ = true;
    QTimer::singleShot(0, this, [this] {
        ScrollPending_ = false;
        UpdateScrollRange();
        QScrollBar* bar = verticalScrollBar();
        if (Follow_) {
            bar->setValue(bar->maximum());
        } else if (bar->value() < bar->maximum()) {
            PlaceMarker();
            NewLinesMarker->show();
        }
        viewport()->update();
    });
}

// While the view is still to follow this turn's lines, it counts as at the end.
bool TChatPane::AtEnd() const {
    return ScrollPending_ ? Follow_ : verticalScrollBar()->value() >= verticalScrollBar()->maximum();
}

// --- Layout and scrolling ---------------------------------------------------------------------

// A line's layout at the viewport's width, made when first needed: each stored line is a
// paragraph of its own, so a line with right-to-left text orders itself and never the lines
// around it.
QTextLayout& TChatPane::LayoutOf(qsizetype Line) {
    const int width = viewport()->width();
    if (width != LayoutWidth_) {
        ForgetLayouts();
        LayoutWidth_ = width;
    }
    std::unique_ptr<QTextLayout>& slot = Layouts_[Line];
    if (slot) return *slot;
    QString text = Lines_.Line(Line);
    text.replace(u'\n', QChar(QChar::LineSeparator));
    slot = std::make_unique<QTextLayout>(text, font(), viewport());
    QTextOption option(Qt::AlignLeft);  // the leading side of the line's own direction
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    option.setTextDirection(Qt::LayoutDirectionAuto);
    slot->setTextOption(option);
    QList<QTextLayout::FormatRange> formats;
    for (const TStyledSpan& span : Lines_.Spans(Line))
        formats.append({int(span.Start), int(span.Length), SpanFormat(span)});
    slot->setFormats(formats);
    slot->setCacheEnabled(true);  // painted again and again while in view
    slot->beginLayout();
    qreal y = 0;
    for (QTextLine line = slot->createLine(); line.isValid(); line = slot->createLine()) {
        line.setLeadingIncluded(true);
        line.setLineWidth(std::max(1, width - 2 * Margin));
        line.setPosition(QPointF(Margin, y));
        y += line.height();
    }
    slot->endLayout();
    return *slot;
}

qreal TChatPane::HeightOf(qsizetype Line) {
    const QTextLayout& layout = LayoutOf(Line);
    const QTextLine last = layout.lineAt(layout.lineCount() - 1);
    return last.y() + last.height();
}

void TChatPane::ForgetLayouts() { Layouts_.clear(); }

// Only the lines in view and those of the last page keep a layout.
void TChatPane::PruneLayouts() {
    if (Layouts_.size() < 256) return;
    const std::vector<TPlaced> placed = Placed();
    const qsizetype first = placed.empty() ? 0 : placed.front().Line;
    const qsizetype last = placed.empty() ? 0 : placed.back().Line;
    const qsizetype tail = verticalScrollBar()->maximum();
    std::erase_if(Layouts_, [&](const auto& Entry) {
        return (Entry.first < first || Entry.first > last) && Entry.first < tail;
    });
}

// The scroll bar counts stored lines: its value is the line at the top of the view, its
// maximum the first line of the last page (the lines that fill the view up to the end).
void TChatPane::UpdateScrollRange() {
    const qsizetype count = Lines_.Count();
    const qreal room = viewport()->height() - 2 * Margin;
    qsizetype top = count;
    for (qreal used = 0; top > 0;) {
        const qreal h = HeightOf(top - 1);
        if (used + h > room) break;
        used += h;
        --top;
    }
    if (top == count && count > 0) top = count - 1;  // the last line is taller than the view
    QScrollBar* bar = verticalScrollBar();
    bar->setRange(0, int(std::min<qsizetype>(top, INT_MAX)));
    bar->setSingleStep(1);
    bar->setPageStep(int(std::clamp<qsizetype>(count - top, 1, INT_MAX)));
    PruneLayouts();
}

// The lines in view with the y of their tops. At the end of the conversation the last line
// ends at the bottom of the view, so the end of a line taller than the view shows.
std::vector<TChatPane::TPlaced> TChatPane::Placed() {
    std::vector<TPlaced> placed;
    const qsizetype count = Lines_.Count();
    if (count == 0) return placed;
    const QScrollBar* bar = verticalScrollBar();
    const int height = viewport()->height();
    qsizetype first = std::clamp<qsizetype>(bar->value(), 0, count - 1);
    qreal y = Margin;
    if (bar->value() >= bar->maximum()) {
        // From the last line up until the view is full (the range may not know the newest
        // lines yet); a conversation shorter than the view starts at the top.
        first = count;
        for (y = height - Margin; first > 0 && y > 0;) y -= HeightOf(--first);
        if (first == 0 && y > Margin) y = Margin;
    }
    for (qsizetype i = first; i < count && y < height; ++i) {
        placed.push_back({i, y});
        y += HeightOf(i);
    }
    return placed;
}

void TChatPane::scrollContentsBy(int, int) { viewport()->update(); }

void TChatPane::paintEvent(QPaintEvent* Event) {
    QPainter painter(viewport());
    painter.setPen(palette().color(QPalette::Text));
    const auto [from, to] = std::minmax(Anchor_, Caret_);
    for (const TPlaced& at : Placed()) {
        QList<QTextLayout::FormatRange> selection;
        for (auto mark = std::ranges::lower_bound(Marks_, at.Line, {}, &TMark::Line);
             mark != Marks_.end() && mark->Line == at.Line; ++mark) {
            QTextCharFormat marked;
            marked.setBackground(mark->Current ? QColor(0xff, 0x96, 0x32) : QColor(0x9c, 0xd0, 0xff));
            marked.setForeground(Qt::black);
            selection.append({int(mark->Offset), int(mark->Length), marked});
        }
        if (from != to && at.Line >= from.Line && at.Line <= to.Line) {
            QTextCharFormat chosen;
            chosen.setBackground(palette().brush(QPalette::Highlight));
            chosen.setForeground(palette().brush(QPalette::HighlightedText));
            const qsizetype start = at.Line == from.Line ? from.Offset : 0;
            const qsizetype end = at.Line == to.Line ? to.Offset : Lines_.Length(at.Line) + 1;
            selection.append({int(start), int(end - start), chosen});
        }
        LayoutOf(at.Line).draw(&painter, QPointF(0, at.Top), selection, Event->rect());
    }
    PruneLayouts();
}

void TChatPane::resizeEvent(QResizeEvent* Event) {
    const bool atEnd = AtEnd();
    QAbstractScrollArea::resizeEvent(Event);
    UpdateScrollRange();
    if (atEnd) verticalScrollBar()->setValue(verticalScrollBar()->maximum());
    PlaceMarker();
}

// A new font or palette lays the text out anew: a view that was at the end stays there and
// goes on following new lines.
void TChatPane::changeEvent(QEvent* Event) {
    const bool relayout = Event->type() == QEvent::FontChange || Event->type() == QEvent::PaletteChange;
    const bool atEnd = relayout && AtEnd();
    QAbstractScrollArea::changeEvent(Event);
    if (!relayout) return;
    ForgetLayouts();
    UpdateScrollRange();
    viewport()->update();
    if (!atEnd) return;
    Follow_ = true;
    ScrollToEndLater();
}

void TChatPane::PlaceMarker() {
    NewLinesMarker->adjustSize();
    const QRect area = viewport()->rect();
    NewLinesMarker->move(area.right() - NewLinesMarker->width() - 4, area.bottom() - NewLinesMarker->height() - 4);
}

QTextCharFormat TChatPane::SpanFormat(const TStyledSpan& Span) const {
    QTextCharFormat format;
    switch (Span.Style) {
    case TLineStyle::Own:
        format.setFontWeight(QFont::Bold);
        format.setForeground(QColor(0x00, 0x6e, 0x2e));
        break;
    case TLineStyle::Mention:
        format.setBackground(QColor(0xff, 0xe8, 0x8c));
        format.setForeground(Qt::black);
        break;
    case TLineStyle::Quiet:
        format.setForeground(QColor(0x80, 0x80, 0x80));
        break;
    case TLineStyle::Link:
        format.setAnchor(true);
        format.setAnchorHref(Span.Href);
        format.setFontUnderline(true);
        format.setForeground(palette().color(QPalette::Link));
        break;
    }
    return format;
}

// --- Positions, hits and the selection --------------------------------------------------------

namespace {
// The display line of a layout that holds position At: the last one that starts at or before it.
QTextLine DisplayLineAt(const QTextLayout& Layout, qsizetype At) {
    QTextLine found = Layout.lineAt(0);
    for (int i = 1; i < Layout.lineCount() && Layout.lineAt(i).textStart() <= At; ++i) found = Layout.lineAt(i);
    return found;
}

// A display line's text, without the line break that ends it.
std::pair<qsizetype, qsizetype> Shown(const QString& Text, const QTextLine& Line) {
    qsizetype length = Line.textLength();
    if (length > 0 && Text.at(Line.textStart() + length - 1) == u'\n') --length;
    return {Line.textStart(), length};
}
}  // namespace

TChatPane::TPos TChatPane::HitTest(const QPoint& Pos) {
    const std::vector<TPlaced> placed = Placed();
    if (placed.empty()) return {};
    for (size_t k = 0; k < placed.size(); ++k) {
        const TPlaced& at = placed[k];
        if (Pos.y() >= at.Top + HeightOf(at.Line) && k + 1 < placed.size()) continue;
        const QTextLayout& layout = LayoutOf(at.Line);
        QTextLine line = layout.lineAt(0);
        for (int i = 1; i < layout.lineCount() && Pos.y() - at.Top >= layout.lineAt(i).y(); ++i) line = layout.lineAt(i);
        return {at.Line, line.xToCursor(Pos.x())};
    }
    return {};
}

TChatPane::TPos TChatPane::PosOf(qsizetype At) const {
    TPos pos;
    for (; pos.Line < Lines_.Count(); ++pos.Line) {
        const qsizetype length = Lines_.Length(pos.Line);
        if (At <= length || pos.Line + 1 == Lines_.Count()) {
            pos.Offset = std::clamp<qsizetype>(At, 0, length);
            return pos;
        }
        At -= length + 1;
    }
    return {};
}

qsizetype TChatPane::AtOf(TPos Pos) const {
    qsizetype at = Pos.Offset;
    for (qsizetype i = 0; i < Pos.Line; ++i) at += Lines_.Length(i) + 1;
    return at;
}

QString TChatPane::TextBetween(TPos From, TPos To) const {
    QString text;
    for (qsizetype i = From.Line; i <= To.Line && i < Lines_.Count(); ++i) {
        const QString line = Lines_.Line(i);
        const qsizetype start = i == From.Line ? From.Offset : 0;
        const qsizetype end = i == To.Line ? To.Offset : line.size();
        if (i > From.Line) text += u'\n';
        text += QStringView(line).mid(start, end - start);
    }
    return text;
}

void TChatPane::SetCaretPosition(qsizetype At, TMove Move) {
    Caret_ = PosOf(At);
    if (Move == TMove::Move) Anchor_ = Caret_;
    viewport()->update();
}

qsizetype TChatPane::CaretPosition() const { return AtOf(Caret_); }

QString TChatPane::SelectedText() const {
    const auto [from, to] = std::minmax(Anchor_, Caret_);
    return from == to ? QString() : TextBetween(from, to);
}

QRect TChatPane::PositionRect(qsizetype At) {
    const TPos pos = PosOf(At);
    for (const TPlaced& at : Placed()) {
        if (at.Line != pos.Line) continue;
        const QTextLine line = DisplayLineAt(LayoutOf(at.Line), pos.Offset);
        const int x = int(line.cursorToX(int(pos.Offset)));
        return QRect(x, int(at.Top + line.y()), 1, int(line.height()));
    }
    return {};
}

QTextCharFormat TChatPane::FormatAt(qsizetype At) const {
    const TPos pos = PosOf(At);
    QTextCharFormat format;
    if (Lines_.Count() == 0) return format;
    for (const TStyledSpan& span : Lines_.Spans(pos.Line))
        if (pos.Offset >= span.Start && pos.Offset < span.Start + span.Length) format.merge(SpanFormat(span));
    return format;
}

QString TChatPane::AnchorAt(const QPoint& Pos) {
    for (const TPlaced& at : Placed()) {
        const QTextLayout& layout = LayoutOf(at.Line);
        for (int i = 0; i < layout.lineCount(); ++i) {
            const QTextLine line = layout.lineAt(i);
            const QRectF box = line.naturalTextRect().translated(0, at.Top);
            if (!box.contains(Pos)) continue;
            const int c = line.xToCursor(Pos.x(), QTextLine::CursorOnCharacter);
            for (const TStyledSpan& span : Lines_.Spans(at.Line))
                if (span.Style == TLineStyle::Link && c >= span.Start && c < span.Start + span.Length) return span.Href;
            return {};
        }
    }
    return {};
}

QString TChatPane::CaretDisplayLine(QString* Next) {
    if (Next) Next->clear();
    if (Lines_.Count() == 0) return {};
    const QString text = Lines_.Line(Caret_.Line);
    const QTextLayout& layout = LayoutOf(Caret_.Line);
    const QTextLine line = DisplayLineAt(layout, Caret_.Offset);
    if (Next) {
        if (line.lineNumber() + 1 < layout.lineCount()) {
            const auto [start, length] = Shown(text, layout.lineAt(line.lineNumber() + 1));
            *Next = text.mid(start, length);
        } else if (Caret_.Line + 1 < Lines_.Count()) {
            const QString next = Lines_.Line(Caret_.Line + 1);
            const auto [start, length] = Shown(next, LayoutOf(Caret_.Line + 1).lineAt(0));
            *Next = next.mid(start, length);
        }
    }
    const auto [start, length] = Shown(text, line);
    return text.mid(start, length);
}

void TChatPane::SelectCaretDisplayLine() {
    if (Lines_.Count() == 0) return;
    const QString text = Lines_.Line(Caret_.Line);
    const auto [start, length] = Shown(text, DisplayLineAt(LayoutOf(Caret_.Line), Caret_.Offset));
    Anchor_ = {Caret_.Line, start};
    Caret_ = {Caret_.Line, start + length};
    viewport()->update();
}

// The selection goes to the desktop's clipboard on Copy, and to its primary selection (where
// it has one) when the mouse has made it, as text views on the desktop do.
void TChatPane::CopySelection(bool ToClipboard) {
    QClipboard* clipboard = QGuiApplication::clipboard();
    const QString text = SelectedText();
    if (text.isEmpty()) return;
    if (ToClipboard)
        clipboard->setText(text, QClipboard::Clipboard);
    else if (clipboard->supportsSelection())
        clipboard->setText(text, QClipboard::Selection);
}

// --- Keys and the mouse -----------------------------------------------------------------------

void TChatPane::keyPressEvent(QKeyEvent* Event) {
    // Keys are not acted on here: no caret movement, no editing.
    Event->accept();
}

void TChatPane::mousePressEvent(QMouseEvent* Event) {
    PressPos_ = Event->pos();
    if (Event->button() == Qt::LeftButton && Lines_.Count() > 0) {
        Caret_ = HitTest(Event->pos());
        if (!(Event->modifiers() & Qt::ShiftModifier)) Anchor_ = Caret_;
        Selecting_ = true;
        viewport()->update();
    }
    if (OnMousePress) OnMousePress();
}

// A drag selects; beyond the top or bottom of the view it scrolls the view a line at a time.
void TChatPane::mouseMoveEvent(QMouseEvent* Event) {
    if (Selecting_ && (Event->buttons() & Qt::LeftButton)) {
        QScrollBar* bar = verticalScrollBar();
        if (Event->pos().y() < 0) bar->setValue(bar->value() - 1);
        if (Event->pos().y() > viewport()->height()) bar->setValue(bar->value() + 1);
        Caret_ = HitTest(Event->pos());
        viewport()->update();
    }
    // Over a link the pointer becomes a hand, as links elsewhere on the desktop do.
    viewport()->setCursor(AnchorAt(Event->pos()).isEmpty() ? Qt::IBeamCursor : Qt::PointingHandCursor);
}

void TChatPane::mouseReleaseEvent(QMouseEvent* Event) {
    if (Event->button() == Qt::LeftButton && std::exchange(Selecting_, false)) CopySelection(false);
    if ((Event->pos() - PressPos_).manhattanLength() >= 4) return;
    if (const QString href = AnchorAt(Event->pos()); !href.isEmpty() && OnLinkClick)
        OnLinkClick(href);
    else if (OnClick)
        OnClick();
}

// A double click selects the word under the pointer.
void TChatPane::mouseDoubleClickEvent(QMouseEvent* Event) {
    if (Event->button() != Qt::LeftButton || Lines_.Count() == 0) return;
    const TPos at = HitTest(Event->pos());
    const QString text = Lines_.Line(at.Line);
    auto inWord = [&](qsizetype i) { return text[i].isLetterOrNumber() || text[i] == u'_'; };
    qsizetype start = at.Offset, end = at.Offset;
    while (start > 0 && inWord(start - 1)) --start;
    while (end < text.size() && inWord(end)) ++end;
    Anchor_ = {at.Line, start};
    Caret_ = {at.Line, end};
    Selecting_ = false;
    CopySelection(false);
    viewport()->update();
}

void TChatPane::contextMenuEvent(QContextMenuEvent* Event) {
    const std::unique_ptr<QMenu> menu(createStandardContextMenu(Event->pos()));
    menu->exec(Event->globalPos());
}

QMenu* TChatPane::createStandardContextMenu(const QPoint& Pos) {
    auto* menu = new QMenu(this);
    QAction* copy = menu->addAction(QStringLiteral("&Copy"), this, [this] { CopySelection(true); });
    copy->setEnabled(Anchor_ != Caret_);
    if (const QString href = AnchorAt(Pos); !href.isEmpty())
        menu->addAction(QStringLiteral("Copy &Link Location"), this, [href] { QGuiApplication::clipboard()->setText(href); });
    menu->addSeparator();
    QAction* all = menu->addAction(QStringLiteral("Select All"), this, [this] {
        Anchor_ = {};
        Caret_ = {Lines_.Count() - 1, Lines_.Length(Lines_.Count() - 1)};
        viewport()->update();
    });
    all->setEnabled(Lines_.Count() > 0);
    return menu;
}

// --- Finding ------------------------------------------------------------------------------------

std::pair<qsizetype, qsizetype> TChatPane::LinesInView() {
    const std::vector<TPlaced> placed = Placed();
    if (placed.empty()) return {0, -1};
    return {placed.front().Line, placed.back().Line};
}

// A line out of view comes to the top of the view (or the view goes to the end, where the line
// is on the last page); a view scrolled up that way stays there while lines arrive.
void TChatPane::ShowPart(qsizetype Line, qsizetype Offset, qsizetype Length) {
    if (Line < 0 || Line >= Lines_.Count()) return;
    Anchor_ = Caret_ = {Line, std::min(Offset + Length, Lines_.Length(Line))};
    const auto [first, last] = LinesInView();
    if (Line < first || Line > last) {
        UpdateScrollRange();
        QScrollBar* bar = verticalScrollBar();
        bar->setValue(int(std::min<qsizetype>(Line, bar->maximum())));
    }
    viewport()->update();
}

void TChatPane::SetMarks(std::vector<TMark> Marks) {
    std::ranges::stable_sort(Marks, {}, &TMark::Line);
    Marks_ = std::move(Marks);
    viewport()->update();
}

QString TChatPane::LineAt(const QPoint& Pos) {
    if (Lines_.Count() == 0) return {};
    return Lines_.Line(HitTest(Pos).Line);
}
