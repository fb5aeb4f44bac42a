// Waiting inside the message loop. The wait is a local event loop: it sleeps until an event
// arrives, handles it, and looks at the flag each time the loop is about to sleep again.
#include "sync_wsocket.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>

namespace {

constexpr int WaitTimedOut = 12001;

enum TWaitEnd : int { weFlagSet = 1, weTimedOut = 2 };

// Qt keeps no quit message in the queue: a program that is quitting or closing down stands for
// it, as does the socket's own loop having seen one.
bool programEnding(bool Terminated) {
    return Terminated || QCoreApplication::closingDown() || !QCoreApplication::instance();
}

}  // namespace

int TCustomSyncWSocket::WaitForFlag(bool& Flag) {
    if (Flag) return 0;
    if (programEnding(Terminated)) return WaitTimedOut;
    // The wait is a frame of this socket: a Release that comes before or during it frees the
    // socket only once the wait has returned (the flag may be the socket's own).
    TFrame frame(*this);
    QEventLoop loop;
    // Checked whenever the loop has handled what was pending, and a few times a second in
    // case the dispatcher does not announce its sleeps.
    auto check = [&] {
        if (Flag) loop.exit(weFlagSet);
    };
    auto* dispatcher = QAbstractEventDispatcher::instance();
    QMetaObject::Connection sleeping;
    if (dispatcher)
        sleeping = QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, &loop,
                                    check);
    QTimer poll;
    poll.setInterval(50);
    QObject::connect(&poll, &QTimer::timeout, &loop, check);
    poll.start();
    QTimer deadline;
    deadline.setSingleShot(true);
    // A coarse timer may fire up to 5 % early; the wait lasts its full time, measured apart.
    deadline.setTimerType(Qt::PreciseTimer);
    const QDeadlineTimer end(SyncTimeout_, Qt::PreciseTimer);
    if (SyncTimeout_ > 0) {
        QObject::connect(&deadline, &QTimer::timeout, &loop, [&] {
            if (end.hasExpired())
                loop.exit(weTimedOut);
            else
                deadline.start(static_cast<int>(std::max<qint64>(1, end.remainingTime())));
        });
        deadline.start(SyncTimeout_);
    }
    // A program that quits ends every running event loop, this one included, with a code of
    // its own; and a loop started after the program quit returns at once.
    QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, &loop,
                     [&] { loop.exit(weTimedOut); });

    try {
        loop.exec();
    } catch (...) {
        // Handlers run inside the wait; nothing of theirs escapes it.
    }
    if (sleeping) QObject::disconnect(sleeping);
    if (Flag) return 0;
    return WaitTimedOut;
}

int TCustomSyncWSocket::RunAndWait(const std::function<void()>& Procedure, bool& Flag) {
    // The procedure may run the message loop too; the socket stays until the wait is over.
    TFrame frame(*this);
    Flag = false;
    if (Procedure) Procedure();
    return WaitForFlag(Flag);
}
