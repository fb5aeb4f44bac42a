#pragma once
// The program's icon in the panel's notification area, through Qt's tray icon (the
// StatusNotifierItem protocol on the session bus, or the X11 tray where only that exists). It
// keeps what it shows, so a desktop without a notification area (and a test) can read it back.
#include <QIcon>
#include <QObject>
#include <QString>

#include <functional>

class QMenu;
class QSystemTrayIcon;

class TTrayIcon : public QObject {
public:
    explicit TTrayIcon(QObject* Parent = nullptr);
    ~TTrayIcon() override;

    // Whether the desktop shows tray icons at all.
    static bool Available();

    void SetVisible(bool On);
    bool Visible() const { return Visible_; }
    void SetIcon(const QIcon& Icon);
    void SetToolTip(const QString& Text);
    QString ToolTip() const { return ToolTip_; }
    void SetMenu(QMenu* Menu);  // shown on a right click; not owned

    std::function<void()> OnClick;  // a left click (or a double click) on the icon

private:
    QSystemTrayIcon* Icon_ = nullptr;
    bool Visible_ = false;
    QString ToolTip_;
};
