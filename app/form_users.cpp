// The user list: who is there and how many, a filter that narrows it, a line in the
// conversation on who joined and left, and a double click that names a user in the compose pane.
#include "chat_pane.h"
#include "chat_text.h"
#include "palnor_form.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QTimer>

#include <utility>

namespace {
// How long a user list may go on in later reads before who joined and left is told.
constexpr int SettleMs = 300;
}  // namespace

void TPalnorForm::WireUsers() {
    UsersSettle_ = new QTimer(this);
    UsersSettle_->setSingleShot(true);
    UsersSettle_->setInterval(SettleMs);
    connect(UsersSettle_, &QTimer::timeout, this, [this] { Guarded([this] { FlushJoinsAndLeaves(); }); });
    connect(UserFilter, &QLineEdit::textChanged, this, [this] { FilterUsers(); });
    connect(lbUsers, &QListWidget::itemDoubleClicked, this, [this](QListWidgetItem* Item) { UserDoubleClick(Item); });
    connect(cbUserTools, &QCheckBox::toggled, this, [this](bool On) {
        if (!On) UserFilter->clear();
        UserCount->setVisible(On);
        UserFilter->setVisible(On);
    });
    UserCount->hide();
    UserFilter->hide();
    FilterUsers();
}

// A list the server sent (the text after its "~"). A list that a later read continued comes
// again with the earlier text in front: it is the same list, told once when whole.
void TPalnorForm::ShowUserList(const QString& Text) {
    const bool continued = UsersChanged_ && Text.startsWith(UsersText_ + u'\n');
    if (!continued) FlushJoinsAndLeaves();
    UsersText_ = Text;
    SetUsers(ParseCommaText(Text));
    UsersChanged_ = true;
    UsersSettle_->start();
}

void TPalnorForm::FlushJoinsAndLeaves() {
    if (!std::exchange(UsersChanged_, false)) return;
    UsersSettle_->stop();
    if (UsersKnown_ && cbJoins->isChecked()) {
        const QString line = JoinsAndLeaves(*UsersKnown_, UsersShown_);
        if (!line.isEmpty()) DisplayMemo->AppendLine(line, {{0, line.size(), TLineStyle::Quiet, {}}});
    }
    UsersKnown_ = UsersShown_;
}

void TPalnorForm::SetUsers(const QStringList& Entries) {
    UsersShown_ = Entries;
    lbUsers->setUpdatesEnabled(false);
    lbUsers->clear();
    lbUsers->addItems(Entries);
    FilterUsers();
    lbUsers->setUpdatesEnabled(true);
}

void TPalnorForm::FilterUsers() {
    const QString filter = UserFilter->text().trimmed();
    int users = 0, shown = 0;
    for (int i = 0; i < lbUsers->count(); ++i) {
        QListWidgetItem* item = lbUsers->item(i);
        const bool user = !item->text().trimmed().isEmpty();
        const bool show = filter.isEmpty() || (user && item->text().contains(filter, Qt::CaseInsensitive));
        item->setHidden(!show);
        users += user;
        shown += user && show;
    }
    const QString count = users == 1 ? QStringLiteral("1 user") : QStringLiteral("%1 users").arg(users);
    UserCount->setText(filter.isEmpty() ? count : QStringLiteral("%1 of %2").arg(shown).arg(count));
}

void TPalnorForm::UserDoubleClick(QListWidgetItem* Item) {
    if (!cbUserTools->isChecked() || !Item) return;
    const QString call = CallOfEntry(Item->text());
    if (call.isEmpty()) return;
    SendMemo->insertPlainText(call + u' ');
    FocusSendMemo();
}
