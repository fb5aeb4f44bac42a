#include "chat_pane.h"

#include <QKeyEvent>
#include <QPushButton>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextLayout>
#include <QTimer>

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
    QString text;
    text.reserve(Line.size() + 1);
    if (HasLines_) text += u'\n';
    text += Line;
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    // The line break and the text go in as one edit through a cursor kept at the end, in the
    // character format found there: nothing has to find the end or its format again, the new
    // block is laid out once (when the view needs it), and the cursor's x position is never
    // computed.
    // Whether the view follows is judged before the turn's first line changes the scroll range.
    if (!ScrollPending_) Follow_ = verticalScrollBar()->value() >= verticalScrollBar()->maximum();
    if (End_.isNull() || End_.document() != document()) End_ = QTextCursor(document());
    End_.beginEditBlock();
    if (!End_.atEnd() || !EndFormatKnown_) {
        End_.movePosition(QTextCursor::End);
        EndFormat_ = End_.charFormat();
        EndFormat_.clearProperty(QTextFormat::ObjectType);
        EndFormatKnown_ = true;
    }
    End_.insertText(text, EndFormat_);
    End_.endEditBlock();
    HasLines_ = true;
    ScrollToEndLater();
    if (OnChange) OnChange(Line);
}

TChatPane::TBatch::TBatch(TChatPane& Pane) : Cursor_(Pane.document()) { Cursor_.beginEditBlock(); }

TChatPane::TBatch::~TBatch() { Cursor_.endEditBlock(); }

void TChatPane::ClearLines() {
    clear();
    NewLinesMarker->hide();
    HasLines_ = false;
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
QString layoutLineText(const QTextBlock& block, int lineNumber) {
    const QTextLayout* layout = block.layout();
    if (!layout || lineNumber >= layout->lineCount()) return block.text();
    const QTextLine line = layout->lineAt(lineNumber);
    return block.text().mid(line.textStart(), line.textLength());
}
}  // namespace

QString TChatPane::CaretDisplayLine(QString* Next) {
    const QTextCursor cursor = textCursor();
    const QTextBlock block = cursor.block();
    const QTextLayout* layout = block.layout();
    int lineNumber = 0;
    if (layout && layout->lineCount() > 0)
        lineNumber = layout->lineForTextPosition(cursor.positionInBlock()).lineNumber();
    if (lineNumber < 0) lineNumber = 0;
    if (Next) {
        if (layout && lineNumber + 1 < layout->lineCount())
            *Next = layoutLineText(block, lineNumber + 1);
        else if (block.next().isValid())
            *Next = layoutLineText(block.next(), 0);
        else
            Next->clear();
    }
    return layoutLineText(block, lineNumber);
}

void TChatPane::SelectCaretDisplayLine() {
    QTextCursor cursor = textCursor();
    const QTextBlock block = cursor.block();
    const QTextLayout* layout = block.layout();
    int start = 0, length = block.length() - 1;
    if (layout && layout->lineCount() > 0) {
        const QTextLine line = layout->lineForTextPosition(cursor.positionInBlock());
        if (line.isValid()) {
            start = line.textStart();
            length = line.textLength();
        }
    }
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
