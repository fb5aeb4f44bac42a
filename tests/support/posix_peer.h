#pragma once
// Scripted peers for socket tests: plain blocking POSIX sockets on 127.0.0.1, kept apart from
// the Windows names of the code under test.
#include <cstdint>
#include <string>

enum class PeerFamily { V4, V6 };

class PosixListener {
public:
    // Listens on 127.0.0.1 (or ::1, IPv6 only), on Port or one the system picks; with a backlog
    // of 0 and one connection waiting, further connects hang.
    explicit PosixListener(int Backlog = 16, PeerFamily Family = PeerFamily::V4, uint16_t Port = 0);
    ~PosixListener();
    uint16_t Port() const { return Port_; }
    bool Listening() const { return Port_ != 0; }
    int Accept(int TimeoutMs = 5000);  // a connected descriptor, or -1
    // Fills the backlog (of 0) with a connection nobody accepts: connects to it hang from now on,
    // as to a host that never answers.
    void Silence();

private:
    int Fd_ = -1;
    int Filler_ = -1;
    PeerFamily Family_;
    uint16_t Port_ = 0;
};

namespace peer {
int Connect(uint16_t Port, PeerFamily Family = PeerFamily::V4);  // blocking, to 127.0.0.1 or ::1
bool SendAll(int Fd, const std::string& Bytes);
// Sends what the socket takes without waiting: the count, 0 when it takes nothing, -1 on error.
int SendNow(int Fd, const std::string& Bytes);
// Sends Bytes as urgent data (its last byte marks where the urgent data ends).
bool SendUrgent(int Fd, const std::string& Bytes);
std::string Recv(int Fd, int TimeoutMs = 2000);   // what arrives within the time ("" at EOF)
std::string RecvExactly(int Fd, std::size_t Count, int TimeoutMs = 5000);
// One read without waiting, for peers polled between event-loop turns: appends what was there
// to Out and returns its size; 0 at the end of the stream (or a reset), -1 when nothing waits.
int RecvNow(int Fd, std::string& Out);
bool WaitEof(int Fd, int TimeoutMs = 5000);       // true when the other side has closed
void Close(int Fd);
void Reset(int Fd);                               // closes with a reset (linger 0)
void SetReceiveBuffer(int Fd, int Bytes);
uint16_t UnusedPort();                            // a port nobody listens on
// A local socket bound to Address (abstract when it starts with a zero byte), listening or not.
int BindLocal(const std::string& Address, bool Listen);
int OpenDescriptors();                            // of this process, to find leaks
// Lowers the soft limit of open descriptors so that exactly Spare more can be opened; returns
// the old limit for RestoreDescriptorLimit.
long LimitDescriptors(int Spare);
void RestoreDescriptorLimit(long Old);
}  // namespace peer
