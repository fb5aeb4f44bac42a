#pragma once
// The tray icon, when the user wants the program to keep running with its window closed: the
// icon in the panel's notification area, marked while chat lines from others wait unread (their
// count in its tooltip); a click brings the window back; its menu has Show, Connect or
// Disconnect, and Quit. Closing the window then hides it, and the session goes on; only Quit
// ends the program. Off, the icon is gone and closing the window ends the program.
#include <QObject>

class QAction;
class QIcon;
class QMenu;
class QTimer;
class TPalnorForm;
class TTrayIcon;

class TTray : public QObject {
public:
    explicit TTray(TPalnorForm& Form);

    bool Enabled() const { return Enabled_; }
    void SetEnabled(bool On);
    // A chat line was shown: one from someone else counts as unread while the user is away.
    void ChatLine(bool Own);
    int Unread() const { return Unread_; }

    void Raise();  // the icon's click and the menu's Show
    void Quit();

    TTrayIcon* Icon = nullptr;
    QMenu* Menu = nullptr;
    QAction* ConnectAction = nullptr;  // "Connect" or "Disconnect", as the session stands

protected:
    bool eventFilter(QObject* Watched, QEvent* Event) override;

private:
    bool Present() const;
    void Update();

    TPalnorForm& Form_;
    bool Enabled_ = false;
    bool Quitting_ = false;
    int Unread_ = 0;
    bool Marked_ = false, Drawn_ = false;  // what the icon shows
    QTimer* Later_ = nullptr;
};

// The program's icon, drawn; Marked adds the sign that lines wait.
QIcon ProgramIcon(bool Marked);
