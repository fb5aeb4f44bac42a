// Random sessions of the real window against a scripted server on 127.0.0.1: user actions and
// server events in random order, the window's invariants checked after every step. Each failure
// names the first seed it came in; KORVEL_SEED=n replays it, KORVEL_RUNS=n runs more.
#include "form_support.h"
#include "reconnect.h"
#include "test_seed.h"

#include <QDir>
#include <QLabel>

#include <map>

TEST_F(FormTest, RandomSessionsLeaveOneClearState) {
    std::map<std::string, uint32_t> failures;
    for (const uint32_t seed : SequenceSeeds(500, 6)) {
        QRandomGenerator rng(seed);
        auto fail = [&](const char* What) { failures.emplace(What, seed); };
        PosixListener stalled(0);  // with one connection waiting, the next connect hangs
        const int filler = peer::Connect(stalled.Port());
        int fd = -1;
        std::string got, login;  // what the current connection sent; its login's call sign
        bool dropNext = false, closing = false, user = false, mayClear = false;
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
        Form->Reconnect->SetSecondMs(10);
        QWidget elsewhere;  // the user is away: others' lines are notified
        elsewhere.show();
        QApplication::setActiveWindow(&elsewhere);
        Notifications.clear();
        QString pane;
        const uint16_t ports[] = {Server.Port(), peer::UnusedPort(), stalled.Port(), Server.Port()};
        const char* lines[] = {"~A,B\r\n", "~A\r\nC, D\r\n", "Server restarting in 5 minutes\r\n", "&<B><hi>\r\n", "~\r\n"};
        for (int step = 0; step < 30 && !closing; ++step) {
            const bool up = Form->TnCnx->State() == wsConnected;
            const int action = rng.bounded(12), where = rng.bounded(4), line = rng.bounded(7);
            user = action < 7;  // what the user does; the rest is the server's
            mayClear = mayClear || action < 2;
            if (action < 2) Form->ConnectButton->click();
            if (action == 2) Form->DisconnectButton->click();
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
            user = false;
            if (action == 7) dropNext = true;
            if (action == 8 && fd >= 0) peer::Close(std::exchange(fd, -1));
            if (action > 8 && fd >= 0) peer::SendAll(fd, line < 5 || login.empty() ? lines[line % 5] : "&<" + login + "><own>\r\n");
            pump(rng.bounded(60));
            const TSocketState state = Form->TnCnx->State();
            const bool green = Form->Shape1->FillColor() == 65280;
            if (!closing && (green != (state == wsConnected) || Form->ConnectButton->isEnabled() == green ||
                             Form->DisconnectButton->isEnabled() != (state != wsClosed || Form->Reconnect->Waiting())))
                fail("buttons or lamp do not match the connection");
            if (!Form->DisplayMemo->toPlainText().startsWith(pane) && !mayClear) fail("the pane lost lines");
            pane = Form->DisplayMemo->toPlainText(), mayClear = mayClear && !green;
            int users = 0;
            for (int i = 0; i < Form->lbUsers->count(); ++i) {
                if (!QString("ABCD").contains(Form->lbUsers->item(i)->text())) fail("a user no user list named");
                users += !Form->lbUsers->item(i)->text().isEmpty();
            }
            if (Form->UserCount->text() != QString(users == 1 ? "1 user" : "%1 users").arg(users)) fail("the user count is off");
            static const QRegularExpression joins("^(\\+ [A-D](, [A-D])* joined)?(; )?(- [A-D](, [A-D])* left)?$");
            for (const QString& l : Form->DisplayMemo->toPlainText().split('\n'))
                if ((l.startsWith("+ ") || l.startsWith("- ")) && !joins.match(l).hasMatch()) fail("a join or leave line of no list");
            if (Notifications.filter("own").size()) fail("a notification for one's own line");
        }
        Form.reset();
        if (fd >= 0) peer::Close(fd);
        peer::Close(filler);
    }
    for (const auto& [what, seed] : failures) ADD_FAILURE() << what << " (KORVEL_SEED=" << seed << ")";
}
