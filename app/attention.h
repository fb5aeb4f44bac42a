#pragma once
// Draws the user's attention to chat lines from others while the window is not active: the
// window is marked urgent, and one desktop notification shows the newest line. The lines of a
// burst update that one notification instead of adding one per line ("SENDER (3 new lines)",
// or "5 new lines from 2 people"); a notification that is still on its way is updated once it
// has its id. While one of the window's own dialogs is active, the user counts as present.
#include <QObject>
#include <QMap>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <cstdint>

class TAttention : public QObject {
public:
    explicit TAttention(QWidget* Window);

    bool Enabled() const { return Enabled_; }
    void SetEnabled(bool On) { Enabled_ = On; }

    // A chat line arrived; Own: the user's own line, echoed by the server; Unseen: a line that
    // mentions the user and is not in view, which draws attention even while the window is
    // active.
    void ChatLine(const QString& Sender, const QString& Text, bool Own, bool Unseen = false);
    // The user is back: the next line away starts a new notification.
    void WindowActivated();

private:
    void Show();
    bool Present() const;

    QPointer<QWidget> Window_;
    bool Enabled_ = true;
    bool InFlight_ = false;  // a call to the service has not answered yet
    bool Dirty_ = false;     // newer text than the service has
    int Lines_ = 0;          // lines since the user was last here
    QMap<QString, int> BySender_;
    uint32_t Id_ = 0;
    QString Summary_;
    QString Body_;
};
