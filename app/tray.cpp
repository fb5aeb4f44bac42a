#include "tray.h"

#include "palnor_form.h"
#include "tray_icon.h"
#include "tzonlyone.h"

#include <QApplication>
#include <QCloseEvent>
#include <QIcon>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QTimer>

#include <utility>

TTray::TTray(TPalnorForm& Form) : QObject(&Form), Form_(Form) {
    Icon = new TTrayIcon(this);
    Icon->OnClick = [this] { Raise(); };
    Menu = new QMenu(&Form);
    connect(Menu->addAction(QStringLiteral("Show")), &QAction::triggered, this, &TTray::Raise);
    ConnectAction = Menu->addAction(QStringLiteral("Connect"));
    connect(ConnectAction, &QAction::triggered, this, [this] {
        (Form_.DisconnectButton->isEnabled() ? Form_.DisconnectButton : Form_.ConnectButton)->click();
        Update();
    });
    Menu->addSeparator();
    connect(Menu->addAction(QStringLiteral("Quit")), &QAction::triggered, this, &TTray::Quit);
    connect(Menu, &QMenu::aboutToShow, this, &TTray::Update);
    Icon->SetMenu(Menu);
    Form.installEventFilter(this);
    // A second start of the program brings a hidden window back as well.
    Form.TzOnlyOne1->OnActivationRequested = [this] { Raise(); };
    // A flood of lines updates the icon once per moment, not once per line.
    Later_ = new QTimer(this);
    Later_->setSingleShot(true);
    Later_->setInterval(100);
    connect(Later_, &QTimer::timeout, this, &TTray::Update);
    Update();
}

void TTray::SetEnabled(bool On) {
    Enabled_ = On;
    Icon->SetVisible(On);
    // With the window hidden, a message box that closes must not end the program: Quit does.
    QApplication::setQuitOnLastWindowClosed(!On);
    if (!On && Form_.isHidden()) Raise();
    Update();
}

bool TTray::Present() const { return Form_.isVisible() && !Form_.isMinimized() && Form_.isActiveWindow(); }

void TTray::ChatLine(bool Own) {
    if (Own || Present()) return;
    if (++Unread_ == 1) Update();
    else if (!Later_->isActive()) Later_->start();
}

void TTray::Raise() {
    Form_.show();
    if (Form_.isMinimized()) Form_.showNormal();
    Form_.raise();
    Form_.activateWindow();
    Unread_ = 0;
    Update();
}

void TTray::Quit() {
    Quitting_ = true;
    const bool closed = Form_.close();
    Quitting_ = false;
    if (closed) QCoreApplication::quit();
}

void TTray::Update() {
    Later_->stop();
    if (std::exchange(Marked_, Unread_ > 0) != Marked_ || !Drawn_) Icon->SetIcon(ProgramIcon(Marked_)), Drawn_ = true;
    Icon->SetToolTip(Unread_ == 0   ? QStringLiteral("KorvelChat 2")
                     : Unread_ == 1 ? QStringLiteral("KorvelChat 2 \u2014 1 unread line")
                                    : QStringLiteral("KorvelChat 2 \u2014 %1 unread lines").arg(Unread_));
    ConnectAction->setText(Form_.DisconnectButton->isEnabled() ? QStringLiteral("Disconnect") : QStringLiteral("Connect"));
}

bool TTray::eventFilter(QObject* Watched, QEvent* Event) {
    if (Watched == &Form_ && Event->type() == QEvent::WindowActivate && Unread_ > 0) {
        Unread_ = 0;
        Update();
    }
    if (Watched == &Form_ && Event->type() == QEvent::Close && Enabled_ && !Quitting_) {
        Form_.hide();
        Event->ignore();
        return true;
    }
    return QObject::eventFilter(Watched, Event);
}

QIcon ProgramIcon(bool Marked) {
    QPixmap picture(64, 64);
    picture.fill(Qt::transparent);
    QPainter p(&picture);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x2a, 0x6f, 0xdb));
    p.drawRoundedRect(QRectF(4, 8, 52, 40), 10, 10);
    p.drawPolygon(QPolygonF({QPointF(14, 44), QPointF(30, 44), QPointF(12, 60)}));
    p.setPen(Qt::white);
    QFont font = p.font();
    font.setBold(true);
    font.setPixelSize(30);
    p.setFont(font);
    p.drawText(QRectF(4, 8, 52, 40), Qt::AlignCenter, QStringLiteral("K"));
    if (Marked) {
        p.setPen(QPen(Qt::white, 3));
        p.setBrush(QColor(0xe0, 0x20, 0x20));
        p.drawEllipse(QPointF(50, 14), 12, 12);
    }
    p.end();
    return QIcon(picture);
}
