// Random sessions of the real window against a scripted server on 127.0.0.1: user actions and
// server events in random order, the window's invariants checked after every step. Each failure
// names the first seed it came in; KORVEL_SEED=n replays it, KORVEL_RUNS=n runs more.
#include "conveniences.h"
#include "conversation_log.h"
#include "find.h"
#include "form_support.h"
#include "ignoring.h"
#include "reconnect.h"
#include "test_seed.h"
#include "tray.h"
#include "tray_icon.h"

#include <QDir>
#include <QLabel>
#include <QMenu>
#include <QTextDocumentFragment>

#include <map>

// Whether each line of a pane is drawn as alone, in a paragraph of its own: every character's x.
static bool DrawnAsAlone(QPlainTextEdit& Pane) {
    QPlainTextEdit alone;
    alone.setFont(Pane.font()), alone.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff), alone.show();
    alone.resize(Pane.viewport()->width() + 2 * alone.frameWidth(), 100);
    alone.textCursor().insertFragment(QTextDocumentFragment(Pane.document()));
    const QString separator(QChar::LineSeparator);
    for (QTextCursor at = alone.document()->find(separator); !at.isNull(); at = alone.document()->find(separator, at))
        at.removeSelectedText(), at.insertBlock();
    auto x = [](QTextDocument* Doc, int At) {
        const QTextBlock b = Doc->findBlock(At);
        Doc->documentLayout()->blockBoundingRect(b);  // laid out
        return b.layout()->lineForTextPosition(At - b.position()).cursorToX(At - b.position());
    };
    const QString text = PaneText(Pane);
    for (int at = 0; at < text.size(); ++at)
        if (text[at] != u'\n' && x(Pane.document(), at) != x(alone.document(), at)) return false;
    return true;
}

// Whether each stored line of the conversation pane is drawn as it is drawn alone in a pane of
// the same size and font: every character's x, for the lines in view.
static bool DrawnAsAlone(TChatPane& Pane) {
    TChatPane alone;
    alone.setFont(Pane.font()), alone.resize(Pane.size()), alone.show();
    const QString text = PaneText(Pane);
    qsizetype base = 0;
    for (qsizetype i = 0; i < Pane.LineCount(); base += Pane.Line(i).size() + 1, ++i) {
        if (Pane.PositionRect(base).isEmpty()) continue;  // out of view
        alone.ClearLines();
        alone.AppendLine(Pane.Line(i), Pane.LineSpans(i));
        for (qsizetype c = 0; c < Pane.Line(i).size(); ++c)
            if (Pane.PositionRect(base + c).x() != alone.PositionRect(c).x()) return false;
    }
    return true;
}

