// Random sessions of the real window against a scripted server on 127.0.0.1: user actions and
// server events in random order, the window's invariants checked after every step. Each failure
// names the first seed it came in; KORVEL_SEED=n replays it, KORVEL_RUNS=n runs more.
#include "form_support.h"
#include "reconnect.h"
#include "test_seed.h"

#include <QAbstractTextDocumentLayout>
#include <QDir>
#include <QLabel>
#include <QTextDocumentFragment>
#include <QTextLayout>

#include <map>

namespace {
// Whether each line of a pane (up to a block's end or a line separator) is drawn as it is alone:
// the x of each of its characters, with its formats, in a pane of the same font and width.
bool DrawnAsAlone(QPlainTextEdit& Pane) {
    QPlainTextEdit alone;
    alone.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    alone.setFont(Pane.font());
    alone.show();
    alone.resize(Pane.viewport()->width() + 2 * alone.frameWidth(), 100);
    auto xs = [](const QTextBlock& B, int From, int To) {
        B.document()->documentLayout()->blockBoundingRect(B);
        std::vector<qreal> x;
        for (int i = From; i < To; ++i) x.push_back(B.layout()->lineForTextPosition(i).cursorToX(i));
        return x;
    };
    for (QTextBlock b = Pane.document()->begin(); b.isValid(); b = b.next()) {
        int from = 0;
        for (const QString& part : b.text().split(QChar::LineSeparator)) {
            QTextCursor line(Pane.document());
            line.setPosition(b.position() + from);
            line.setPosition(b.position() + from + int(part.size()), QTextCursor::KeepAnchor);
            alone.clear();
            alone.textCursor().insertFragment(line.selection());
            if (xs(b, from, from + int(part.size())) != xs(alone.document()->begin(), 0, int(part.size()))) return false;
            from += int(part.size()) + 1;
        }
    }
    return true;
}

struct TSentList {
    std::string Wire;
    QStringList Entries;
};
}  // namespace

