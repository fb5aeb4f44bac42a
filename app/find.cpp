#include "find.h"

#include "chat_pane.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
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
const QColor CurrentColour(0xff, 0x96, 0x32), MatchColour(0x9c, 0xd0, 0xff);

constexpr qint64 Key(qsizetype Line, qsizetype Offset) { return (qint64(Line) << 32) | qint64(Offset); }
constexpr qsizetype LineOf(qint64 Key) { return qsizetype(Key >> 32); }
constexpr qsizetype OffsetOf(qint64 Key) { return qsizetype(Key & 0xffffffff); }
}  // namespace

// What the bar searches: lines of text that are appended at the end or else changed as a whole.
class TFindTarget {
public:
    virtual ~TFindTarget() = default;
    virtual QAbstractScrollArea* View() const = 0;
    virtual qsizetype LineCount() const = 0;
    virtual QString LineText(qsizetype Line) const = 0;
    // The first and the last line in view (the last below the first when none is).
    virtual std::pair<qsizetype, qsizetype> LinesInView() = 0;
    // Brings a match into view with the caret after it.
    virtual void ShowMatch(qsizetype Line, qsizetype Offset, qsizetype Length) = 0;
    // Marks the given matches (those in view), the current one apart; none clears.
    virtual void Mark(const std::vector<qint64>& Matches, qsizetype Length, qint64 Current) = 0;
    // Set by the bar: lines were appended, or the text changed otherwise.
    std::function<void()> OnAppended, OnChanged;
};

namespace {
// The conversation pane: lines are appended one at a time or all cleared.
class TPaneTarget final : public TFindTarget {
public:
    explicit TPaneTarget(TChatPane* Pane) : Pane_(Pane) {
        Pane->OnChange = [this, before = Pane->OnChange](const QString& Line) {
            if (before) before(Line);
            if (OnAppended) OnAppended();
        };
        Pane->OnClear = [this, before = Pane->OnClear] {
            if (before) before();
            if (OnChanged) OnChanged();
        };
    }
    QAbstractScrollArea* View() const override { return Pane_; }
    qsizetype LineCount() const override { return Pane_->LineCount(); }
    QString LineText(qsizetype Line) const override { return Pane_->Line(Line); }
    std::pair<qsizetype, qsizetype> LinesInView() override { return Pane_->LinesInView(); }
    void ShowMatch(qsizetype Line, qsizetype Offset, qsizetype Length) override { Pane_->ShowPart(Line, Offset, Length); }
    void Mark(const std::vector<qint64>& Matches, qsizetype Length, qint64 Current) override {
        std::vector<TChatPane::TMark> marks;
        for (const qint64 at : Matches) marks.push_back({LineOf(at), OffsetOf(at), Length, at == Current});
        Pane_->SetMarks(std::move(marks));
    }

private:
    TChatPane* Pane_;
};

// A plain-text edit (the History page): its blocks are the lines.
class TEditTarget final : public TFindTarget {
public:
    explicit TEditTarget(QPlainTextEdit* Edit) : Edit_(Edit) {
        QObject::connect(Edit->document(), &QTextDocument::contentsChange, Edit, [this](int, int Removed, int Added) {
            if ((Removed != 0 || Added != 0) && OnChanged) OnChanged();
        });
    }
    QAbstractScrollArea* View() const override { return Edit_; }
    qsizetype LineCount() const override { return Edit_->document()->blockCount(); }
    QString LineText(qsizetype Line) const override { return Edit_->document()->findBlockByNumber(int(Line)).text(); }
    std::pair<qsizetype, qsizetype> LinesInView() override {
        const QRect r = Edit_->viewport()->rect();
        return {Edit_->cursorForPosition(r.topLeft()).blockNumber(), Edit_->cursorForPosition(r.bottomRight()).blockNumber()};
    }
    void ShowMatch(qsizetype Line, qsizetype Offset, qsizetype Length) override {
        QTextCursor match(Edit_->document());
        match.setPosition(Position(Line, Offset + Length));
        Edit_->setTextCursor(match);
        Edit_->ensureCursorVisible();
    }
    void Mark(const std::vector<qint64>& Matches, qsizetype Length, qint64 Current) override {
        QList<QTextEdit::ExtraSelection> marks;
        for (const qint64 at : Matches) {
            QTextEdit::ExtraSelection s{QTextCursor(Edit_->document()), {}};
            s.cursor.setPosition(Position(LineOf(at), OffsetOf(at)));
            s.cursor.setPosition(Position(LineOf(at), OffsetOf(at) + Length), QTextCursor::KeepAnchor);
            s.format.setBackground(at == Current ? CurrentColour : MatchColour);
            s.format.setForeground(Qt::black);
            marks.append(s);
        }
        Edit_->setExtraSelections(marks);
    }

private:
    int Position(qsizetype Line, qsizetype Offset) const {
        return Edit_->document()->findBlockByNumber(int(Line)).position() + int(Offset);
    }
    QPlainTextEdit* Edit_;
};
}  // namespace

TFindBar::TFindBar(TChatPane* Pane, QWidget* Parent) : TFindBar(std::make_unique<TPaneTarget>(Pane), Parent) {}
TFindBar::TFindBar(QPlainTextEdit* Pane, QWidget* Parent) : TFindBar(std::make_unique<TEditTarget>(Pane), Parent) {}
TFindBar::~TFindBar() = default;

