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
    connect(NewLinesMarker, &QPushButton::clicked, this, [this] {
        verticalScrollBar()->setValue(verticalScrollBar()->maximum());
    });
    connect(verticalScrollBar(), &QScrollBar::valueChanged, this, [this](int value) {
        if (value == verticalScrollBar()->maximum()) NewLinesMarker->hide();
    });
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

void TChatPane::AppendLine(const QString& Line) {
    // Lines share a text block, one line separator apart, up to MaxBlockLines a block: a block
    // costs the document several times what a line's characters cost, and every edit walks
    // the document's trees of blocks, which grow with the conversation. Both separators are
    // shown, laid out and copied as line breaks alike.
    const qsizetype lines = 1 + Line.count(QStringLiteral("\r\n"));
    const bool sameBlock = HasLines_ && BlockLines_ + lines <= MaxBlockLines;
    if (HasLines_) Pending_ += sameBlock ? QChar(QChar::LineSeparator) : QChar(u'\n');
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
    End_.insertText(Pending_, EndFormat_);
    End_.endEditBlock();
    Pending_.truncate(0);
}

TChatPane::TBatch::TBatch(TChatPane& Pane) : Pane_(Pane) { ++Pane_.Batches_; }

TChatPane::TBatch::~TBatch() {
    if (--Pane_.Batches_ == 0) Pane_.InsertPending();
}

void TChatPane::ClearLines() {
    Pending_.clear();
    clear();
    NewLinesMarker->hide();
    HasLines_ = false;
    BlockLines_ = 0;
    EndFormatKnown_ = false;
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
    const bool click = (Event->pos() - PressPos_).manhattanLength() < 4;
    if (click && OnClick) OnClick();
}

QString PaneText(const QPlainTextEdit& Pane) {
    QString text = Pane.document()->toRawText();
    for (QChar& c : text)
        if (c == QChar::ParagraphSeparator || c == QChar::LineSeparator) c = u'\n';
    return text;
}
