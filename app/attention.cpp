#include "attention.h"

#include "notify.h"

#include <QApplication>
#include <QRegularExpression>
#include <QWindow>

TAttention::TAttention(QWidget* Window) : QObject(Window), Window_(Window) {}

void TAttention::ChatLine(const QString& Sender, const QString& Text, bool Own, bool Unseen) {
    if (!Enabled_ || Own || !Window_ || (Present() && !Unseen)) return;
    QApplication::alert(Window_);
    ++Lines_;
    ++BySender_[Sender];
    const bool one = BySender_.size() == 1;
    Summary_ = one ? (Lines_ == 1 ? Sender : QStringLiteral("%1 (%2 new lines)").arg(Sender).arg(Lines_))
                   : QStringLiteral("%1 new lines from %2 people").arg(Lines_).arg(BySender_.size());
    QString text = Text.section(QRegularExpression(QStringLiteral("[\r\n]")), 0, 0,
                                QString::SectionSkipEmpty);
    if (!one) text = Sender + QStringLiteral(": ") + text;
    Body_ = text.size() > 200 ? text.left(199) + QChar(0x2026) : text;
    Dirty_ = true;
    if (!InFlight_) Show();
}

// The window itself, or a dialog or menu it opened, is where the user is.
bool TAttention::Present() const {
    for (const QWidget* w = QApplication::activeWindow(); w; w = w->parentWidget())
        if (w == Window_) return true;
    const QWindow* own = Window_->windowHandle();
    for (const QWindow* w = QGuiApplication::focusWindow(); own && w; w = w->transientParent())
        if (w == own) return true;
    return false;
}

void TAttention::WindowActivated() {
    Lines_ = 0;
    BySender_.clear();
    Id_ = 0;
    Dirty_ = false;
}

void TAttention::Show() {
    Dirty_ = false;
    InFlight_ = true;
    QPointer<TAttention> self(this);
    ShowDesktopNotification(Summary_, Body_, Id_, [self](uint32_t Id) {
        if (!self) return;
        self->InFlight_ = false;
        // An answer after the user came back must not revive the old notification's id.
        if (self->Lines_ > 0) self->Id_ = Id;
        if (self->Dirty_) self->Show();
    });
}