TFindBar::TFindBar(std::unique_ptr<TFindTarget> Target, QWidget* Parent) : QWidget(Parent), Target_(std::move(Target)) {
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
    connect(Field, &QLineEdit::textChanged, this, [this] { Restart(CurrentPos_ >= 0 ? LineOf(CurrentPos_) : TopLine()); });
    Target_->OnAppended = [this] { Appended(); };
    Target_->OnChanged = [this] { Changed(); };
    connect(Target_->View()->verticalScrollBar(), &QScrollBar::valueChanged, this, &TFindBar::UpdateMarks);
    Viewport_ = Target_->View()->viewport();
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
    Restart(TopLine());
}

void TFindBar::Close() {
    hide();
    Slice_->stop();
    Below_.clear(), Above_.clear();
    BelowDone_ = AboveDone_ = true;
    CurrentPos_ = -1;
    RestartLine_ = -1;
    Target_->Mark({}, 0, -1);
    if (FocusBack_ && FocusBack_->isVisible()) FocusBack_->setFocus();
}

qsizetype TFindBar::TopLine() const { return std::max<qsizetype>(0, Target_->LinesInView().first); }

// The search starts anew from Line: the first match at or after the anchor becomes the current
// one, or else the nearest before it.
void TFindBar::Restart(qsizetype Line) {
    Slice_->stop();
    RestartLine_ = -1;
    Needle_ = isHidden() ? QString() : Field->text();
    Below_.clear(), Above_.clear();
    CurrentPos_ = -1;
    Line = std::clamp<qsizetype>(Line, 0, std::max<qsizetype>(0, Target_->LineCount() - 1));
    Anchor_ = Key(Line, 0);
    BelowLine_ = Line;
    AboveLine_ = Line - 1;
    BelowDone_ = AboveDone_ = Needle_.isEmpty();
    SearchSlice();
}

void TFindBar::SearchSlice() {
    if (RestartLine_ >= 0) return Restart(std::exchange(RestartLine_, -1));
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
// The matches of Needle in Text, one after another without overlap.
void Collect(const QString& Text, const QString& Needle, Qt::CaseSensitivity Case, const std::function<void(qsizetype)>& Found) {
    for (qsizetype at = Text.indexOf(Needle, 0, Case); at >= 0; at = Text.indexOf(Needle, at + Needle.size(), Case))
        Found(at);
}
}  // namespace

// One line from the search position on; false when the end of the text is reached.
bool TFindBar::StepBelow() {
    if (BelowLine_ >= Target_->LineCount()) return false;
    const Qt::CaseSensitivity cs = MatchesCase(Needle_) ? Qt::CaseSensitive : Qt::CaseInsensitive;
    const qsizetype line = BelowLine_++;
    Collect(Target_->LineText(line), Needle_, cs, [&](qsizetype At) { Below_.push_back(Key(line, At)); });
    return BelowLine_ < Target_->LineCount();
}

// One line further back; false when the start is reached.
bool TFindBar::StepAbove() {
    if (AboveLine_ < 0) return false;
    const Qt::CaseSensitivity cs = MatchesCase(Needle_) ? Qt::CaseSensitive : Qt::CaseInsensitive;
    std::vector<qint64> found;
    const qsizetype line = AboveLine_;
    Collect(Target_->LineText(line), Needle_, cs, [&](qsizetype At) { found.push_back(Key(line, At)); });
    Above_.insert(Above_.end(), found.rbegin(), found.rend());
    return --AboveLine_ >= 0;
}

qint64 TFindBar::MatchAt(int Index) const {
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

std::vector<qint64> TFindBar::MatchPositions() const {
    std::vector<qint64> all(Above_.rbegin(), Above_.rend());
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

// The current match is brought into view with the caret after it, and marked apart.
void TFindBar::Show(int Index) {
    CurrentPos_ = MatchAt(Index);
    Target_->ShowMatch(LineOf(CurrentPos_), OffsetOf(CurrentPos_), MatchLength());
    UpdateMarks();
    UpdateCount();
}

// Only the matches in view are marked: a long scrollback may hold millions.
void TFindBar::UpdateMarks() {
    if (isHidden() || Needle_.isEmpty()) return;
    const auto [first, last] = Target_->LinesInView();
    const qint64 top = Key(first, 0), bottom = Key(last + 1, 0);
    std::vector<qint64> marks;
    for (auto at = std::ranges::lower_bound(Below_, top); at != Below_.end() && *at < bottom && marks.size() < MaxMarks; ++at)
        marks.push_back(*at);
    for (auto at = std::ranges::upper_bound(Above_, bottom, std::greater<>()); at != Above_.end() && *at >= top && marks.size() < MaxMarks; ++at)
        marks.push_back(*at);
    Target_->Mark(marks, MatchLength(), CurrentPos_);
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

// Lines appended past what was searched are searched as they come.
void TFindBar::Appended() {
    if (Needle_.isEmpty() || RestartLine_ >= 0) return;
    if (BelowDone_) BelowDone_ = false, Slice_->start();
}

// Any other change searches the text anew from the current match's line, in the next turn:
// not while the text is still telling of its change. What was found no longer holds meanwhile.
void TFindBar::Changed() {
    if (Needle_.isEmpty()) return;
    if (RestartLine_ < 0) RestartLine_ = CurrentPos_ >= 0 ? LineOf(CurrentPos_) : 0;
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
