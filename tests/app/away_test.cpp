// What the window does beyond the conversation itself: the conversation log, reconnecting by
// itself, notifications while the user is away, and text in any script.
#include "form_support.h"

#include "attention.h"
#include "codepage.h"
#include "conversation_log.h"
#include "log_round_trip.h"
#include "notify.h"
#include "reconnect.h"
#include "test_seed.h"

#include <QAccessible>
#include <QLabel>
#include <QFile>
#include <QStatusBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QThread>

#include <csignal>
#include <fcntl.h>
#include <memory>
#include <sys/file.h>
#include <unistd.h>
#include <sys/resource.h>

namespace {

QStringList LogLines(const QString& Path) {
    QFile file(Path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    QStringList lines = QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts);
    for (QString& line : lines) line = line.mid(20);  // without "yyyy-MM-dd HH:mm:ss "
    return lines;
}

}  // namespace

TEST(ConversationLogTest, LinesAreWrittenPerTurnAndAFailingFolderIsReportedOnce) {
    QTemporaryDir dir;
    TConversationLog log;
    log.SetFolder(dir.path() + "/logs");
    QStringList errors;
    log.OnError = [&](const QString& Message) { errors << Message; };

    log.Append(QString::fromUtf8("ALICE-A 12:00 ž"));
    log.Append("one\r\ntwo");
    const QString file = log.FileFor(QDate::currentDate());
    EXPECT_FALSE(QFile::exists(file)) << "lines wait for the end of the event-loop turn";
    QCoreApplication::processEvents();
    EXPECT_EQ(LogLines(file), (QStringList{QString::fromUtf8("ALICE-A 12:00 ž"), "one", "two"}));

    // A folder that cannot be made: reported once, however many turns fail, and the lines of a
    // failing turn do not come back later.
    QFile blocker(dir.path() + "/blocked");
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    log.SetFolder(dir.path() + "/blocked/logs");
    for (int turn = 0; turn < 3; ++turn) {
        log.Append("lost");
        QCoreApplication::processEvents();
    }
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors[0].contains("blocked/logs")) << errors[0].toStdString();
    log.SetFolder(dir.path() + "/logs");
    log.Append("three");
    log.Flush();
    EXPECT_EQ(LogLines(file).last(), "three");

    log.SetEnabled(false);
    log.Append("not logged");
    log.Flush();
    EXPECT_EQ(LogLines(file).size(), 4);
}

// The fuzz target's property for a few seconds: what the server sends, logged, reads back as it
// was, and no line of the log carries a stamp the program did not write.
TEST(ConversationLogTest, RandomLinesReadBackUnderTheirOwnStamps) {
    const uint32_t seed = TestSeed();
    SCOPED_TRACE("KORVEL_SEED=" + std::to_string(seed));
    QRandomGenerator rng(seed);
    for (int round = 0; round < 400; ++round) ASSERT_EQ(LogRoundTrip(RandomBytes(rng, 600)), "");
}

// Another process holding a log file's lock never stops the window: the lines wait, in order,
// and go in once the lock is free.
TEST(ConversationLogTest, ALockHeldElsewhereIsNeverWaitedFor) {
    QTemporaryDir dir;
    TConversationLog log;
    log.SetFolder(dir.path());
    const QString file = log.CurrentFile();
    const int holder = ::open(QFile::encodeName(file).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);
    std::unique_ptr<QThread> release(QThread::create([holder] { QThread::msleep(1000); ::close(holder); }));
    release->start();
    log.Append("first");
    QElapsedTimer clock;
    clock.start();
    log.Flush();
    EXPECT_LT(clock.elapsed(), 500) << "the window waited for the lock";
    log.Append("second");
    EXPECT_TRUE(LogLines(file).isEmpty());
    EXPECT_TRUE(RunUntil([&] { return LogLines(file) == QStringList{"first", "second"}; }, 5000));
    release->wait();
}

