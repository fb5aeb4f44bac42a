#pragma once
// The conversation pane: text is only ever appended line by line or cleared; keys are not
// acted on; a click selects the display line under the caret.
#include <QPlainTextEdit>
#include <QTextCharFormat>
#include <QTextCursor>

#include <functional>

// A pane's whole text as the user typed or received it: lines separated by LF, no-break spaces
// kept (toPlainText() turns them into blanks, and 0xA0 is a character of the wire's code page).
QString PaneText(const QPlainTextEdit& Pane);

class QPushButton;

// A part of an appended line drawn apart: the sender of one's own line, a line that mentions
// the user, a reference that a click opens (Href), a quiet note of the program.
enum class TLineStyle { Own, Mention, Link, Quiet };
struct TStyledSpan {
    qsizetype Start = 0;
    qsizetype Length = 0;
    TLineStyle Style = TLineStyle::Own;
    QString Href;
};

class TChatPane : public QPlainTextEdit {
public:
    explicit TChatPane(QWidget* Parent = nullptr);

    // Appends one line (it may hold CR LF pairs, which start further lines) and reports it.
    // Spans are positions in Line; they may overlap, and the later one wins where they differ.
    void AppendLine(const QString& Line, const QList<TStyledSpan>& Spans = {});
    void ClearLines();

    // While a batch is open, appended lines are reported at once but go into the document
    // together when it closes (before the event loop runs again), so a read that brings many
    // lines costs one edit and one layout of the visible end rather than one per line.
    class TBatch {
    public:
        explicit TBatch(TChatPane& Pane);
        ~TBatch();
        TBatch(const TBatch&) = delete;
        TBatch& operator=(const TBatch&) = delete;

    private:
        TChatPane& Pane_;
    };

    // The display line (after word wrap) at the caret, and the one after it ("" at the end).
    QString CaretDisplayLine(QString* Next = nullptr);
    void SelectCaretDisplayLine();

    QPushButton* NewLinesMarker = nullptr;  // "new lines below", while the view is scrolled up

    std::function<void(const QString& Line)> OnChange;  // once per appended line
    std::function<void()> OnClear;                      // the pane was emptied
    std::function<void()> OnMousePress;   // any button
    std::function<void()> OnClick;        // a click (press and release without dragging)
    std::function<void(const QString& Href)> OnLinkClick;  // a click on a reference drawn as a link

    // Whether the end of the conversation is in view (nothing new is hidden below).
    bool AtEnd() const;

protected:
    void keyPressEvent(QKeyEvent* Event) override;
    void mousePressEvent(QMouseEvent* Event) override;
    void mouseReleaseEvent(QMouseEvent* Event) override;
    void mouseMoveEvent(QMouseEvent* Event) override;
    void resizeEvent(QResizeEvent* Event) override;
    void changeEvent(QEvent* Event) override;

private:
    void InsertPending();
    void ScrollToEndLater();
    void PlaceMarker();
    QTextCharFormat SpanFormat(const TStyledSpan& Span) const;
    QString Pending_;  // appended lines not yet in the document, with their separators
    QList<TStyledSpan> PendingSpans_;  // their styled parts, as positions in Pending_
    int Batches_ = 0;  // batches open
    QTextCursor End_;  // where the next line goes, and in what format
    QTextCharFormat EndFormat_;
    bool EndFormatKnown_ = false;
    bool HasLines_ = false;
    static constexpr qsizetype MaxBlockLines = 24;  // lines one text block holds at most
    qsizetype BlockLines_ = 0;                       // lines in the last block
    bool LastSways_ = false;  // the last block holds a line that sways the text direction
    bool ScrollPending_ = false;
    bool Follow_ = true;  // the view was at the end when this turn's first line came
    QPoint PressPos_;
};
