#pragma once
// Find in a text pane: a bar under the pane with the text to find and the count ("3 of 17").
// Every match in view is marked, the current one apart; Enter or F3 goes to the next,
// Shift+Enter or Shift+F3 to the previous (both wrap around), Esc closes the bar and gives the
// focus back. The search ignores case unless the text holds a capital letter.
//
// The pane is searched line by line in slices of a few milliseconds per event-loop turn, from
// the view's top to the end first and then from there back to the start, so the nearest match
// is shown at once in any scrollback while the count goes on; lines appended meanwhile are
// searched as they come and never move the current match. Any other change of the text
// searches it anew.
#include <QWidget>

#include <memory>
#include <vector>

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QTimer;
class TChatPane;
class TFindTarget;

class TFindBar : public QWidget {
public:
    explicit TFindBar(TChatPane* Pane, QWidget* Parent = nullptr);
    explicit TFindBar(QPlainTextEdit* Pane, QWidget* Parent = nullptr);
    ~TFindBar() override;

    void Open();  // shows the bar with the focus in its field
    void Close();
    void Next();
    void Previous();

    // Matches found so far, the current one's number (1-based, 0 for none), and whether the
    // whole text has been searched.
    int Matches() const { return int(Above_.size() + Below_.size()); }
    int Current() const;
    bool Complete() const { return AboveDone_ && BelowDone_; }
    // Where the matches are, in order: the line in the upper 32 bits, the offset in it below.
    std::vector<qint64> MatchPositions() const;
    int MatchLength() const { return int(Needle_.size()); }
    // The case rule: a capital letter in the text makes the search match case.
    static bool MatchesCase(const QString& Text);

    QLineEdit* Field = nullptr;
    QLabel* Count = nullptr;

protected:
    bool eventFilter(QObject* Watched, QEvent* Event) override;

private:
    TFindBar(std::unique_ptr<TFindTarget> Target, QWidget* Parent);
    void Restart(qsizetype Line);
    void SearchSlice();
    bool StepBelow();
    bool StepAbove();
    qint64 MatchAt(int Index) const;
    void ChooseCurrent();
    void Show(int Index);
    void UpdateMarks();
    void UpdateCount();
    void Appended();
    void Changed();
    qsizetype TopLine() const;

    std::unique_ptr<TFindTarget> Target_;
    QObject* Viewport_ = nullptr;  // compared only: it may be going away
    QWidget* FocusBack_ = nullptr;
    QTimer* Slice_ = nullptr;
    QString Needle_;
    // Matches from the anchor's line on (ascending), and before it (descending, nearest first).
    std::vector<qint64> Below_, Above_;
    qint64 Anchor_ = 0;
    qsizetype BelowLine_ = 0;   // the next line to search below
    qsizetype AboveLine_ = -1;  // the next line to search above (-1: none left)
    bool BelowDone_ = true, AboveDone_ = true;
    qint64 CurrentPos_ = -1;     // the current match (-1: none chosen yet)
    qsizetype RestartLine_ = -1;  // the text changed: search anew from this line in the next turn
};
