#include "find.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QScrollBar>
#include <QTextBlock>
#include <QTimer>
#include <QToolButton>

#include <algorithm>
#include <functional>
#include <utility>

namespace {
// One slice of the search: short enough that typing and a flood of lines go on meanwhile.
constexpr qint64 SliceMs = 8;
// Matches marked at once: a view never shows more.
constexpr int MaxMarks = 2000;
}  // namespace

TFindBar::TFindBar(QPlainTextEdit* Pane, QWidget* Parent) : QWidget(Parent), Pane_(Pane) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(2, 2, 2, 2);
    Field = new QLineEdit;
    Field->setPlaceholderText(QStringLiteral("Find"));
    Field->setAccessibleName(QStringLiteral("Find in the text"));
    Field->setClearButtonEnabled(true);
    Field->installEventFilter(this);
    Count = new QLabel;
    Count->setAccessibleDescription(QStringLiteral("Matches found"));
    auto button = [this](const QString& Text, const QString& Tip, void (TFindBar::*Slot)()) {
        auto* b = new QToolButton;
        b->setText(Text);
        b->setToolTip(Tip);
        b->setAccessibleName(Tip);
        connect(b, &QToolButton::clicked, this, Slot);
        return b;
    };
    layout->addWidget(Field, 1);
    layout->addWidget(Count);
    layout->addWidget(button(QStringLiteral("\u25b4"), QStringLiteral("Previous match (Shift+Enter)"), &TFindBar::Previous));
    layout->addWidget(button(QStringLiteral("\u25be"), QStringLiteral("Next match (Enter)"), &TFindBar::Next));
    layout->addWidget(button(QStringLiteral("\u2715"), QStringLiteral("Close (Esc)"), &TFindBar::Close));
    hide();

    Slice_ = new QTimer(this);
    Slice_->setSingleShot(true);
    Slice_->setInterval(0);
    connect(Slice_, &QTimer::timeout, this, &TFindBar::SearchSlice);
    connect(Field, &QLineEdit::textChanged, this, [this] { Restart(CurrentPos_ >= 0 ? CurrentPos_ : Pane_->cursorForPosition({0, 0}).position()); });
    connect(Pane_->document(), &QTextDocument::contentsChange, this, &TFindBar::TextChanged);
    connect(Pane_->verticalScrollBar(), &QScrollBar::valueChanged, this, &TFindBar::UpdateMarks);
    Viewport_ = Pane_->viewport();
    Viewport_->installEventFilter(this);
}

bool TFindBar::MatchesCase(const QString& Text) {
    return std::ranges::any_of(Text, [](QChar C) { return C.isUpper(); });
}

void TFindBar::Open() {
    if (QWidget* focus = QApplication::focusWidget(); focus && !isAncestorOf(focus)) FocusBack_ = focus;
    show();
    Field->setFocus();
    Field->selectAll();
    Restart(Pane_->cursorForPosition({0, 0}).position());
}

void TFindBar::Close() {
    hide();
    Slice_->stop();
    Below_.clear(), Above_.clear();
    BelowDone_ = AboveDone_ = true;
    CurrentPos_ = -1;
    Pane_->setExtraSelections({});
    if (FocusBack_ && FocusBack_->isVisible()) FocusBack_->setFocus();
}

// The search starts anew from the block holding Anchor: the first match at or after the anchor
// becomes the current one, or else the nearest before it.
void TFindBar::Restart(int Anchor) {
    Slice_->stop();
    RestartAt_ = -1;
    Needle_ = isHidden() ? QString() : Field->text();
    Below_.clear(), Above_.clear();
    CurrentPos_ = -1;
    const QTextBlock block = Pane_->document()->findBlock(Anchor);
    Anchor_ = Anchor;
    BelowAt_ = block.isValid() ? block.position() : 0;
    AboveBlock_ = block.isValid() ? block.blockNumber() - 1 : -1;
    BelowDone_ = AboveDone_ = Needle_.isEmpty();
    SearchSlice();
}

