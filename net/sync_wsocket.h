#pragma once
// Waiting for a flag while the message loop runs, and the leaf class TWSocket.
#include "line_wsocket.h"

#include <functional>

class TCustomSyncWSocket : public TCustomLineWSocket {
public:
    using TCustomLineWSocket::TCustomLineWSocket;

    // The longest wait in milliseconds; 0 waits without a limit.
    int SyncTimeout() const { return SyncTimeout_; }
    void SetSyncTimeout(int Value) { SyncTimeout_ = Value; }

    // Runs the message loop until Flag is set (0), the time is up or the program is ending
    // (12001 for both). Never raises.
    virtual int WaitForFlag(bool& Flag);
    // Clears Flag, calls Procedure when there is one, then waits for Flag.
    virtual int RunAndWait(const std::function<void()>& Procedure, bool& Flag);

private:
    int SyncTimeout_ = 0;
};

// The socket object that components create.
class TWSocket : public TCustomSyncWSocket {
public:
    using TCustomSyncWSocket::TCustomSyncWSocket;
    ~TWSocket() override { BeginDestroy(); }
};
