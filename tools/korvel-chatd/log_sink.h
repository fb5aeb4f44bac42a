#pragma once
// TLogSink: log lines written to a file descriptor (standard output) by a thread of their own,
// so that a reader of that output who stalls never stalls the server. Lines wait in a bounded
// queue; when it is full, new lines are dropped and counted, and the count is written as a line
// of its own once the output moves again.
#include <cstddef>
#include <memory>
#include <string>

class TLogSink {
public:
    // Lines go to the open descriptor Fd, which the sink never closes.
    explicit TLogSink(int Fd, std::size_t MaxPendingBytes = 1 << 20);
    // Waits a moment for the queue to drain; a writer still blocked then is left behind, so that
    // a stalled reader cannot hold up the end of the program either.
    ~TLogSink();
    TLogSink(const TLogSink&) = delete;
    TLogSink& operator=(const TLogSink&) = delete;

    // Queues Line (a line end is added) and returns at once.
    void Write(const std::string& Line);
    // Lines dropped so far because the queue was full.
    std::size_t Dropped() const;

private:
    struct TShared;
    std::shared_ptr<TShared> Shared;
};