// A turn's lines go in whole or not at all, the cause of a failure is named, and a line a crash
// left without its end does not swallow the next one.
TEST(ConversationLogTest, AFailedWriteLeavesNoPartOfALine) {
    QTemporaryDir dir;
    TConversationLog log;
    log.SetFolder(dir.path());
    QStringList errors;
    log.OnError = [&](const QString& Message) { errors << Message; };
    const QString file = log.FileFor(QDate::currentDate());
    {
        QFile torn(file);
        ASSERT_TRUE(torn.open(QIODevice::WriteOnly) && torn.write("2026-01-01 10:00:00 torn") > 0);
    }
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    for (const rlimit& limit : {rlimit{30, saved.rlim_max}, saved}) {
        setrlimit(RLIMIT_FSIZE, &limit);
        log.Append(QStringLiteral("one line"));
        log.Flush();
    }
    QFile read(file);
    ASSERT_TRUE(read.open(QIODevice::ReadOnly));
    EXPECT_EQ(TConversationLog::Parse(read.readAll()).size(), 2u) << "the torn line, then the line once";
    ASSERT_TRUE(QFile::remove(file) && QFile::link("/dev/full", file));
    log.Append("lost");
    log.Flush();
    ASSERT_EQ(errors.size(), 2);
    EXPECT_TRUE(errors[0].endsWith(file + ": File too large")) << errors[0].toStdString();
    EXPECT_TRUE(errors[1].contains(file + ": No space left on device")) << errors[1].toStdString();
}

TEST(ReconnectTest, BacksOffStopsAfterFiveFailuresAndIsNotStartedByTheUsersOwnEnds) {
    EXPECT_EQ(TReconnect::DelayFor(0), 2);
    EXPECT_EQ(TReconnect::DelayFor(3), 16);
    EXPECT_EQ(TReconnect::DelayFor(5), 60);
    EXPECT_EQ(TReconnect::DelayFor(40), 60);

    TReconnect reconnect(nullptr, 1);
    std::vector<int> countdowns;
    int attempts = 0, giveUps = 0;
    reconnect.OnCountdown = [&](int Left) { countdowns.push_back(Left); };
    reconnect.OnAttempt = [&] { ++attempts; };
    reconnect.OnGiveUp = [&] { ++giveUps; };

    // A failed Connect of the user's own, and a refused login, start nothing.
    reconnect.ConnectionLost(true);
    reconnect.ConnectionLost(false);
    EXPECT_FALSE(reconnect.Waiting());

    // The session drops: 2, 4, 8, 16, 32 seconds between failed attempts, then it gives up.
    reconnect.LoginAccepted();
    reconnect.ConnectionLost(false);
    std::vector<int> firsts;
    for (int failure = 0; failure < TReconnect::MaxFailures; ++failure) {
        ASSERT_TRUE(reconnect.Waiting()) << failure;
        firsts.push_back(reconnect.SecondsLeft());
        ASSERT_TRUE(QTest::qWaitFor([&] { return attempts == failure + 1; }, 2000));
        reconnect.ConnectionLost(true);
    }
    EXPECT_EQ(firsts, (std::vector<int>{2, 4, 8, 16, 32}));
    EXPECT_EQ(giveUps, 1);
    EXPECT_FALSE(reconnect.Waiting());
    EXPECT_EQ(countdowns.size(), 2u + 4 + 8 + 16 + 32) << "the countdown is shown every second";

    // Disconnect or Connect cancels a pending attempt; a disabled reconnect never starts.
    reconnect.LoginAccepted();
    reconnect.ConnectionLost(false);
    reconnect.Cancel();
    QTest::qWait(20);
    EXPECT_EQ(attempts, 5);
    reconnect.SetEnabled(false);
    reconnect.LoginAccepted();
    reconnect.ConnectionLost(false);
    EXPECT_FALSE(reconnect.Waiting());
}

TEST(AttentionTest, OneNotificationPerBurstOnlyForOthersWhileAway) {
    struct TCall {
        QString Summary, Body;
        uint32_t ReplacesId;
        TNotifyDone Done;
    };
    std::vector<TCall> calls;
    SetNotifySink([&](const QString& S, const QString& B, uint32_t R, TNotifyDone D) {
        calls.push_back({S, B, R, std::move(D)});
    });
    QWidget window;  // never activated: the user is away
    TAttention attention(&window);

    attention.ChatLine("ME-X", "my own line", true);
    EXPECT_TRUE(calls.empty()) << "no notification for one's own lines";
    attention.ChatLine("BOB-B", "first\r\nsecond line", false);
    attention.ChatLine("BOB-B", "again", false);
    attention.ChatLine("EVE-E", "third", false);
    ASSERT_EQ(calls.size(), 1u) << "one call in flight at a time";
    EXPECT_EQ(calls[0].Summary, "BOB-B");
    EXPECT_EQ(calls[0].Body, "first");
    calls[0].Done(7);
    ASSERT_EQ(calls.size(), 2u) << "the burst updates the notification once it has its id";
    EXPECT_EQ(calls[1].ReplacesId, 7u);
    EXPECT_EQ(calls[1].Summary, "3 new lines from 2 people");
    EXPECT_EQ(calls[1].Body, "EVE-E: third");
    calls[1].Done(7);

    // The user comes back while an update is on its way: nothing more is shown for that burst.
    attention.ChatLine("BOB-B", "one more", false);
    attention.ChatLine("BOB-B", "and another", false);
    ASSERT_EQ(calls.size(), 3u);
    attention.WindowActivated();
    calls[2].Done(7);
    EXPECT_EQ(calls.size(), 3u);
    attention.ChatLine("BOB-B", "later", false);
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[3].ReplacesId, 0u) << "after the user came back, a new notification";
    attention.SetEnabled(false);
    attention.ChatLine("BOB-B", "off", false);
    EXPECT_EQ(calls.size(), 4u);
    SetNotifySink({});
}

