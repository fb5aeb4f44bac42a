// What the window does beyond the conversation itself: the conversation log, reconnecting by
// itself, notifications while the user is away, and text in any script.
#include "attention.h"
#include "codepage.h"
#include "conversation_log.h"
#include "notify.h"
#include "reconnect.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

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
    EXPECT_EQ(calls[1].Summary, "EVE-E (3 new lines)");
    calls[1].Done(7);

    attention.WindowActivated();
    attention.ChatLine("BOB-B", "later", false);
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[2].ReplacesId, 0u) << "after the user came back, a new notification";
    attention.SetEnabled(false);
    attention.ChatLine("BOB-B", "off", false);
    EXPECT_EQ(calls.size(), 3u);
    SetNotifySink({});
}

TEST(WireTextTest, EachLineIsUtf8WhenValidAndWindows1252Otherwise) {
    EXPECT_EQ(FromWireLine("plain"), "plain");
    EXPECT_EQ(FromWireLine("\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82"), QString::fromUtf8("Привет"));
    EXPECT_EQ(FromWireLine("caf\xe9 \x80"), QString::fromUtf8("café €"));
    EXPECT_EQ(FromWireLine("\xe2\x82"), QString::fromUtf8("â‚")) << "a cut UTF-8 sequence is not UTF-8";
    EXPECT_EQ(FromWireLine("\xf0\x9f\x98\x80"), QString::fromUtf8("😀"));
}
