#include "attention.h"

#include "notify.h"

#include <QApplication>
#include <QRegularExpression>

TAttention::TAttention(QWidget* Window) : QObject(Window), Window_(Window) {}

void TAttention::ChatLine(const QString& Sender, const QString& Text, bool Own) {
    if (!Enabled_ || Own || !Window_ || Window_->isActiveWindow()) return;
    QApplication::alert(Window_);
    ++Lines_;
    Summary_ = Lines_ == 1 ? Sender : QStringLiteral("%1 (%2 new lines)").arg(Sender).arg(Lines_);
    const QString text = Text.section(QRegularExpression(QStringLiteral("[\r\n]")), 0, 0,
                                      QString::SectionSkipEmpty);
    Body_ = text.size() > 200 ? text.left(199) + QChar(0x2026) : text;
    Dirty_ = true;
    if (!InFlight_) Show();
}

void TAttention::WindowActivated() {
    Lines_ = 0;
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