TEST(WireTextTest, EachLineIsUtf8WhenValidAndWindows1252Otherwise) {
    EXPECT_EQ(FromWireLine("plain"), "plain");
    EXPECT_EQ(FromWireLine("\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82"), QString::fromUtf8("Привет"));
    EXPECT_EQ(FromWireLine("caf\xe9 \x80"), QString::fromUtf8("café €"));
    EXPECT_EQ(FromWireLine("\xe2\x82"), QString::fromUtf8("â‚")) << "a cut UTF-8 sequence is not UTF-8";
    EXPECT_EQ(FromWireLine("\xf0\x9f\x98\x80"), QString::fromUtf8("😀"));
}

// One session against a scripted server while the user is in another window: text in either
// code in one read, notifications for others' lines only, the announcement, the log.
TEST_F(FormTest, AwayTheUserIsNotifiedAndEveryShownLineIsLogged) {
    Connected("CALL", "NAME");
    QWidget elsewhere;
    elsewhere.show();
    QApplication::setActiveWindow(&elsewhere);
    ASSERT_TRUE(RunUntil([&] { return !Form->isActiveWindow(); }));

    ServerSends("&<BOB-B><\xd0\x96\xd0\xb8\xd0\xb2\xd0\xbe>\r\n&<EVE-E><caf\xe9>\r\n&<CALL-NAME><mine>\r\n");
    EXPECT_TRUE(DisplayLines().contains(QString::fromUtf8("Живо")));
    EXPECT_TRUE(DisplayLines().contains(QString::fromUtf8("café")));
    EXPECT_EQ(Notifications, (QStringList{QString::fromUtf8("BOB-B: Живо"), "2 new lines from 2 people: EVE-E: caf\u00e9"}));
    EXPECT_EQ(QAccessible::queryAccessibleInterface(Form->DisplayMemo)->text(QAccessible::Description),
              "CALL-NAME says: mine") << "what a screen reader is told of the newest line";

    RunFor(20);
    const QString log = Form->ConversationLog->FileFor(QDate::currentDate());
    EXPECT_TRUE(log.startsWith(Config.path() + "/data/korvelchat2/logs/")) << log.toStdString();
    QStringList logged = LogLines(log);
    ASSERT_EQ(logged.size(), 6) << "what the pane finally shows: no notice the Connect wiped; "
                                << logged.join('|').toStdString();
    EXPECT_TRUE(logged[0].startsWith("BOB-B "));
    EXPECT_EQ(logged[1], QString::fromUtf8("Живо"));
    EXPECT_EQ(logged[5], "mine");
    // The end of a session is logged with its cause, once; a failed attempt keeps its notice.
    Form->DisconnectButton->click();
    Form->SendButton->click();
    Form->ConversationLog->Flush();
    EXPECT_EQ(LogLines(log).mid(6), (QStringList{"*** Session ended: Disconnect was pressed ***"}));
    Form->SendButton->click();
    Form->ConversationLog->Flush();
    EXPECT_EQ(LogLines(log).mid(7), (QStringList{"*** NOT CONNECTED ***"}));

    // The history page shows a day's log, earlier sessions included.
    Dialogs.NextFile = log;
    Form->History1Click();
    Form->ShowLogButton->click();
    EXPECT_EQ(Dialogs.ProposedFile, log);
    EXPECT_TRUE(Form->Memo1->toPlainText().contains(QString::fromUtf8("Живо")));
}