void TFindBar::SearchSlice() {
    if (RestartAt_ >= 0) return Restart(std::exchange(RestartAt_, -1));
    QElapsedTimer slice;
    slice.start();
    while (!Complete() && slice.elapsed() < SliceMs) {
        if (!BelowDone_)
            BelowDone_ = !StepBelow();
        else
            AboveDone_ = !StepAbove();
    }
    ChooseCurrent();
    UpdateMarks();
    UpdateCount();
    if (!Complete()) Slice_->start();
}

namespace {
// The matches of Needle in Text from From on, as positions in the document (Base is where Text
// starts), one after another without overlap.
void Collect(const QString& Text, qsizetype From, int Base, const QString& Needle, Qt::CaseSensitivity Case,
             const std::function<void(int)>& Found) {
    for (qsizetype at = Text.indexOf(Needle, From, Case); at >= 0; at = Text.indexOf(Needle, at + Needle.size(), Case))
        Found(Base + int(at));
}
}  // namespace

// One block from the search position on; false when the end of the text is reached.
bool TFindBar::StepBelow() {
    const QTextBlock block = Pane_->document()->findBlock(BelowAt_);
    if (!block.isValid()) return false;
    const QString text = block.text();
    const Qt::CaseSensitivity cs = MatchesCase(Needle_) ? Qt::CaseSensitive : Qt::CaseInsensitive;
    Collect(text, BelowAt_ - block.position(), block.position(), Needle_, cs, [this](int At) { Below_.push_back(At); });
    BelowAt_ = block.position() + int(text.size());
    const QTextBlock next = block.next();
    if (!next.isValid()) return false;
    BelowAt_ = next.position();
    return true;
}

// One block further back; false when the start is reached.
bool TFindBar::StepAbove() {
    const QTextBlock block = Pane_->document()->findBlockByNumber(AboveBlock_);
    if (!block.isValid()) return false;
    const Qt::CaseSensitivity cs = MatchesCase(Needle_) ? Qt::CaseSensitive : Qt::CaseInsensitive;
    std::vector<int> found;
    Collect(block.text(), 0, block.position(), Needle_, cs, [&](int At) { found.push_back(At); });
    Above_.insert(Above_.end(), found.rbegin(), found.rend());
    return --AboveBlock_ >= 0;
}

int TFindBar::MatchAt(int Index) const {
    const int above = int(Above_.size());
    return Index < above ? Above_[size_t(above - 1 - Index)] : Below_[size_t(Index - above)];
}

int TFindBar::Current() const {
    if (CurrentPos_ < 0) return 0;
    const auto below = std::ranges::lower_bound(Below_, CurrentPos_);
    if (below != Below_.end() && *below == CurrentPos_) return int(Above_.size() + (below - Below_.begin())) + 1;
    const auto above = std::ranges::lower_bound(Above_, CurrentPos_, std::greater<>());
    return above != Above_.end() && *above == CurrentPos_ ? int(Above_.end() - above) : 0;
}

std::vector<int> TFindBar::MatchPositions() const {
    std::vector<int> all(Above_.rbegin(), Above_.rend());
    all.insert(all.end(), Below_.begin(), Below_.end());
    return all;
}

void TFindBar::ChooseCurrent() {
    if (CurrentPos_ >= 0) return;
    const auto after = std::ranges::lower_bound(Below_, Anchor_);
    if (after != Below_.end())
        CurrentPos_ = *after;
    else if (BelowDone_ && !Below_.empty())
        CurrentPos_ = Below_.back();
    else if (BelowDone_ && !Above_.empty())
        CurrentPos_ = Above_.front();
    if (CurrentPos_ >= 0) Show(Current() - 1);
}

void TFindBar::Next() {
    if (Matches() == 0) return;
    Show(Current() % Matches());
}

