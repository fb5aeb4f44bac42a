#pragma once
// Process-level probes of the socket benchmark, on plain POSIX (kept apart from the socket
// layer's Windows names, as posix_baseline is): system calls counted under strace, the peer
// process of the waiting-sockets case, the descriptors and CPU time of this process.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// --- System calls -------------------------------------------------------------------------

// The full path of a program found on PATH, or "" when there is none.
std::string FindOnPath(const char* Name);

// How many system calls a command made, by call, with every thread and child it started. Reads
// and writes are told apart by what they went to: "read", or "read(eventfd)", "write(pipe)" for
// the wake-up descriptors of an event loop.
struct TSyscallTally {
    std::map<std::string, long> Calls;
    std::map<std::string, std::string> Values;  // the key=value words the command printed
    std::string Failure;                        // empty when strace and the command succeeded
};
TSyscallTally CountSyscalls(const std::string& Strace, const std::vector<std::string>& Command,
                            double TimeoutSeconds);

// Calls of the event loop's own machinery: polls, epoll_*, ioctl, and reads and writes of
// eventfd and pipe descriptors.
bool IsEventLoopCall(const std::string& Key);

// --- The peer of the waiting-sockets case ---------------------------------------------------

// A process of its own, so that its descriptors do not count against this process's limit. It
// listens on 127.0.0.1, accepts up to Count connections and writes the first FirstPart bytes of
// Record to each at once; the rest goes to every connection on Release(). It ends on Stop(), or
// when this process ends. Start it before any thread runs (it forks).
class TWaitingPeer {
public:
    TWaitingPeer() = default;
    ~TWaitingPeer() { Stop(); }
    TWaitingPeer(const TWaitingPeer&) = delete;
    TWaitingPeer& operator=(const TWaitingPeer&) = delete;

    bool Start(int Count, const std::string& Record, std::size_t FirstPart, std::string& Failure);
    uint16_t Port() const { return Port_; }
    // Sends the rest of the record to every connection; the number of connections it went to,
    // or -1 when the peer did not answer within TimeoutMs.
    int Release(int TimeoutMs);
    // The descriptors the process that started the peer holds, counted by the peer, which
    // spares that process the descriptor a count of its own would take (it may have none
    // left); -1 when the peer did not answer within TimeoutMs.
    int CountStarterDescriptors(int TimeoutMs);
    void Stop();

private:
    int Ask(char Command, int TimeoutMs);  // sends a command, returns the peer's answer

    int Pid_ = -1;
    int Control_ = -1;  // this end of the commands' pipe
    int Replies_ = -1;  // this end of the answers' pipe
    uint16_t Port_ = 0;
};

// --- This process -------------------------------------------------------------------------

// The descriptors a process holds (0: this one, the count's own left out); -1 when they cannot
// be counted, such as when this process has no descriptor left to count with.
int OpenDescriptors(int Pid = 0);
double ProcessCpuMs();                  // user + system time of this process, all threads
bool SetDescriptorLimit(long Soft);     // the soft RLIMIT_NOFILE; false when the hard one is lower
long DescriptorLimit();                 // the soft RLIMIT_NOFILE now