// The server ends an accepted session: the client counts down, logs in again as Connect does,
// and keeps its log; a refused login, Disconnect and the setting switched off start nothing.
TEST_F(FormTest, ReconnectsOnlyWhenTheSessionWasLostWithoutTheUserAsking) {
    Connected("CALL", "NAME");
    Form->resize(420, Form->height());
    ServerSends("*w\r\n~A-1,B-2\r\n&<BOB-B><before>\r\n");
    peer::Close(std::exchange(ServerFd, -1));
    ASSERT_TRUE(RunUntil([&] { return Form->Reconnect->Waiting(); }));
    const QString countdown = Form->statusBar()->currentMessage();
    EXPECT_TRUE(countdown.startsWith("Connection closed by the server. Reconnecting in 2 s")) << countdown.toStdString();
    // A narrow window shows the countdown whole, on as many lines as it takes.
    RunFor(20);
    const QStatusBar* bar = Form->statusBar();
    EXPECT_LE(bar->fontMetrics().boundingRect(QRect(0, 0, bar->width() - 24, 1000), Qt::TextWordWrap, countdown).height(),
              bar->height()) << "cut off at " << bar->width() << " pixels";
    EXPECT_TRUE(Form->DisconnectButton->isEnabled()) << "Disconnect stops the countdown";
    ASSERT_TRUE(RunUntil([&] { return (ServerFd = Server.Accept(0)) >= 0; }, 5000));
    EXPECT_EQ(ReadFromClient(16), "~SC=CALL-NAME\r\n");
    ASSERT_TRUE(RunUntil([&] { return Form->Shape1->FillColor() == 65280; }));
    ServerSends("*w\r\n~A-1,C-3\r\n*w\r\n");
    EXPECT_EQ(DisplayLines().filter(QRegularExpression("^(before|-- reconnected \\d\\d.\\d\\d --)$")).size(), 2);
    EXPECT_EQ(DisplayLines().count("          Welcome."), 1) << "welcomed once";
    EXPECT_TRUE(DisplayLines().contains("+ C-3 joined; - B-2 left")) << "against the list before the drop";

    // A session that drops again at once is one more failure of the series; Disconnect ends it.
    peer::Close(std::exchange(ServerFd, -1));
    ASSERT_TRUE(RunUntil([&] { return Form->Shape1->FillColor() == 255; }));
    EXPECT_TRUE(Form->Reconnect->Waiting());
    Form->DisconnectButton->click();

    // Disconnect, and a session lost with the setting off, start nothing either.
    Form->ConnectButton->click();
    ASSERT_TRUE(RunUntil([&] { return (ServerFd = Server.Accept(0)) >= 0; }));
    ASSERT_TRUE(RunUntil([&] { return Form->Shape1->FillColor() == 65280; }));
    ServerSends("*w\r\n");
    Form->DisconnectButton->click();
    EXPECT_FALSE(Form->Reconnect->Waiting());
    peer::Close(std::exchange(ServerFd, -1));
    Form->cbReconnect->setChecked(false);
    Form->ConnectButton->click();
    ASSERT_TRUE(RunUntil([&] { return (ServerFd = Server.Accept(0)) >= 0; }));
    ASSERT_TRUE(RunUntil([&] { return Form->Shape1->FillColor() == 65280; }));
    ServerSends("*w\r\n");
    peer::Close(std::exchange(ServerFd, -1));
    ASSERT_TRUE(RunUntil([&] { return Form->Shape1->FillColor() == 255; }));
    EXPECT_FALSE(Form->Reconnect->Waiting());
}

// Every control a user can reach has a name a screen reader can say; a label says what it shows.
TEST_F(FormTest, EveryControlHasAnAccessibleName) {
    MakeForm();
    for (QWidget* w : Form->findChildren<QWidget*>()) {
        if (w->focusPolicy() == Qt::NoFocus || qobject_cast<QAbstractScrollArea*>(w->parentWidget())) continue;
        QAccessibleInterface* a = QAccessible::queryAccessibleInterface(w);
        ASSERT_NE(a, nullptr);
        EXPECT_FALSE(a->text(QAccessible::Name).trimmed().isEmpty())
            << w->metaObject()->className() << " " << w->objectName().toStdString();
    }
    Form->History1Click(), Form->SendMemo->setPlainText("a > b"), Form->Settings1Click();
    Form->edName->setText(QString::fromUtf8("\u0416")), Form->edUser->clear(), Form->Button2->click();
    for (QLabel* label : {Form->ComposeNote, Form->NameNote, Form->SettingsHint, Form->UserCount, Form->HistoryNote})
        EXPECT_EQ(QAccessible::queryAccessibleInterface(label)->text(QAccessible::Name), label->text());
}