TEST_F(FormTest, RandomSessionsLeaveOneClearState) {
    const TSentList lists[] = {{"~A,B\r\n", {"A", "B"}}, {"~A\r\nC, D\r\n", {"A", "C", "D"}}, {"~\r\n", {}},
                               {"~A-1,B-2\r\n\"C D-3\",E-4\r\n", {"A-1", "B-2", "C D-3", "E-4"}},
                               {"~F-1 G-2\r\nH-3 I-4\r\n", {"F-1", "G-2", "H-3", "I-4"}},
                               {"~J-1,K-2\r\nO'NEIL-5,L-6\r\n", {"J-1", "K-2", "O'NEIL-5", "L-6"}}};
    QStringList named;
    for (const TSentList& l : lists) named << l.Entries;
    named.removeDuplicates();
    const QString name = "(" + named.replaceInStrings(QRegularExpression("(.+)"), "\\Q\\1\\E").join('|') + ")";
    const QRegularExpression joins("^(\\+ " + name + "(, " + name + ")* joined)?(; )?(- " + name + "(, " + name + ")* left)?$");
    // Pieces of lines that sway the text direction: letters of both directions, Arabic digits,
    // embeddings, overrides, isolates and marks, some of them never closed.
    const char* const bidi[] = {"a", "1", " ", "(", "\u05d0", "\u0627", "\u0661", "\u202e", "\u202b", "\u202c", "\u2067", "\u2069", "\u200f"};
    std::map<std::string, uint32_t> failures;
    for (const uint32_t seed : SequenceSeeds(500, 6)) {
        QRandomGenerator rng(seed);
        auto fail = [&](const char* What) { failures.emplace(What, seed); };
        PosixListener stalled(0);  // with one connection waiting, the next connect hangs
        const int filler = peer::Connect(stalled.Port());
        int fd = -1;
        std::string got, login;  // what the current connection sent; its login's call sign and name
        bool dropNext = false, closing = false, user = false, mayClear = false;
        bool fresh = true;  // no session since the start or the user's Disconnect: Connect starts anew
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
        auto users = [&] {
            QStringList shown;
            for (int i = 0; i < Form->lbUsers->count(); ++i) shown << Form->lbUsers->item(i)->text();
            return shown;
        };
        for (int step = 0; step < 30 && !closing; ++step) {
            const bool up = Form->TnCnx->State() == wsConnected;
            const int action = rng.bounded(13), where = rng.bounded(4), line = rng.bounded(7);
            user = action < 8;  // what the user does; the rest is the server's
            mayClear = mayClear || (action < 2 && fresh);
            if (action < 2) Form->ConnectButton->click();
            if (action == 2) fresh = fresh || Form->DisconnectButton->isEnabled(), Form->DisconnectButton->click();
            if (action == 3) Form->cbReconnect->toggle();
            if (action == 4) {
                Form->edHost->setText(where == 3 ? "1.2.3.08" : "127.0.0.1"), Form->edPort->setText(QString::number(ports[where]));
                Form->edName->setText(QStringList{"N", "BOB", QString::fromUtf8("ŁUKASZ")}[line % 3]);
                Form->Button2->click();
            }
            if (action == 5) Form->History1Click(), Form->Button3->click(), Form->Chat1Click();  // "NOTHING SELECTED !!"
            if (action == 6 && (closing = true)) {
                if (line % 2) QDir().mkpath(Config.path() + "/CL.ini");  // the settings cannot be written
                Form->close();
                pump(400);
                if (up && got.find("~Exit=KORVEL\r\n") == std::string::npos) fail("no exit line on close");
            }
            if (action == 7) Form->SendMemo->setPlainText("mine"), Form->SendButton->click();
            user = false;
            if (action == 8) dropNext = true;
            if (action == 9 && fd >= 0) peer::Close(std::exchange(fd, -1));
            if (action == 10 && fd >= 0) {
                // The server lists users; the list shows every entry it sent.
                const TSentList& list = lists[line % 6];
                peer::SendAll(fd, list.Wire);
                for (QDeadlineTimer until(300); !until.hasExpired() && fd >= 0 && users() != list.Entries;) pump(5);
                if (fd >= 0 && Form->Shape1->FillColor() == 65280 && users() != list.Entries) fail("a listed user is not shown");
            }
            if (action == 11 && fd >= 0) {
                // One's own line comes back with the sender of the last line sent, or of the login.
                const std::size_t at = got.rfind("&<"), end = got.find('>', at);
                const std::string own = end != std::string::npos ? got.substr(at + 2, end - at - 2) : login;
                peer::SendAll(fd, line < 3 || own.empty() ? (line ? "&<B><hi>\r\n" : "Server restarting in 5 minutes\r\n")
                                                          : "&<" + own + "><own>\r\n");
            }
            if (action == 12 && fd >= 0) {
                std::string text = "&<B" + std::string(line < 2 ? bidi[rng.bounded(13)] : "") + "><";
                for (int n = rng.bounded(1, 12); n > 0; --n) text += bidi[rng.bounded(13)];
                peer::SendAll(fd, text + ">\r\n");
            }
            pump(rng.bounded(60));
            const TSocketState state = Form->TnCnx->State();
            const bool green = Form->Shape1->FillColor() == 65280;
            if (!closing && (green != (state == wsConnected) || Form->ConnectButton->isEnabled() == green ||
                             Form->DisconnectButton->isEnabled() != (state != wsClosed || Form->Reconnect->Waiting())))
                fail("buttons or lamp do not match the connection");
            // Only a Connect after the user's Disconnect, or the first, starts the conversation anew.
            if (!Form->DisplayMemo->toPlainText().startsWith(pane) && !mayClear) fail("the pane lost lines");
            pane = Form->DisplayMemo->toPlainText(), mayClear = mayClear && !green, fresh = fresh && !green;
            int count = 0;
            for (const QString& entry : users()) {
                if (!named.contains("\\Q" + entry + "\\E")) fail("a user no user list named");
                count += !entry.isEmpty();
            }
            if (Form->UserCount->text() != QString(count == 1 ? "1 user" : "%1 users").arg(count)) fail("the user count is off");
            for (const QString& l : Form->DisplayMemo->toPlainText().split('\n'))
                if ((l.startsWith("+ ") || l.startsWith("- ")) && !joins.match(l).hasMatch()) fail("a join or leave line of no list");
            if (Notifications.filter("own").size()) fail("a notification for one's own line");
        }
        // No line sways how another is drawn, in the pane or in the history's copy of it.
        if (!DrawnAsAlone(*Form->DisplayMemo)) fail("a line changes how another is drawn");
        Form->History1Click();
        if (!DrawnAsAlone(*Form->Memo1)) fail("a line changes how another is drawn in the history");
        Form.reset();
        if (fd >= 0) peer::Close(fd);
        peer::Close(filler);
    }
    for (const auto& [what, seed] : failures) ADD_FAILURE() << what << " (KORVEL_SEED=" << seed << ")";
}