TEST_F(FormTest, RandomSessionsLeaveOneClearState) {
    std::map<std::string, uint32_t> failures;
    for (const uint32_t seed : SequenceSeeds(500, 6)) {
        QRandomGenerator rng(seed);
        auto fail = [&](const char* What) { failures.emplace(What, seed); };
        PosixListener stalled(0);  // with one connection waiting, the next connect hangs
        const int filler = peer::Connect(stalled.Port());
        int fd = -1;
        std::string got, login;  // what the current connection sent; its login's call sign
        bool dropNext = false, closing = false, user = false, mayClear = false, fresh = true;  // fresh: none since Disconnect
        auto pump = [&](int Ms) {  // the event loop, with the server's side between turns
            for (QDeadlineTimer until(Ms); !until.hasExpired();) {
                QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
                if (const int n = Server.Accept(0); n >= 0) {
                    if (closing) fail("a connection after the window began closing");
                    if (fd >= 0) peer::Close(fd);
                    fd = n, got.clear(), login.clear();
                    if (std::exchange(dropNext, false)) peer::Close(std::exchange(fd, -1));
                    else peer::SendAll(fd, "*w\r\n");
                }
                if (fd >= 0 && peer::RecvNow(fd, got) == 0) peer::Close(std::exchange(fd, -1));
                if (const auto at = got.find("~SC="), end = got.find("\r\n", at); end != std::string::npos)
                    login = got.substr(at + 4, end - at - 4);
                if (const auto at = got.rfind("&<"), end = got.find('>', at); end != std::string::npos) login = got.substr(at + 2, end - at - 2);
            }
        };
        Dialogs.WhileOpen = [&] {
            if (!user) fail("a message box opened by a timer or the network");
            user = false, pump(rng.bounded(120)), user = true;
        };
        QDir(Config.path() + "/CL.ini").removeRecursively();
        WriteSettings("[FORM]\r\nHost=127.0.0.1\r\nPort=" + QByteArray::number(Server.Port()) + "\r\nUser=C\r\nName=N\r\n");
        MakeForm();
        Form->Reconnect->SetSecondMs(30);
        QWidget elsewhere;  // the user is away: others' lines are notified
        elsewhere.show();
        QApplication::setActiveWindow(&elsewhere);
        Notifications.clear();
        QString pane;
        const uint16_t ports[] = {Server.Port(), peer::UnusedPort(), stalled.Port(), Server.Port()};
        const char* lines[] = {"~A,B\r\n", "~A\r\nC, D\r\n", "Server restarting in 5 minutes\r\n", "&<B><hi>\r\n", "~\r\n",
                               "~A-1,B-2\r\n\"C D-3\",E-4\r\n", "~F-1 G-2\r\nH-3 I-4\r\n", "~J-1,K-2\r\nO'NEIL-5,L-6\r\n"};
        QStringList named;  // every user any list names
        for (const char* l : lines) named << (*l == '~' ? ParseCommaText(QString(l).mid(1)) : QStringList{});
        // Letters of both directions, Arabic digits, embeddings, overrides, isolates and marks.
        const char* const bidi[] = {"a", "1", " ", "(", "\u05d0", "\u0627", "\u0661", "\u202e", "\u202b", "\u202c", "\u2067", "\u2069", "\u200f"};
        auto listed = [&] { QStringList l; for (int i = 0; i < Form->lbUsers->count(); ++i) l << Form->lbUsers->item(i)->text(); return l; };
        TConveniences& more = *Form->Conveniences;
        // What the pane shows of B (its sender lines), the lines of B the log has hidden, and
        // the notifications that name B.
        static const QRegularExpression senderB("^B \\d\\d:\\d\\d $", QRegularExpression::MultilineOption);
        auto shownB = [&] { return PaneText(*Form->DisplayMemo).count(senderB); };
        auto hiddenB = [&] {
            Form->ConversationLog->Flush();
            QFile log(Form->ConversationLog->CurrentFile());
            return log.open(QIODevice::ReadOnly) ? int(log.readAll().count(" (hidden) B ")) : 0;
        };
        auto notifiedB = [&] { return int(Notifications.filter(QRegularExpression("^B\\b|\\bB: ")).size()); };
        for (int step = 0; step < 30 && !closing; ++step) {
            const bool up = Form->TnCnx->State() == wsConnected;
            const int action = rng.bounded(16), where = rng.bounded(4), line = rng.bounded(8);
            user = action < 7 || action >= 12;  // what the user does; the rest is the server's
            const bool ignored = more.Ignoring->Ignored("B"), away = Form->isHidden();
            const int shown = shownB(), notified = notifiedB(), unread = more.Tray->Unread();
            auto currentMatch = [&] { const int n = more.ChatFind->Current(); return n ? more.ChatFind->MatchPositions()[size_t(n - 1)] : qint64(-1); };
            const qint64 current = currentMatch();
            const QString before = pane;
            if (action == 13) {  // find forward and back while lines arrive
                if (!more.ChatFind->isVisible() || where == 0) more.ChatFind->Open();
                if (where < 2) more.ChatFind->Field->setText(QStringList{"hi", "B", "a", "own"}[line % 4]);
                QTest::keyClick(more.ChatFind->Field, line % 2 ? Qt::Key_Return : Qt::Key_F3, where % 2 ? Qt::ShiftModifier : Qt::NoModifier);
                if (where == 3 && line == 0) QTest::keyClick(more.ChatFind->Field, Qt::Key_Escape);
            }
            if (action == 14) {  // ignore B, or stop, from the menu
                QMenu menu;
                more.Ignoring->AddEntry(menu, "B");
                menu.actions().value(0)->trigger();
            }
            if (action == 15 && away) (where ? more.Tray->Raise() : more.Tray->Icon->OnClick());
            if (action == 15 && !away) {  // closed to the tray: the session goes on
                more.cbTray->setChecked(true), Form->close();
                if (!Form->isHidden() || Form->TnCnx->State() != (up ? wsConnected : Form->TnCnx->State())) fail("closing to the tray ended something");
            }
            mayClear = mayClear || (action < 2 && fresh);
            if (action < 2) Form->ConnectButton->click();
            if (action == 2) fresh = fresh || Form->DisconnectButton->isEnabled(), Form->DisconnectButton->click();
            if (action == 12)  // a line sent under a call sign changed with OK
                Form->edUser->setText(QString("CDE")[line % 3]), Form->Button2->click(), Form->SendMemo->setPlainText("mine"),
                    Form->SendButton->click();
            if (action == 3) Form->cbReconnect->toggle();
            if (action == 4) {
                Form->edHost->setText(where == 3 ? "1.2.3.08" : "127.0.0.1"), Form->edPort->setText(QString::number(ports[where]));
                Form->edName->setText(QStringList{"N", "BOB", QString::fromUtf8("ŁUKASZ")}[line % 3]);
                Form->Button2->click();
            }
            if (action == 5) Form->History1Click(), Form->Button3->click(), Form->Chat1Click();  // "NOTHING SELECTED !!"
            if (action == 6 && where == 0 && (closing = true)) {  // rarely: it ends the sequence
                more.cbTray->setChecked(false);
                if (line % 2) QDir().mkpath(Config.path() + "/CL.ini");  // the settings cannot be written
                Form->close();
                pump(400);
                if (up && got.find("~Exit=KORVEL\r\n") == std::string::npos) fail("no exit line on close");
            }
            user = false;
            if (action == 7) dropNext = true;
            if (action == 8 && fd >= 0) peer::Close(std::exchange(fd, -1));
            if (action == 12 && fd >= 0 && (pump(20), !login.empty())) peer::SendAll(fd, "&<" + login + "><own>\r\n");  // echoed
            if (action > 8 && action < 12 && fd >= 0) {
                std::string text = rng.bounded(2) ? "&<B><>\r\n" : lines[line];  // a line of the table or of both directions
                for (int n = text[0] == '&' ? rng.bounded(1, 12) : 0; n > 0; --n) text.insert(text.size() - 3, bidi[rng.bounded(13)]);
                const int logged = hiddenB();
                peer::SendAll(fd, text);
                if (text.starts_with("&<B>") && up && ignored && more.cbIgnore->isChecked()) {
                    for (QDeadlineTimer until(300); !until.hasExpired() && hiddenB() == logged;) pump(5);
                    if (hiddenB() == logged && Form->TnCnx->State() == wsConnected) fail("an ignored sender's line did not reach the log");
                }
                const QStringList sent = text[0] == '~' ? ParseCommaText(QString::fromStdString(text).mid(1)) : listed();
                for (QDeadlineTimer until(300); !until.hasExpired() && fd >= 0 && listed() != sent;) pump(5);
                if (fd >= 0 && Form->Shape1->FillColor() == 65280 && listed() != sent) fail("a listed user is not shown");
            }
            pump(rng.bounded(60));
            const TSocketState state = Form->TnCnx->State();
            const bool green = Form->Shape1->FillColor() == 65280;
            if (!closing && (green != (state == wsConnected) || Form->ConnectButton->isEnabled() == green ||
                             Form->DisconnectButton->isEnabled() != (state != wsClosed || Form->Reconnect->Waiting())))
                fail("buttons or lamp do not match the connection");
            if (!Form->DisplayMemo->toPlainText().startsWith(pane) && !mayClear) fail("the pane lost lines");
            pane = Form->DisplayMemo->toPlainText(), mayClear = mayClear && !green, fresh = fresh && !green;
            int users = 0;
            for (int i = 0; i < Form->lbUsers->count(); ++i) {
                if (!named.contains(Form->lbUsers->item(i)->text())) fail("a user no user list named");
                users += !Form->lbUsers->item(i)->text().isEmpty();
            }
            if (Form->UserCount->text() != QString(users == 1 ? "1 user" : "%1 users").arg(users)) fail("the user count is off");
            static const QRegularExpression joins("^(\\+ [^,;]+(, [^,;]+)* joined)?(; )?(- [^,;]+(, [^,;]+)* left)?$");
            for (const QString& l : Form->DisplayMemo->toPlainText().split('\n'))
                if ((l.startsWith("+ ") || l.startsWith("- ")) && !joins.match(l).hasMatch()) fail("a join or leave line of no list");
            if (Notifications.filter("own").size()) fail("a notification for one's own line");
            if (!DrawnAsAlone(*Form->DisplayMemo)) fail("a line changes how another is drawn");
            if (ignored && more.Ignoring->Ignored("B") && more.cbIgnore->isChecked() && (shownB() > shown || notifiedB() > notified))
                fail("an ignored sender's line was shown or notified");
            if (away && action != 6 && action != 15 && more.Tray->Unread() - unread < shownB() - shown) fail("a hidden window did not count a line");
            if (TFindBar* find = more.ChatFind; find->isVisible() && !find->Field->text().isEmpty()) {
                for (QDeadlineTimer until(1000); !until.hasExpired() && !find->Complete();) QCoreApplication::processEvents();
                const QString text = PaneText(*Form->DisplayMemo), needle = find->Field->text();
                const Qt::CaseSensitivity cs = TFindBar::MatchesCase(needle) ? Qt::CaseSensitive : Qt::CaseInsensitive;
                const std::vector<qint64> at = find->MatchPositions();
                if (!find->Complete() || int(at.size()) != text.count(needle, cs)) fail("the find count is not the matches in the pane");
                if (action != 13 && current >= 0 && Form->DisplayMemo->toPlainText().startsWith(before) && currentMatch() != current) fail("arriving lines moved the current match");
                for (const qint64 p : at)  // the line above, the offset in it below
                    if (Form->DisplayMemo->Line(p >> 32).mid(p & 0xffffffff, needle.size()).compare(needle, cs) != 0) fail("a match that is not one");
                if (find->Current() > 0 && !find->Count->text().startsWith(QString::number(find->Current()) + " of " + QString::number(at.size())))
                    fail("the count shown is not the count");
            }
        }
        if (Form->History1Click(), !DrawnAsAlone(*Form->Memo1)) fail("a line changes how another is drawn in the history");
        Form.reset();
        if (fd >= 0) peer::Close(fd);
        peer::Close(filler);
    }
    for (const auto& [what, seed] : failures) ADD_FAILURE() << what << " (KORVEL_SEED=" << seed << ")";
}
