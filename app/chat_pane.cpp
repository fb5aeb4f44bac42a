#include "chat_pane.h"

#include <QAbstractTextDocumentLayout>
#include <QKeyEvent>
#include <QPushButton>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextLayout>
#include <QTimer>

#include <utility>
#include <vector>

TChatPane::TChatPane(QWidget* Parent) : QPlainTextEdit(Parent) {
    setReadOnly(true);
    setTextInteractionFlags(Qt::TextSelectableByMouse);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setUndoRedoEnabled(false);
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

// A new font lays the text out anew and moves the end: a view that was at the end stays there
// and goes on following new lines.
void TChatPane::changeEvent(QEvent* Event) {
    const bool atEnd = Event->type() == QEvent::FontChange && AtEnd();
    QPlainTextEdit::changeEvent(Event);
    if (!atEnd) return;
    Follow_ = true;
    ScrollToEndLater();
}

void TChatPane::resizeEvent(QResizeEvent* Event) {
    QPlainTextEdit::resizeEvent(Event);
    PlaceMarker();
}

void TChatPane::PlaceMarker() {
    NewLinesMarker->adjustSize();
    const QRect area = viewport()->rect();
    NewLinesMarker->move(area.right() - NewLinesMarker->width() - 4, area.bottom() - NewLinesMarker->height() - 4);
}

namespace {
// Whether a line can change how text beside it in the same paragraph is drawn: it holds
// right-to-left letters or Arabic digits (they may set the paragraph's direction), or explicit
// embeddings, overrides or isolates (they run on past a line separator until the paragraph ends).
bool SwaysDirection(const QString& Line) {
    for (qsizetype i = 0; i < Line.size(); ++i) {
        char32_t c = Line[i].unicode();
        if (c < 0x0590) continue;  // no such character below Hebrew
        if (QChar::isHighSurrogate(c) && i + 1 < Line.size() && Line[i + 1].isLowSurrogate())
            c = QChar::surrogateToUcs4(Line[i].unicode(), Line[++i].unicode());
        switch (QChar::direction(c)) {
        case QChar::DirR: case QChar::DirAL: case QChar::DirAN:
        case QChar::DirLRE: case QChar::DirLRO: case QChar::DirRLE: case QChar::DirRLO: case QChar::DirPDF:
        case QChar::DirLRI: case QChar::DirRLI: case QChar::DirFSI: case QChar::DirPDI:
            return true;
        default:
            break;
        }
    }
    return false;
}
}  // namespace

void TChatPane::AppendLine(const QString& Line, const QList<TStyledSpan>& Spans) {
    // Lines share a text block, one line separator apart, up to MaxBlockLines a block: a block
    // costs the document several times what a line's characters cost, and every edit walks
    // the document's trees of blocks, which grow with the conversation. Both separators are
    // shown, laid out and copied as line breaks alike. A block is one paragraph for the
    // bidirectional algorithm, so a line that can sway the direction of others gets a block of
    // its own: it may reorder itself, never the lines around it.
    const qsizetype lines = 1 + Line.count(QStringLiteral("\r\n"));
    const bool sways = SwaysDirection(Line);
    const bool sameBlock = HasLines_ && !sways && !LastSways_ && BlockLines_ + lines <= MaxBlockLines;
    LastSways_ = sways;
    if (HasLines_) Pending_ += sameBlock ? QChar(QChar::LineSeparator) : QChar(u'\n');
    // A CR LF pair becomes one separator: positions after it move one back.
    for (TStyledSpan span : Spans) {
        const qsizetype before = Line.left(span.Start).count(QStringLiteral("\r\n"));
        const qsizetype inside = Line.mid(span.Start, span.Length).count(QStringLiteral("\r\n"));
        span.Start += Pending_.size() - before;
        span.Length -= inside;
        PendingSpans_.append(span);
    }
    if (lines > 1)
        Pending_ += QString(Line).replace(QStringLiteral("\r\n"), QChar(QChar::LineSeparator));
    else
        Pending_ += Line;
    BlockLines_ = sameBlock ? BlockLines_ + lines : lines;
    HasLines_ = true;
    // Whether the view follows is judged before the turn's first line changes the scroll range.
    if (!ScrollPending_) Follow_ = verticalScrollBar()->value() >= verticalScrollBar()->maximum();
    if (Batches_ == 0) InsertPending();
    ScrollToEndLater();
    if (OnChange) OnChange(Line);
}

// The pending text goes in as one edit through a cursor kept at the end, in the character
// format found there: nothing has to find the end or its format again, the new blocks are laid
// out once (when the view needs them), and the cursor's x position is never computed.
void TChatPane::InsertPending() {
    if (Pending_.isEmpty()) return;
    if (End_.isNull() || End_.document() != document()) End_ = QTextCursor(document());
    End_.beginEditBlock();
    if (!End_.atEnd() || !EndFormatKnown_) {
        End_.movePosition(QTextCursor::End);
        EndFormat_ = End_.charFormat();
        EndFormat_.clearProperty(QTextFormat::ObjectType);
        EndFormatKnown_ = true;
    }
    const int start = End_.position();
    End_.insertText(Pending_, EndFormat_);
    if (!PendingSpans_.isEmpty()) {
        QTextCursor part(document());
        for (const TStyledSpan& span : std::as_const(PendingSpans_)) {
            part.setPosition(start + int(span.Start));
            part.setPosition(start + int(span.Start + span.Length), QTextCursor::KeepAnchor);
            part.mergeCharFormat(SpanFormat(span));
        }
        PendingSpans_.clear();
    }
    End_.endEditBlock();
    Pending_.truncate(0);
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

TChatPane::TBatch::TBatch(TChatPane& Pane) : Pane_(Pane) { ++Pane_.Batches_; }

TChatPane::TBatch::~TBatch() {
    if (--Pane_.Batches_ == 0) Pane_.InsertPending();
}

void TChatPane::ClearLines() {
    Pending_.clear();
    PendingSpans_.clear();
    clear();
    NewLinesMarker->hide();
    HasLines_ = false;
    LastSways_ = false;
    BlockLines_ = 0;
    EndFormatKnown_ = false;
    if (OnClear) OnClear();
}

// Lines appear at once, but the view follows them once per event-loop turn: scrolling the whole
// view for every appended line is what makes a busy conversation slow. A view the user has
// scrolled up stays where it is, and the marker says that more is below.
void TChatPane::ScrollToEndLater() {
    if (ScrollPending_) return;
    ScrollPending_ = true;
    QTimer::singleShot(0, this, [this] {
        ScrollPending_ = false;
        QScrollBar* bar = verticalScrollBar();
        if (Follow_) {
            bar->setValue(bar->maximum());
        } else if (bar->value() < bar->maximum()) {
            PlaceMarker();
            NewLinesMarker->show();
        }
    });
}

namespace {
// The display lines of a block as start and length in its text, without the line separator
// that ends one. A block below the view may not be laid out yet: the document's layout lays it
// out when asked for its place.
std::vector<std::pair<int, int>> DisplayLines(const QTextBlock& Block) {
    Block.document()->documentLayout()->blockBoundingRect(Block);
    const QTextLayout* layout = Block.layout();
    const QString text = Block.text();
    std::vector<std::pair<int, int>> lines;
    for (int i = 0; i < layout->lineCount(); ++i) {
        const QTextLine line = layout->lineAt(i);
        lines.emplace_back(line.textStart(), line.textLength());
    }
    if (lines.empty()) lines.emplace_back(0, int(text.size()));
    for (auto& [start, length] : lines)
        if (length > 0 && text.at(start + length - 1) == QChar::LineSeparator) --length;
    return lines;
}

// The display line holding position At of the block: the last one that starts at or before it.
size_t LineAt(const std::vector<std::pair<int, int>>& Lines, int At) {
    size_t n = 0;
    while (n + 1 < Lines.size() && Lines[n + 1].first <= At) ++n;
    return n;
}
}  // namespace

QString TChatPane::CaretDisplayLine(QString* Next) {
    const QTextCursor cursor = textCursor();
    const QTextBlock block = cursor.block();
    const auto lines = DisplayLines(block);
    const size_t n = LineAt(lines, cursor.positionInBlock());
    auto textOf = [](const QTextBlock& b, std::pair<int, int> l) { return b.text().mid(l.first, l.second); };
    if (Next) {
        if (n + 1 < lines.size())
            *Next = textOf(block, lines[n + 1]);
        else if (block.next().isValid())
            *Next = textOf(block.next(), DisplayLines(block.next()).front());
        else
            Next->clear();
    }
    return textOf(block, lines[n]);
}

void TChatPane::SelectCaretDisplayLine() {
    QTextCursor cursor = textCursor();
    const QTextBlock block = cursor.block();
    const auto lines = DisplayLines(block);
    const auto [start, length] = lines[LineAt(lines, cursor.positionInBlock())];
    cursor.setPosition(block.position() + start);
    cursor.setPosition(block.position() + start + length, QTextCursor::KeepAnchor);
    setTextCursor(cursor);
}

void TChatPane::keyPressEvent(QKeyEvent* Event) {
    // Keys are not acted on here: no caret movement, no editing.
    Event->accept();
}

void TChatPane::mousePressEvent(QMouseEvent* Event) {
    PressPos_ = Event->pos();
    QPlainTextEdit::mousePressEvent(Event);
    if (OnMousePress) OnMousePress();
}

void TChatPane::mouseReleaseEvent(QMouseEvent* Event) {
    QPlainTextEdit::mouseReleaseEvent(Event);
    if ((Event->pos() - PressPos_).manhattanLength() >= 4) return;
    if (const QString href = anchorAt(Event->pos()); !href.isEmpty() && OnLinkClick)
        OnLinkClick(href);
    else if (OnClick)
        OnClick();
}

// Over a link the pointer becomes a hand, as links elsewhere on the desktop do.
void TChatPane::mouseMoveEvent(QMouseEvent* Event) {
    QPlainTextEdit::mouseMoveEvent(Event);
    viewport()->setCursor(anchorAt(Event->pos()).isEmpty() ? Qt::IBeamCursor : Qt::PointingHandCursor);
}

// While the view is still to follow this turn's lines, it counts as at the end.
bool TChatPane::AtEnd() const {
    return ScrollPending_ ? Follow_ : verticalScrollBar()->value() >= verticalScrollBar()->maximum();
}

QString PaneText(const QPlainTextEdit& Pane) {
    QString text = Pane.document()->toRawText();
    for (QChar& c : text)
        if (c == QChar::ParagraphSeparator || c == QChar::LineSeparator) c = u'\n';
    return text;
}
