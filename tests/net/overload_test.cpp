// A peer that sends faster than the client reads must neither hold the event loop nor grow the
// message queue: a timer in the same loop keeps its rhythm, and a data handler that answers
// every few bytes (as a protocol answers option negotiations) leaves at most a few messages
// queued however long the flood lasts.
#include "socket_probe.h"

#include "event_loop.h"
#include "msgwindow.h"
#include "posix_peer.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTimer>

#include <atomic>
#include <poll.h>
#include <sys/socket.h>
#include <thread>

TEST(OverloadTest, AFloodLeavesTimersTheirTurnAndTheQueueBounded) {
    PosixListener listener;
    RecordingSocket s;
    s.ConnectTo(listener.Port());
    const int peerFd = listener.Accept();
    ASSERT_GE(peerFd, 0);
    ASSERT_TRUE(RunUntil([&] { return s.State() == wsConnected; }));

    // Three-byte records, each answered with three bytes.
    long long records = 0;
    int mostQueued = 0;
    s.OnDataAvailable = [&](QObject*, uint16_t) {
        char record[3];
        if (s.Receive(record, sizeof record) != 3) return;
        ++records;
        s.Send("\xff\xfc\x01", 3);
        mostQueued = std::max(mostQueued, msgwindow::PendingMessageCount(s.WindowHandle));
    };

    // The peer writes whenever it can and takes the answers, so that the client never blocks.
    std::atomic<bool> stop{false};
    std::thread flood([&] {
        const std::string burst(3 * 4096, '\x01');
        char answers[65536];
        while (!stop) {
            pollfd p{peerFd, POLLIN | POLLOUT, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            if (p.revents & POLLIN) ::recv(peerFd, answers, sizeof answers, MSG_DONTWAIT);
            if (p.revents & POLLOUT)
                ::send(peerFd, burst.data(), burst.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        }
    });

    QElapsedTimer clock;
    clock.start();
    qint64 last = 0, longestGap = 0;
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        longestGap = std::max(longestGap, now - last);
        last = now;
        ++ticks;
    });
    timer.start(20);
    const bool enoughTicks = RunUntil([&] { return ticks >= 40; }, 8000);
    stop = true;
    flood.join();
    peer::Close(peerFd);

    ASSERT_TRUE(enoughTicks) << "the timer starved: " << ticks << " ticks";
    EXPECT_GT(records, 10000) << "the flood did not really run";
    // The bound leaves room for a loaded machine running sanitizer builds side by side.
    EXPECT_LT(longestGap, 500) << "a timer waited this long (ms) behind the flood";
    EXPECT_LE(mostQueued, 4) << "messages piled up in the queue under the flood";
}
