#include "happy_eyeballs.h"

#include "line_wsocket.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <vector>

namespace {

class ScriptedSocket : public TWSocket {
public:
    std::vector<TSocketAddress> Answer;

protected:
    std::vector<TSocketAddress> ResolvePeerAddresses(const std::string&) override { return Answer; }
};

// A listener on 127.0.0.1 or ::1 at Port (0: any); -1 when it cannot be made.
int Listen(bool V6, uint16_t Port, int Backlog) {
    const int fd = ::socket(V6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage a{};
    socklen_t len;
    if (V6) {
        auto* a6 = reinterpret_cast<sockaddr_in6*>(&a);
        a6->sin6_family = AF_INET6;
        a6->sin6_port = htons(Port);
        a6->sin6_addr = in6addr_loopback;
        const int on = 1;
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
        len = sizeof *a6;
    } else {
        auto* a4 = reinterpret_cast<sockaddr_in*>(&a);
        a4->sin_family = AF_INET;
        a4->sin_port = htons(Port);
        a4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        len = sizeof *a4;
    }
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(fd, Backlog) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

uint16_t PortOf(int Fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(Fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

}  // namespace

TSpread MeasureHappyEyeballs(int Rounds) {
    std::vector<double> ms;
    winsock::in6_addr loopback6{};
    loopback6.u.Byte[15] = 1;
    for (int round = 0; round < Rounds; ++round) {
        const int v4 = Listen(false, 0, 16);
        const uint16_t port = PortOf(v4);
        const int silent = Listen(true, port, 0);
        if (v4 < 0 || silent < 0) return {};
        // One connection nobody accepts fills the backlog of 0: later ones are never answered.
        const int filler = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in6 to{};
        to.sin6_family = AF_INET6;
        to.sin6_port = htons(port);
        to.sin6_addr = in6addr_loopback;
        ::connect(filler, reinterpret_cast<sockaddr*>(&to), sizeof to);
        double took = -1;
        {
            ScriptedSocket s;
            s.Answer = {TSocketAddress::V6(loopback6, 0), TSocketAddress::V4(htonl(INADDR_LOOPBACK), 0)};
            const auto start = std::chrono::steady_clock::now();
            s.OnSessionConnected = [&](QObject*, uint16_t Error) {
                if (Error == 0)
                    took = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
            };
            s.SetAddr("both.example");
            s.SetPort(std::to_string(port));
            s.Connect();
            QDeadlineTimer deadline(5000);
            while (took < 0 && !deadline.hasExpired())
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        }
        for (int fd : {filler, silent, v4}) ::close(fd);
        if (took < 0) return {};
        ms.push_back(took);
    }
    return SpreadOf(ms);
}
