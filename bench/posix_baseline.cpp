#include "posix_baseline.h"

#include "stream_check.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>

namespace {

constexpr int PollTimeoutMs = 5000;  // loopback never stalls this long unless something broke

std::string ErrnoText(const char* What) { return std::string(What) + ": " + std::strerror(errno); }

sockaddr_in Loopback(uint16_t Port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(Port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

bool WouldBlock(int Err) { return Err == EAGAIN || Err == EWOULDBLOCK; }

// Owns one descriptor.
struct TFd {
    int Fd = -1;
    ~TFd() {
        if (Fd >= 0) ::close(Fd);
    }
};

// A connected pair over loopback, both ends non-blocking: Client sends, Server receives.
bool ConnectedPair(TFd& Client, TFd& Server, std::string& Failure) {
    TPosixAcceptCloser listener;
    if (!listener.Ok()) {
        Failure = ErrnoText("listen");
        return false;
    }
    // Connected blocking: the listener's backlog completes the handshake before accept.
    Client.Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in to = Loopback(listener.Port());
    if (Client.Fd < 0 ||
        ::connect(Client.Fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        Failure = ErrnoText("connect");
        return false;
    }
    Server.Fd = ::accept4(listener.Fd(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (Server.Fd < 0) {
        Failure = ErrnoText("accept");
        return false;
    }
    if (::fcntl(Client.Fd, F_SETFL, ::fcntl(Client.Fd, F_GETFL) | O_NONBLOCK) != 0) {
        Failure = ErrnoText("fcntl");
        return false;
    }
    return true;
}

}  // namespace

TPosixAcceptCloser::TPosixAcceptCloser() {
    Fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (Fd_ < 0) return;
    sockaddr_in at = Loopback(0);
    socklen_t len = sizeof at;
    if (::bind(Fd_, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0 ||
        ::listen(Fd_, SOMAXCONN) != 0 ||
        ::getsockname(Fd_, reinterpret_cast<sockaddr*>(&at), &len) != 0) {
        ::close(Fd_);
        Fd_ = -1;
        return;
    }
    Port_ = ntohs(at.sin_port);
}

TPosixAcceptCloser::~TPosixAcceptCloser() {
    if (Fd_ >= 0) ::close(Fd_);
}

int TPosixAcceptCloser::AcceptAndClose() {
    int taken = 0;
    for (;;) {
        const int fd = ::accept4(Fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            // A connection reset before it was taken is simply gone; keep draining.
            if (errno == ECONNABORTED || errno == EINTR) continue;
            return taken;
        }
        // An orderly close: a reset here could reach the client before it has seen its
        // connection established, and fail the attempt.
        ::close(fd);
        ++taken;
    }
}

int PosixAcceptOne(const TPosixAcceptCloser& Listener, int TimeoutMs) {
    pollfd p{Listener.Fd(), POLLIN, 0};
    if (::poll(&p, 1, TimeoutMs) != 1) return -1;
    const int fd = ::accept4(Listener.Fd(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
        const int big = 8 << 20;  // the whole run fits, so that every byte is pending at once
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    }
    return fd;
}

bool PosixWriteAll(int Fd, const char* Data, uint64_t Size) {
    while (Size > 0) {
        const ssize_t n = ::send(Fd, Data, Size, MSG_NOSIGNAL);
        if (n <= 0) return false;
        Data += n;
        Size -= static_cast<uint64_t>(n);
    }
    return true;
}

void PosixClose(int Fd) { ::close(Fd); }

// Reads from a non-blocking receiving end until the kernel would block; false (with Failure
// set) when the read fails or the connection ends.
static bool DrainReceiver(int Fd, std::vector<char>& Buffer, TStreamChecker& Checker,
                   std::string& Failure) {
    for (;;) {
        const ssize_t n = ::recv(Fd, Buffer.data(), Buffer.size(), 0);
        if (n < 0) {
            if (WouldBlock(errno)) return true;
            Failure = ErrnoText("recv");
            return false;
        }
        if (n == 0) {
            Failure = "receiving end saw the connection close early";
            return false;
        }
        Checker.Take(Buffer.data(), static_cast<int>(n));
    }
}

// One wait of a raw stream's loop for the sending end (when it has more to send) and the
// receiving end; false (with Failure set) on a stall, a poll error or a failed sending end.
static bool WaitForEnds(int Client, int Server, bool Sending, pollfd (&Fds)[2],
                        std::string& Failure) {
    Fds[0] = {Client, static_cast<short>(Sending ? POLLOUT : 0), 0};
    Fds[1] = {Server, POLLIN, 0};
    const int ready = ::poll(Fds, 2, PollTimeoutMs);
    if (ready <= 0) {
        Failure = ready == 0 ? "stream stalled" : ErrnoText("poll");
        return false;
    }
    if (Fds[0].revents & (POLLERR | POLLHUP)) {
        Failure = "sending end failed";
        return false;
    }
    return true;
}

TRunResult RawStream(uint64_t Total, int SendSize, int ReadSize) {
    TRunResult r;
    TFd client, server;
    if (!ConnectedPair(client, server, r.Failure)) return r;

    const TStreamPattern pattern(MaxChunk);
    TStreamChecker checker(pattern);
    std::vector<char> buffer(static_cast<size_t>(ReadSize));
    uint64_t sent = 0;

    TStopwatch clock;
    clock.Start();
    while (checker.Received < Total) {
        pollfd fds[2];
        if (!WaitForEnds(client.Fd, server.Fd, sent < Total, fds, r.Failure)) return r;
        // Each side works until the kernel would block, as an event-driven socket does.
        if (fds[0].revents & POLLOUT) {
            while (sent < Total) {
                const int chunk = static_cast<int>(std::min<uint64_t>(SendSize, Total - sent));
                const ssize_t n = ::send(client.Fd, pattern.At(sent), static_cast<size_t>(chunk),
                                         MSG_NOSIGNAL);
                if (n < 0) {
                    if (WouldBlock(errno)) break;
                    r.Failure = ErrnoText("send");
                    return r;
                }
                sent += static_cast<uint64_t>(n);
            }
        }
        if ((fds[1].revents & (POLLIN | POLLHUP | POLLERR)) &&
            !DrainReceiver(server.Fd, buffer, checker, r.Failure))
            return r;
    }
    clock.Stop(r);
    r.Count = checker.Received;
    if (checker.Corrupt) r.Failure = "received bytes differ from the bytes sent";
    else if (checker.Received != Total) r.Failure = "received more bytes than were sent";
    return r;
}

TRunResult RawGatherStream(uint64_t Total, int BlockSize, int QueueBytes, int MaxPieces,
                           int ReadSize) {
    TRunResult r;
    TFd client, server;
    if (!ConnectedPair(client, server, r.Failure)) return r;

    const TStreamPattern pattern(MaxChunk);
    TStreamChecker checker(pattern);
    std::vector<char> buffer(static_cast<size_t>(ReadSize));

    // The queue: blocks of BlockSize bytes, the last one possibly shorter, each filled by a copy
    // as a sender's queue is (the caller's bytes are its own again once queued). Blocks that
    // have gone out are kept for reuse, so that the steady state allocates nothing.
    struct TBlock {
        std::vector<char> Bytes;
        int Used = 0;
    };
    std::deque<TBlock> queue, spare;
    int headSent = 0;     // bytes of the first block already written
    uint64_t queued = 0;  // bytes the queue has taken in
    std::vector<iovec> pieces(static_cast<size_t>(MaxPieces));

    auto refill = [&] {
        uint64_t room = std::min<uint64_t>(static_cast<uint64_t>(QueueBytes), Total - queued);
        while (room > 0) {
            TBlock block;
            if (!spare.empty()) {
                block = std::move(spare.front());
                spare.pop_front();
            } else {
                block.Bytes.resize(static_cast<size_t>(BlockSize));
            }
            block.Used = static_cast<int>(std::min<uint64_t>(static_cast<uint64_t>(BlockSize), room));
            std::memcpy(block.Bytes.data(), pattern.At(queued), static_cast<size_t>(block.Used));
            queued += static_cast<uint64_t>(block.Used);
            room -= static_cast<uint64_t>(block.Used);
            queue.push_back(std::move(block));
        }
    };

    TStopwatch clock;
    clock.Start();
    while (checker.Received < Total) {
        pollfd fds[2];
        if (!WaitForEnds(client.Fd, server.Fd, queued < Total || !queue.empty(), fds, r.Failure))
            return r;
        // The sender writes until the kernel would block, refilling its queue each time it has
        // been drained, as the socket object's sender refills on its "all sent" event.
        if (fds[0].revents & POLLOUT) {
            for (;;) {
                if (queue.empty()) {
                    if (queued >= Total) break;
                    refill();
                }
                int count = 0;
                for (const TBlock& block : queue) {
                    if (count == MaxPieces) break;
                    const int skip = count == 0 ? headSent : 0;
                    pieces[static_cast<size_t>(count)] = {
                        const_cast<char*>(block.Bytes.data()) + skip,
                        static_cast<size_t>(block.Used - skip)};
                    ++count;
                }
                ssize_t n = ::writev(client.Fd, pieces.data(), count);
                if (n < 0) {
                    if (WouldBlock(errno)) break;
                    r.Failure = ErrnoText("writev");
                    return r;
                }
                // Blocks written whole go to the spare list; a block written in part stays first.
                while (n > 0) {
                    const int left = queue.front().Used - headSent;
                    if (n < left) {
                        headSent += static_cast<int>(n);
                        break;
                    }
                    n -= left;
                    headSent = 0;
                    spare.push_back(std::move(queue.front()));
                    queue.pop_front();
                }
            }
        }
        if ((fds[1].revents & (POLLIN | POLLHUP | POLLERR)) &&
            !DrainReceiver(server.Fd, buffer, checker, r.Failure))
            return r;
    }
    clock.Stop(r);
    r.Count = checker.Received;
    if (checker.Corrupt) r.Failure = "received bytes differ from the bytes sent";
    else if (checker.Received != Total) r.Failure = "received more bytes than were sent";
    return r;
}

int ConnectLoopback(uint16_t Port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in to = Loopback(Port);
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        if (fd >= 0) ::close(fd);
        return -1;
    }
    return fd;
}

TRunResult RawConnectCycles(int Cycles) {
    TRunResult r;
    TPosixAcceptCloser listener;
    if (!listener.Ok()) {
        r.Failure = ErrnoText("listen");
        return r;
    }
    const sockaddr_in to = Loopback(listener.Port());
    const linger abortive{1, 0};

    TStopwatch clock;
    clock.Start();
    for (int i = 0; i < Cycles; ++i) {
        TFd client;
        client.Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (client.Fd < 0 ||
            ::setsockopt(client.Fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive) != 0) {
            r.Failure = ErrnoText("socket");
            return r;
        }
        if (::connect(client.Fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0 &&
            errno != EINPROGRESS) {
            r.Failure = ErrnoText("connect");
            return r;
        }
        for (bool connected = false; !connected;) {
            pollfd fds[2] = {{client.Fd, POLLOUT, 0}, {listener.Fd(), POLLIN, 0}};
            const int ready = ::poll(fds, 2, PollTimeoutMs);
            if (ready <= 0) {
                r.Failure = ready == 0 ? "connect stalled" : ErrnoText("poll");
                return r;
            }
            if (fds[1].revents & POLLIN) listener.AcceptAndClose();
            if (fds[0].revents & (POLLOUT | POLLERR | POLLHUP)) {
                int err = 0;
                socklen_t len = sizeof err;
                ::getsockopt(client.Fd, SOL_SOCKET, SO_ERROR, &err, &len);
                if (err != 0) {
                    errno = err;
                    r.Failure = ErrnoText("connect");
                    return r;
                }
                connected = true;
            }
        }
        ::shutdown(client.Fd, SHUT_WR);
        ++r.Count;
    }
    clock.Stop(r);
    listener.AcceptAndClose();
    return r;
}
