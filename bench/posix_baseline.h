#pragma once
// The raw POSIX side of the socket benchmark: the same work as the TWSocket runs, done with
// plain non-blocking sockets on 127.0.0.1 and one poll() loop on the calling thread. Kept in its
// own unit because the POSIX headers' macros clash with the Windows names of the socket layer.
#include "run_timing.h"

#include <cstdint>

// Streams Total bytes from a connected socket to its peer, handing each send() SendSize bytes
// and each recv() ReadSize bytes.
TRunResult RawStream(uint64_t Total, int SendSize, int ReadSize);

// Streams Total bytes the way a sender with a queue of blocks does: the queue is refilled with
// up to QueueBytes, copied into BlockSize-byte blocks, whenever it has been drained; writev()
// hands up to MaxPieces blocks to the kernel per call; each recv() reads ReadSize bytes.
TRunResult RawGatherStream(uint64_t Total, int BlockSize, int QueueBytes, int MaxPieces,
                           int ReadSize);

// Cycles times: connect to a listener served by the same loop, wait until the connection is
// established, close it. The close is the one the socket object makes (shutdown for sending,
// then a close with linger on and a zero timeout), so both runs put the same packets on the
// wire.
TRunResult RawConnectCycles(int Cycles);

// A blocking TCP connection to 127.0.0.1:Port, or -1 when it was refused.
int ConnectLoopback(uint16_t Port);

// A listening socket on 127.0.0.1, on a port the system picks, that accepts and closes whatever
// arrives. The caller watches Fd() for readability and then calls AcceptAndClose().
class TPosixAcceptCloser {
public:
    TPosixAcceptCloser();
    ~TPosixAcceptCloser();
    TPosixAcceptCloser(const TPosixAcceptCloser&) = delete;
    TPosixAcceptCloser& operator=(const TPosixAcceptCloser&) = delete;

    bool Ok() const { return Fd_ >= 0; }
    int Fd() const { return Fd_; }
    uint16_t Port() const { return Port_; }
    int AcceptAndClose();  // connections taken and closed now; never blocks

private:
    int Fd_ = -1;
    uint16_t Port_ = 0;
};

// The peer of a run that the socket object receives: it accepts one connection on the
// listener above and writes whole buffers to it, blocking until each is in the kernel.
int PosixAcceptOne(const TPosixAcceptCloser& Listener, int TimeoutMs);  // a descriptor, or -1
bool PosixWriteAll(int Fd, const char* Data, uint64_t Size);
void PosixClose(int Fd);
