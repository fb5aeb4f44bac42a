// Waiting for a flag with the message loop running.
#include "socket_probe.h"

#include "event_loop.h"
#include "posix_peer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
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

TEST(SyncWaitTest, ProgramEndingEndsTheWaitWith12001) {
    RecordingSocket s;
    bool flag = false;
    // Without the quit the flag would be set later and the wait would return 0.
    QTimer::singleShot(0, [] { QCoreApplication::exit(0); });
    QTimer::singleShot(3000, [&] { flag = true; });
    EXPECT_EQ(s.WaitForFlag(flag), 12001);
}

}  // namespace
