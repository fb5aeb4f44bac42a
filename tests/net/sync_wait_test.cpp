// Waiting for a flag with the message loop running.
#include "socket_probe.h"

#include "event_loop.h"
#include "posix_peer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>

#include <gtest/gtest.h>

namespace {

TEST(SyncWaitTest, RunAndWaitReturnsOnceAnEventSetsTheFlag) {
    PosixListener listener;
    RecordingSocket s;
    bool connected = false;
    s.OnSessionConnected = [&](QObject*, uint16_t) { connected = true; };
    s.SetSyncTimeout(10000);
    EXPECT_EQ(s.RunAndWait([&] { s.ConnectTo(listener.Port()); }, connected), 0);
    EXPECT_EQ(s.State(), wsConnected);
    EXPECT_EQ(s.WaitForFlag(connected), 0) << "a set flag returns at once";
}

TEST(SyncWaitTest, TimeOutGives12001) {
    RecordingSocket s;
    s.SetSyncTimeout(100);
    bool never = false;
    EXPECT_EQ(s.WaitForFlag(never), 12001);
}

TEST(SyncWaitTest, AWaitLastsItsFullTime) {
    for (int timeout : {20, 100, 150}) {
        RecordingSocket s;
        s.SetSyncTimeout(timeout);
        bool never = false;
        QElapsedTimer clock;
        clock.start();
        EXPECT_EQ(s.WaitForFlag(never), 12001);
        EXPECT_GE(clock.elapsed(), timeout);
    }
}

// A Release before a wait (0), in a procedure that runs the message loop (1) or from a handler
// in the wait (2) frees the socket once the wait has returned; the flag is the socket's own.
TEST(SyncWaitTest, AReleaseWaitsForTheWaitToReturn) {
    struct FlagSocket : RecordingSocket { bool Done = false; };
    PosixListener listener;
    for (const int when : {0, 1, 2}) {
        QPointer<FlagSocket> s = new FlagSocket;
        s->SetSyncTimeout(300);
        s->OnSessionConnected = [&](QObject*, uint16_t) { s->Release(); };
        if (when < 2) s->Release();
        const int result = when == 0 ? s->WaitForFlag(s->Done) : s->RunAndWait([&] {
            if (when == 1) QCoreApplication::processEvents();
            else s->ConnectTo(listener.Port());
        }, s->Done);
        EXPECT_EQ(result, 12001) << when;
        ASSERT_FALSE(s.isNull()) << when;
        EXPECT_TRUE(RunUntil([&] { return s.isNull(); })) << when;
    }
}

TEST(SyncWaitTest, ProgramEndingEndsTheWaitWith12001) {
    RecordingSocket s;
    bool flag = false;
    // Without the quit the flag would be set later and the wait would return 0.
    QTimer::singleShot(0, [] { QCoreApplication::exit(0); });
    QTimer::singleShot(3000, &s, [&] { flag = true; });  // cancelled with s, before flag goes
    EXPECT_EQ(s.WaitForFlag(flag), 12001);
}

}  // namespace
