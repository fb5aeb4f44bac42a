#pragma once
// The conversation pane: text is only ever appended line by line or cleared; keys are not
// acted on; a click selects the display line under the caret.
#include <QPlainTextEdit>

#include <functional>

class TChatPane : public QPlainTextEdit {
public:
    explicit TChatPane(QWidget* Parent = nullptr);

    // Appends one line (it may hold CR LF pairs, which start further lines) and reports it.
    void AppendLine(const QString& Line);
    void ClearLines();

    // The display line (after word wrap) at the caret, and the one after it ("" at the end).
    QString CaretDisplayLine(QString* Next = nullptr);
    void SelectCaretDisplayLine();

    std::function<void()> OnChange;       // once per appended line
    std::function<void()> OnMousePress;   // any button
    std::function<void()> OnClick;        // a click (press and release without dragging)

protected:
    void keyPressEvent(QKeyEvent* Event) override;
    void mousePressEvent(QMouseEvent* Event) override;
    void mouseReleaseEvent(QMouseEvent* Event) override;

private:
    void ScrollToEndLater();
    bool HasLines_ = false;
    bool ScrollPending_ = false;
    QPoint PressPos_;
};