void TFindBar::Previous() {
    if (Matches() == 0) return;
    Show((Current() + Matches() - 2) % Matches());
}

// The caret goes to the current match, which brings it into view; it is marked apart.
void TFindBar::Show(int Index) {
    CurrentPos_ = MatchAt(Index);
    QTextCursor match(Pane_->document());
    match.setPosition(CurrentPos_ + MatchLength());
    Pane_->setTextCursor(match);
    Pane_->ensureCursorVisible();
    UpdateMarks();
    UpdateCount();
}

// Only the matches in view are marked: a long scrollback may hold millions.
void TFindBar::UpdateMarks() {
    if (isHidden() || Needle_.isEmpty()) return;
    const int top = Pane_->cursorForPosition({0, 0}).position() - MatchLength();
    const int bottom = Pane_->cursorForPosition({Pane_->viewport()->width(), Pane_->viewport()->height()}).position();
    QList<QTextEdit::ExtraSelection> marks;
    auto mark = [&](int At) {
        QTextEdit::ExtraSelection s{QTextCursor(Pane_->document()), {}};
        s.cursor.setPosition(At);
        s.cursor.setPosition(At + MatchLength(), QTextCursor::KeepAnchor);
        s.format.setBackground(At == CurrentPos_ ? QColor(0xff, 0x96, 0x32) : QColor(0x9c, 0xd0, 0xff));
        s.format.setForeground(Qt::black);
        marks.append(s);
    };
    for (auto at = std::ranges::lower_bound(Below_, top); at != Below_.end() && *at <= bottom && marks.size() < MaxMarks; ++at)
        mark(*at);
    for (auto at = std::ranges::lower_bound(Above_, bottom, std::greater<>()); at != Above_.end() && *at >= top && marks.size() < MaxMarks; ++at)
        mark(*at);
    Pane_->setExtraSelections(marks);
}

void TFindBar::UpdateCount() {
    const bool none = Needle_.isEmpty() || (Complete() && Matches() == 0);
    const QString more = Complete() ? QString() : QStringLiteral("\u2026");
    Count->setText(Needle_.isEmpty() ? QString()
                   : none        ? QStringLiteral("No matches")
                   : Current()   ? QStringLiteral("%1 of %2%3").arg(Current()).arg(Matches()).arg(more)
                                 : QStringLiteral("%1 found%2").arg(Matches()).arg(more));
    Field->setStyleSheet(none && !Needle_.isEmpty() ? QStringLiteral("background: #ffd0d0") : QString());
}

// Text added past what was searched is searched as it comes; any other change of the text
// searches it anew from the current match.
void TFindBar::TextChanged(int From, int Removed, int Added) {
    if (Needle_.isEmpty() || (Removed == 0 && Added == 0)) return;
    if (From >= BelowAt_ && (Removed == 0 || Removed == Added)) {
        if (BelowDone_) BelowDone_ = false, Slice_->start();
        return;
    }
    // Not while the document is still telling of its change: the next turn searches. What was
    // found no longer holds meanwhile.
    if (RestartAt_ < 0)
        RestartAt_ = CurrentPos_ >= 0 ? std::min(CurrentPos_, Pane_->document()->characterCount() - 1) : 0;
    Below_.clear(), Above_.clear();
    BelowDone_ = AboveDone_ = false;
    CurrentPos_ = -1;
    Slice_->start();
}

bool TFindBar::eventFilter(QObject* Watched, QEvent* Event) {
    if (Watched == Viewport_ && Event->type() == QEvent::Resize) UpdateMarks();
    if (Watched != Field || Event->type() != QEvent::KeyPress) return QWidget::eventFilter(Watched, Event);
    const auto* key = static_cast<QKeyEvent*>(Event);
    const bool back = key->modifiers() & Qt::ShiftModifier;
    switch (key->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_F3:
        back ? Previous() : Next();
        return true;
    case Qt::Key_Escape:
        Close();
        return true;
    default:
        return false;
    }
}
