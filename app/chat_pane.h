#pragma once
// The conversation pane: text is only ever appended line by line or cleared; keys are not
// acted on; a click selects the display line under the caret. The lines live in a compact store
// (line_store.h); only the lines in view are laid out, and only while they are.
#include "line_store.h"

#include <QAbstractScrollArea>
#include <QTextCharFormat>

#include <functional>
#include <map>
#include <memory>
#include <utility>
#include <vector>

class QMenu;
class QPlainTextEdit;
class QPushButton;
class QTextLayout;
class TChatPane;

// A pane's whole text as the user typed or received it: lines separated by LF, no-break spaces
// kept (a plain-text reading turns them into blanks, and 0xA0 is a character of the wire's code
// page).
QString PaneText(const QPlainTextEdit& Pane);
QString PaneText(const TChatPane& Pane);

class TChatPane : public QAbstractScrollArea {
public:
    explicit TChatPane(QWidget* Parent = nullptr);
    ~TChatPane() override;

    // Appends one line (it may hold CR LF pairs, which start further lines) and reports it.
    // Spans are positions in Line; they may overlap, and the later one wins where they differ.
    void AppendLine(const QString& Line, const QList<TStyledSpan>& Spans = {});
    void ClearLines();

    // Appending costs the same inside a batch as outside (the view catches up once per
    // event-loop turn either way); a batch is kept for the callers that mark a read's lines.
    class TBatch {
    public:
        explicit TBatch(TChatPane&) {}
        TBatch(const TBatch&) = delete;
        TBatch& operator=(const TBatch&) = delete;
    };

    // The lines as appended, CR LF pairs read as LF, and their styled parts in those positions.
    qsizetype LineCount() const { return Lines_.Count(); }
    QString Line(qsizetype Index) const;
    QList<TStyledSpan> LineSpans(qsizetype Index) const;
    // The whole text with no-break spaces read as blanks, as a plain-text edit reads it.
    QString toPlainText() const;

    // The display line (after word wrap) at the caret, and the one after it ("" at the end).
    QString CaretDisplayLine(QString* Next = nullptr);
    void SelectCaretDisplayLine();

    // Positions count the characters of PaneText. The caret moves and the selection goes; or
    // the selection runs from the anchor to the new caret.
    enum class TMove { Move, KeepAnchor };
    void SetCaretPosition(qsizetype At, TMove Move = TMove::Move);
    qsizetype CaretPosition() const;
    QString SelectedText() const;
    // Where position At is drawn in the viewport (a caret's rectangle), empty when out of view.
    QRect PositionRect(qsizetype At);
    // How the character at At is drawn apart (no properties for plain text).
    QTextCharFormat FormatAt(qsizetype At) const;
    // The reference drawn as a link under a point of the viewport ("" where none is).
    QString AnchorAt(const QPoint& Pos);

    QPushButton* NewLinesMarker = nullptr;  // "new lines below", while the view is scrolled up

    std::function<void(const QString& Line)> OnChange;  // once per appended line
    std::function<void()> OnClear;                      // the pane was emptied
    std::function<void()> OnMousePress;   // any button
    std::function<void()> OnClick;        // a click (press and release without dragging)
    std::function<void(const QString& Href)> OnLinkClick;  // a click on a reference drawn as a link

    // Whether the end of the conversation is in view (nothing new is hidden below).
    bool AtEnd() const;

    // For finding: the first and last stored line in view (the last below the first when the
    // pane is empty), a part of a line brought into view with the caret after it, and parts
    // marked apart (the current one in a colour of its own) until the next call or a clear.
    struct TMark {
        qsizetype Line = 0, Offset = 0, Length = 0;
        bool Current = false;
    };
    std::pair<qsizetype, qsizetype> LinesInView();
    void ShowPart(qsizetype Line, qsizetype Offset, qsizetype Length);
    void SetMarks(std::vector<TMark> Marks);
    // The stored line under a point of the viewport ("" where none is).
    QString LineAt(const QPoint& Pos);
    // The menu a right click shows (Copy, Copy Link Location, Select All); the caller owns it.
    QMenu* createStandardContextMenu(const QPoint& Pos);

protected:
    void paintEvent(QPaintEvent* Event) override;
    void keyPressEvent(QKeyEvent* Event) override;
    void mousePressEvent(QMouseEvent* Event) override;
    void mouseReleaseEvent(QMouseEvent* Event) override;
    void mouseMoveEvent(QMouseEvent* Event) override;
    void mouseDoubleClickEvent(QMouseEvent* Event) override;
    void contextMenuEvent(QContextMenuEvent* Event) override;
    void resizeEvent(QResizeEvent* Event) override;
    void changeEvent(QEvent* Event) override;
    void scrollContentsBy(int Dx, int Dy) override;

private:
    // A place in the text: a stored line and a character of it.
    struct TPos {
        qsizetype Line = 0;
        qsizetype Offset = 0;
        auto operator<=>(const TPos&) const = default;
    };
    struct TPlaced {  // a line in view and the y of its top in the viewport
        qsizetype Line = 0;
        qreal Top = 0;
    };

    QTextLayout& LayoutOf(qsizetype Line);
    qreal HeightOf(qsizetype Line);
    void ForgetLayouts();
    void PruneLayouts();
    std::vector<TPlaced> Placed();
    void UpdateScrollRange();
    TPos HitTest(const QPoint& Pos);
    TPos PosOf(qsizetype At) const;
    qsizetype AtOf(TPos Pos) const;
    QString TextBetween(TPos From, TPos To) const;
    QTextCharFormat SpanFormat(const TStyledSpan& Span) const;
    void ScrollToEndLater();
    void PlaceMarker();
    void CopySelection(bool ToClipboard);

    TLineStore Lines_;
    // Layouts of the lines in view and of the last page, made at the viewport's width.
    std::map<qsizetype, std::unique_ptr<QTextLayout>> Layouts_;
    int LayoutWidth_ = -1;
    TPos Anchor_, Caret_;
    std::vector<TMark> Marks_;  // by line
    bool Selecting_ = false;
    bool ScrollPending_ = false;
    bool Follow_ = true;  // the view was at the end when this turn's first line came
    QPoint PressPos_;
};
