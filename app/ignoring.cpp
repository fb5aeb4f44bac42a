#include "ignoring.h"

#include "chat_pane.h"
#include "chat_text.h"
#include "conversation_log.h"
#include "palnor_form.h"

#include <QListWidget>
#include <QMenu>
#include <QRegularExpression>
#include <QTimer>

#include <utility>

namespace {
const QString HiddenLink = QStringLiteral("korvel-hidden:");
constexpr qsizetype MaxBursts = 20;      // bursts kept for their "show" links
constexpr qsizetype MaxSenders = 10000;  // senders the pane's menu knows, at most
}  // namespace

TIgnoring::TIgnoring(TPalnorForm& Form) : QObject(&Form), Form_(Form) {
    Settle_ = new QTimer(this);
    Settle_->setSingleShot(true);
    Settle_->setInterval(SettleMs);
    connect(Settle_, &QTimer::timeout, this, &TIgnoring::EndBurst);

    // The pane's lines go to the log as they are shown; hidden lines shown later are there already.
    TChatPane* pane = Form.DisplayMemo;
    pane->OnChange = [this, shown = pane->OnChange](const QString& Line) {
        if (!Revealing_ && shown) shown(Line);
    };
    pane->OnLinkClick = [this, open = pane->OnLinkClick](const QString& Href) {
        if (Href.startsWith(HiddenLink))
            ShowBurst(Href.mid(HiddenLink.size()).toInt());
        else if (open)
            open(Href);
    };
    pane->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(pane, &QWidget::customContextMenuRequested, this, [this, pane](const QPoint& Pos) {
        QMenu* menu = pane->createStandardContextMenu(Pos);
        if (const QString call = SenderAt(Pos); !call.isEmpty()) menu->addSeparator(), AddEntry(*menu, call);
        menu->setAttribute(Qt::WA_DeleteOnClose);
        menu->popup(pane->viewport()->mapToGlobal(Pos));
    });
    QListWidget* users = Form.lbUsers;
    users->setContextMenuPolicy(Qt::CustomContextMenu);
    List = new QListWidget;
    List->setContextMenuPolicy(Qt::CustomContextMenu);
    List->setAccessibleName(QStringLiteral("Ignored users"));
    List->setMaximumHeight(80);
    for (QListWidget* list : {users, List})
        connect(list, &QWidget::customContextMenuRequested, this, [this, list](const QPoint& Pos) {
            const QListWidgetItem* item = list->itemAt(Pos);
            if (!item || CallOfEntry(item->text()).isEmpty()) return;
            auto* menu = new QMenu(list);
            AddEntry(*menu, CallOfEntry(item->text()));
            menu->setAttribute(Qt::WA_DeleteOnClose);
            menu->popup(list->viewport()->mapToGlobal(Pos));
        });
}

void TIgnoring::SetCalls(const QStringList& Calls) {
    Calls_.clear();
    for (const QString& call : Calls) Ignore(call);
    ShowList();
}

void TIgnoring::Ignore(const QString& Call) {
    const QString call = Call.trimmed().toUpper();
    if (call.isEmpty() || call.contains(u',') || Calls_.contains(call)) return;  // CL.ini keeps them comma-separated
    Calls_ << call;
    ShowList();
}

void TIgnoring::Forgive(const QString& Call) {
    Calls_.removeAll(Call.trimmed().toUpper());
    ShowList();
}

bool TIgnoring::Ignored(const QString& Sender) const {
    if (CallSet_.isEmpty()) return false;
    // A busy conversation has few senders: each is looked at once per change of the list.
    if (const auto known = Verdicts_.constFind(Sender); known != Verdicts_.constEnd()) return *known;
    if (Verdicts_.size() >= MaxSenders) Verdicts_.clear();
    return *Verdicts_.insert(Sender, CallSet_.contains(CallOfEntry(Sender).toUpper()));
}

void TIgnoring::ShowList() {
    CallSet_ = QSet<QString>(Calls_.begin(), Calls_.end());
    Verdicts_.clear();
    List->clear();
    List->addItems(Calls_);
}

void TIgnoring::AddEntry(QMenu& Menu, const QString& Call) {
    if (Call.isEmpty() || Call.contains(u',')) return;
    const QString call = Call.toUpper();
    const bool ignored = Calls_.contains(call);
    QAction* entry = Menu.addAction(ignored ? QStringLiteral("Stop ignoring %1").arg(call) : QStringLiteral("Ignore %1").arg(call));
    connect(entry, &QAction::triggered, this, [this, call, ignored] { ignored ? Forgive(call) : Ignore(call); });
}

bool TIgnoring::Hide(const QString& Sender, const QString& Message, bool Own, const std::function<QString()>& Stamp) {
    if (Senders_.size() < MaxSenders) Senders_.insert(Sender);
    if (Own || !Enabled_ || !Ignored(Sender)) {
        EndBurst();
        return false;
    }
    const QString stamp = Stamp();
    Form_.ConversationLog->Append(QStringLiteral("(hidden) ") + Sender + stamp + QStringLiteral("\r\n") + Message);
    Burst_.push_back({Sender, stamp, Message});
    if (Burst_.size() > size_t(MaxKept)) Burst_.erase(Burst_.begin());
    ++BurstCount_;
    Settle_->start();
    return true;
}

// The quiet line on a burst that ended, with the link that shows its lines.
void TIgnoring::EndBurst() {
    if (BurstCount_ == 0) return;
    Settle_->stop();
    const int total = std::exchange(BurstCount_, 0);
    Kept_.push_back({++Bursts_, std::exchange(Burst_, {})});
    if (Kept_.size() > size_t(MaxBursts)) Kept_.pop_front();
    const QString note = total == 1 ? QStringLiteral("1 line from ignored users hidden")
                                    : QStringLiteral("%1 lines from ignored users hidden").arg(total);
    const QString show = QStringLiteral("show");
    Form_.DisplayMemo->AppendLine(note + QStringLiteral(" (") + show + u')',
                                  {{0, note.size(), TLineStyle::Quiet, {}},
                                   {note.size() + 2, show.size(), TLineStyle::Link, HiddenLink + QString::number(Bursts_)}});
}

void TIgnoring::ShowBurst(int Number) {
    TChatPane* pane = Form_.DisplayMemo;
    auto quiet = [pane](const QString& Text) { pane->AppendLine(Text, {{0, Text.size(), TLineStyle::Quiet, {}}}); };
    const auto burst = std::ranges::find(Kept_, Number, &std::pair<int, std::vector<THidden>>::first);
    if (burst == Kept_.end()) return quiet(QStringLiteral("Those hidden lines are no longer kept here; the conversation log has them."));
    Revealing_ = true;
    const TChatPane::TBatch batch(*pane);
    quiet(QStringLiteral("Hidden lines from ignored users, as they came:"));
    for (const THidden& line : burst->second) {
        pane->AppendLine(line.Sender + line.Stamp);
        pane->AppendLine(line.Message);
        pane->AppendLine(QString());
    }
    Revealing_ = false;
}

// A sender line is the sender as it came and the time stamp " hh:mm ".
QString TIgnoring::SenderAt(const QPoint& Pos) const {
    static const QRegularExpression senderLine(QStringLiteral("^(.+) \\d\\d.\\d\\d $"));
    const QRegularExpressionMatch match = senderLine.match(Form_.DisplayMemo->LineAt(Pos));
    return match.hasMatch() && Senders_.contains(match.captured(1)) ? CallOfEntry(match.captured(1)) : QString();
}
