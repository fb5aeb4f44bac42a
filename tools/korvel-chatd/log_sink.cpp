#include "log_sink.h"

#include <QFile>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

// What the writer thread and the server share; the thread keeps it alive when it is left behind.
struct TLogSink::TShared {
    int Fd;
    std::size_t MaxPendingBytes;
    std::mutex Lock;
    std::condition_variable Changed;
    std::string Pending;          // lines with their line ends, oldest first
    std::size_t DroppedTotal = 0;
    std::size_t DroppedUnreported = 0;
    bool Writing = false;         // the thread holds a batch it has not finished writing
    bool Stopping = false;
    bool Started = false;

    void Run() {
        QFile out;
        const bool open = out.open(Fd, QIODevice::WriteOnly | QIODevice::Unbuffered,
                                   QFileDevice::DontCloseHandle);
        std::unique_lock lock(Lock);
        for (;;) {
            Changed.wait(lock, [this] { return Stopping || !Pending.empty() || DroppedUnreported; });
            if (Pending.empty() && !DroppedUnreported) return;  // stopping, all written
            std::string batch = std::exchange(Pending, {});
            if (DroppedUnreported)
                batch += "korvel-chatd: " + std::to_string(std::exchange(DroppedUnreported, 0)) +
                         " log lines dropped: standard output was not read in time\n";
            Writing = true;
            lock.unlock();
            // A reader that has gone away (a broken pipe) loses the lines; the server goes on.
            if (open) out.write(batch.data(), static_cast<qint64>(batch.size()));
            lock.lock();
            Writing = false;
            Changed.notify_all();
        }
    }
};

TLogSink::TLogSink(int Fd, std::size_t MaxPendingBytes)
    : Shared(std::make_shared<TShared>()) {
    Shared->Fd = Fd;
    Shared->MaxPendingBytes = MaxPendingBytes;
}

TLogSink::~TLogSink() {
    std::unique_lock lock(Shared->Lock);
    if (!Shared->Started) return;
    Shared->Stopping = true;
    Shared->Changed.notify_all();
    const bool drained = Shared->Changed.wait_for(lock, std::chrono::seconds(2), [this] {
        return Shared->Pending.empty() && !Shared->DroppedUnreported && !Shared->Writing;
    });
    lock.unlock();
    // The thread owns a reference to the shared state, so leaving it behind is safe; it ends
    // with the process.
    (void)drained;
}

void TLogSink::Write(const std::string& Line) {
    std::lock_guard lock(Shared->Lock);
    if (!Shared->Started) {
        Shared->Started = true;
        std::thread([shared = Shared] { shared->Run(); }).detach();
    }
    if (Shared->Pending.size() + Line.size() + 1 > Shared->MaxPendingBytes) {
        ++Shared->DroppedTotal;
        ++Shared->DroppedUnreported;
    } else {
        Shared->Pending += Line;
        Shared->Pending += '\n';
    }
    Shared->Changed.notify_all();
}

std::size_t TLogSink::Dropped() const {
    std::lock_guard lock(Shared->Lock);
    return Shared->DroppedTotal;
}
