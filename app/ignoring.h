#pragma once
// Ignoring users: chat lines whose sender's call sign is on the list are kept out of the
// conversation pane, notifications and unread counts. One quiet line per burst of them says how
// many were hidden, with a link that shows them; the conversation log keeps every one, marked
// as hidden. A user is ignored, and forgiven, from the user list's context menu and from the
// sender of a line in the pane; the Settings page shows the list with the same menu.
#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <deque>
#include <functional>
#include <vector>

class QListWidget;
class QMenu;
class QPoint;
class QTimer;
class TPalnorForm;

class TIgnoring : public QObject {
public:
    explicit TIgnoring(TPalnorForm& Form);

    bool Enabled() const { return Enabled_; }
    void SetEnabled(bool On) { Enabled_ = On; }
    // Ignored call signs in upper case, in the order they were added.
    const QStringList& Calls() const { return Calls_; }
    void SetCalls(const QStringList& Calls);
    void Ignore(const QString& Call);
    void Forgive(const QString& Call);
    bool Ignored(const QString& Sender) const;  // a sender "CALL-NAME" or a call sign

    // A chat line about to be shown: true when it is hidden (and logged as such). A line that is
    // shown ends the burst before it: its note comes first.
    // Stamp gives the time stamp its sender line would have had.
    bool Hide(const QString& Sender, const QString& Message, bool Own, const std::function<QString()>& Stamp);
    void EndBurst();
    int HiddenInBurst() const { return int(Burst_.size()); }

    // The call sign a sender line of the pane names at Pos (viewport coordinates), if that line
    // is the sender line of a chat line this session; "" otherwise.
    QString SenderAt(const QPoint& Pos) const;
    // "Ignore CALL" or "Stop ignoring CALL" into Menu, for Call ("" adds nothing).
    void AddEntry(QMenu& Menu, const QString& Call);

    QListWidget* List = nullptr;  // the Settings page's list of ignored call signs
    static constexpr int SettleMs = 1000;  // a burst ends after this long without a hidden line
    static constexpr int MaxKept = 1000;   // lines a burst keeps to show, the newest

private:
    struct THidden {
        QString Sender, Stamp, Message;
    };
    void ShowBurst(int Number);
    void ShowList();

    TPalnorForm& Form_;
    bool Enabled_ = true;
    QStringList Calls_;
    QSet<QString> CallSet_;  // the same, for the check of every chat line
    mutable QHash<QString, bool> Verdicts_;  // senders checked against the list as it stands
    QSet<QString> Senders_;  // senders of chat lines seen this run: sender lines the menu knows
    std::vector<THidden> Burst_;
    int BurstCount_ = 0;  // lines of the open burst, kept or not
    // The last bursts, by number, for their "show" links.
    std::deque<std::pair<int, std::vector<THidden>>> Kept_;
    int Bursts_ = 0;
    bool Revealing_ = false;  // hidden lines are being shown: the log has them already
    QTimer* Settle_ = nullptr;
};
