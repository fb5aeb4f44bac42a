#include "tray_icon.h"

#include <QSystemTrayIcon>

TTrayIcon::TTrayIcon(QObject* Parent) : QObject(Parent), Icon_(new QSystemTrayIcon(this)) {
    connect(Icon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason Reason) {
        if ((Reason == QSystemTrayIcon::Trigger || Reason == QSystemTrayIcon::DoubleClick) && OnClick) OnClick();
    });
}

TTrayIcon::~TTrayIcon() { Icon_->hide(); }

bool TTrayIcon::Available() { return QSystemTrayIcon::isSystemTrayAvailable(); }

void TTrayIcon::SetVisible(bool On) {
    Visible_ = On;
    Icon_->setVisible(On);
}

void TTrayIcon::SetIcon(const QIcon& Icon) { Icon_->setIcon(Icon); }

void TTrayIcon::SetToolTip(const QString& Text) {
    ToolTip_ = Text;
    Icon_->setToolTip(Text);
}

void TTrayIcon::SetMenu(QMenu* Menu) { Icon_->setContextMenu(Menu); }
