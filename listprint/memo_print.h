#pragma once
// TMemoPrint: the print control that takes its lines from a memo (a QPlainTextEdit). A memo is
// bound explicitly through AsgnMemo, or, while none is bound, the first memo that joins the
// same parent is adopted once it is fully built.
#include "list_print.h"

#include <QPointer>

class QPlainTextEdit;

// The control's private messages: sent at every page start (ignored), and "load from the memo".
inline constexpr unsigned WM_MEMOPRINT_LOAD = 0x1401;

class TMemoPrint : public TCustomListPrint {
public:
    explicit TMemoPrint(QWidget* Owner = nullptr);
    ~TMemoPrint() override;

    QPlainTextEdit* AsgnMemo() const { return Memo_; }
    void SetAsgnMemo(QPlainTextEdit* Value);

    void LoadFromMemo();
    void FillFromMemo();

    // The memo's lines as a list: a line break at the very end starts no further line.
    static QStringList MemoLines(const QPlainTextEdit& Memo);

protected:
    void HandleListPrintMessage(unsigned Msg) override;
    bool eventFilter(QObject* Watched, QEvent* Event) override;
    bool event(QEvent* Event) override;

private:
    void WatchOwner();
    QPointer<QPlainTextEdit> Memo_;
    QPointer<QWidget> WatchedOwner_;
};
