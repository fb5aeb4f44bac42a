#include "chat_relay.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

struct TRelayClient {
    std::string In;    // the unfinished line
    std::string Out;   // not yet written
    bool Dirty = false;
    bool Watching = false;  // EPOLLOUT is on
};

}  // namespace

int RunChatRelay(uint16_t Port) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(Port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 1024) != 0)
        return 1;
    const int ep = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{EPOLLIN, {.fd = listener}};
    ::epoll_ctl(ep, EPOLL_CTL_ADD, listener, &ev);

    std::unordered_map<int, TRelayClient> clients;
    std::vector<int> dirty;
    const auto drop = [&](int Fd) {
        ::close(Fd);
        clients.erase(Fd);
    };
    std::vector<epoll_event> events(256);
    char buffer[65536];
    for (;;) {
        const int n = ::epoll_wait(ep, events.data(), static_cast<int>(events.size()), -1);
        for (int i = 0; i < n; ++i) {
            const int fd = events[i].data.fd;
            if (fd == listener) {
                for (int c; (c = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;) {
                    ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                    epoll_event cev{EPOLLIN, {.fd = c}};
                    ::epoll_ctl(ep, EPOLL_CTL_ADD, c, &cev);
                    clients[c];
                }
                continue;
            }
            const auto it = clients.find(fd);
            if (it == clients.end()) continue;
            if (events[i].events & EPOLLOUT) {
                it->second.Dirty = true;
                dirty.push_back(fd);
            }
            if (!(events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR))) continue;
            const ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got == 0 || (got < 0 && errno != EAGAIN)) {
                drop(fd);
                continue;
            }
            if (got < 0) continue;
            std::string& in = it->second.In;
            in.append(buffer, static_cast<size_t>(got));
            const size_t end = in.rfind('\n');
            if (end == std::string::npos) continue;
            // Whole lines go to everyone, in one piece per read.
            for (auto& [cfd, c] : clients) {
                c.Out.append(in, 0, end + 1);
                if (!c.Dirty) {
                    c.Dirty = true;
                    dirty.push_back(cfd);
                }
            }
            in.erase(0, end + 1);
        }
        for (const int fd : dirty) {
            const auto it = clients.find(fd);
            if (it == clients.end() || !it->second.Dirty) continue;
            TRelayClient& c = it->second;
            c.Dirty = false;
            const ssize_t put = c.Out.empty() ? 0 : ::send(fd, c.Out.data(), c.Out.size(), MSG_NOSIGNAL);
            if (put < 0 && errno != EAGAIN) {
                drop(fd);
                continue;
            }
            if (put > 0) c.Out.erase(0, static_cast<size_t>(put));
            if (c.Out.empty() == !c.Watching) continue;
            c.Watching = !c.Out.empty();
            epoll_event cev{c.Watching ? uint32_t{EPOLLIN | EPOLLOUT} : uint32_t{EPOLLIN}, {.fd = fd}};
            ::epoll_ctl(ep, EPOLL_CTL_MOD, fd, &cev);
        }
        dirty.clear();
    }
}
