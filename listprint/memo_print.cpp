#include "memo_print.h"

#include "progress_dialog.h"
#include "registry_settings.h"

#include <QApplication>
#include <QChildEvent>
#include <QPlainTextEdit>
#include <QTimer>

TMemoPrint::TMemoPrint(QWidget* Owner) : TCustomListPrint(Owner) {
    SetMeasureUnit(muMillimeters);
    SetZoomLocation(zlCenter);
    SetReadRegistryExportGroup(false);
    WatchOwner();
}

TMemoPrint::~TMemoPrint() { Memo_ = nullptr; }

void TMemoPrint::SetAsgnMemo(QPlainTextEdit* Value) {
    if (Value == Memo_) return;
    Memo_ = Value;  // a guarded pointer: it empties itself when the memo is destroyed
}

// Watches the parent for new children: a memo joining it while none is bound is adopted.
void TMemoPrint::WatchOwner() {
    if (WatchedOwner_) WatchedOwner_->removeEventFilter(this);
    WatchedOwner_ = parentWidget();
    if (WatchedOwner_) WatchedOwner_->installEventFilter(this);
}

bool TMemoPrint::event(QEvent* Event) {
    if (Event->type() == QEvent::ParentChange) WatchOwner();
    return TCustomListPrint::event(Event);
}

bool TMemoPrint::eventFilter(QObject* Watched, QEvent* Event) {
    if (Watched == WatchedOwner_ && Event->type() == QEvent::ChildAdded) {
        // The child is announced from inside its own construction: decide once it is built.
        QPointer<QObject> child = static_cast<QChildEvent*>(Event)->child();
        QTimer::singleShot(0, this, [this, child] {
            auto* memo = qobject_cast<QPlainTextEdit*>(child.data());
            if (memo && !Memo_ && memo->parent() == WatchedOwner_) SetAsgnMemo(memo);
        });
    }
    if (Watched == WatchedOwner_ && Event->type() == QEvent::ChildRemoved &&
        static_cast<QChildEvent*>(Event)->child() == Memo_.data())
        Memo_ = nullptr;
    return TCustomListPrint::eventFilter(Watched, Event);
}

QStringList TMemoPrint::MemoLines(const QPlainTextEdit& Memo) {
    QString text = Memo.toPlainText();
    if (text.isEmpty()) return {};
    if (text.endsWith(u'\n')) text.chop(1);
    return text.split(u'\n');
}

void TMemoPrint::LoadFromMemo() {
    LoadRegistrySettings(*this);
    SetZoomLocation(zlTopCenter);
    Clear();
    BuildHeaderFooter();
    QApplication::setOverrideCursor(Qt::WaitCursor);
    BeginUpdate();
    // The update, the progress dialog and the cursor are restored whatever happens.
    struct TRestore {
        TMemoPrint* Self;
        ~TRestore() {
            Self->EndUpdate();
            Self->ShowProgressState(QStringLiteral("<FINISH>"), QString(), 0, 0, 0);
            QApplication::restoreOverrideCursor();
        }
    } restore{this};
    if (Memo_) FillFromMemo();
}

void TMemoPrint::FillFromMemo() {
    if (!Memo_) {
        ShowMessage(QStringLiteral("No Memo assigned to ListPrinter!"));
        return;
    }
    BeginDoc();
    struct TEnd {
        TMemoPrint* Self;
        ~TEnd() noexcept(false) {
            if (std::uncaught_exceptions() == 0)
                Self->EndDoc();
            else
                try {
                    Self->EndDoc();
                } catch (...) {
                }
        }
    } end{this};
    SetLines(MemoLines(*Memo_));
    PrintLines(false);
}

void TMemoPrint::HandleListPrintMessage(unsigned Msg) {
    if (Msg == WM_MEMOPRINT_LOAD) LoadFromMemo();
    // The page-start message needs nothing here.
}
