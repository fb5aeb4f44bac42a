#include "socket_probes.h"

#include "child_process.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>

// --- System calls -------------------------------------------------------------------------

std::string FindOnPath(const char* Name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t at = 0;
    while (at <= dirs.size()) {
        const std::size_t end = std::min(dirs.find(':', at), dirs.size());
        const std::string candidate = (end > at ? dirs.substr(at, end - at) : ".") + "/" + Name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
        at = end + 1;
    }
    return {};
}

namespace {

// The key of one line of an strace log (-f: each line starts with the thread's id; -y: a
// descriptor argument is followed by what it refers to, as in "write(5<anon_inode:[eventfd]>,").
// Empty for lines that are no call: a call's resumption ("<... poll resumed>", counted where it
// started), signals ("---") and exits ("+++").
std::string CallKey(const std::string& Line) {
    std::size_t at = 0;
    while (at < Line.size() && std::isdigit(static_cast<unsigned char>(Line[at]))) ++at;
    while (at < Line.size() && Line[at] == ' ') ++at;
    if (at >= Line.size() || !std::isalpha(static_cast<unsigned char>(Line[at]))) return {};
    const std::size_t open = Line.find('(', at);
    if (open == std::string::npos) return {};
    std::string name = Line.substr(at, open - at);
    static const std::set<std::string> transfers = {"read", "write", "readv", "writev"};
    if (transfers.count(name)) {
        const std::size_t tag = Line.find('<', open);
        const std::size_t comma = Line.find_first_of(",)", open);
        if (tag != std::string::npos && tag < comma) {
            if (Line.compare(tag, 20, "<anon_inode:[eventfd") == 0) name += "(eventfd)";
            else if (Line.compare(tag, 6, "<pipe:") == 0) name += "(pipe)";
        }
    }
    return name;
}

}  // namespace

TSyscallTally CountSyscalls(const std::string& Strace, const std::vector<std::string>& Command,
                            double TimeoutSeconds) {
    TSyscallTally tally;
    bench::TPrivateDir dir;
    if (dir.Path().empty()) {
        tally.Failure = "no scratch folder";
        return tally;
    }
    const std::string log = dir.Path() + "/strace.log";
    // -f: every thread; -qq: no attach and exit notes; -y: what each descriptor refers to;
    // -s 0: no string contents (less to write).
    std::vector<std::string> args = {"-f", "-qq", "-y", "-s", "0", "-o", log, "--"};
    args.insert(args.end(), Command.begin(), Command.end());
    const bench::TChildRun run = bench::RunChild(Strace, args, TimeoutSeconds);
    tally.Values = run.Values;
    if (!run.Ok()) {
        tally.Failure = run.Exited ? "exit " + std::to_string(run.ExitCode) : "killed (timed out?)";
        if (!run.Errors.empty()) tally.Failure += ": " + run.Errors.substr(0, 400);
        return tally;
    }
    std::ifstream in(log);
    std::string line;
    while (std::getline(in, line)) {
        const std::string key = CallKey(line);
        if (!key.empty()) ++tally.Calls[key];
    }
    if (tally.Calls.empty()) tally.Failure = "strace logged no calls";
    return tally;
}

bool IsEventLoopCall(const std::string& Key) {
    static const std::set<std::string> calls = {
        "poll", "ppoll", "select", "pselect6", "ioctl", "eventfd2", "eventfd",
    };
    return calls.count(Key) || Key.rfind("epoll_", 0) == 0 ||
           Key.find("(eventfd)") != std::string::npos || Key.find("(pipe)") != std::string::npos;
}

// --- The peer of the waiting-sockets case ---------------------------------------------------

namespace {

bool WriteWhole(int Fd, const char* Data, std::size_t Size) {
    while (Size > 0) {
        const ssize_t n = ::send(Fd, Data, Size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        Data += n;
        Size -= static_cast<std::size_t>(n);
    }
    return true;
}

// The peer's loop: accepts and writes the first part at once; on 'r' writes the rest to every
// connection and answers with their number; on 'c' answers with the number of descriptors its
// starter holds; ends on 'q', on the end of the commands' pipe, or after ten minutes whatever
// happens.
[[noreturn]] void PeerMain(int Starter, int Listener, int Control, int Replies, int Count,
                           const std::string& Record, std::size_t FirstPart) {
    std::vector<int> connections;
    connections.reserve(static_cast<std::size_t>(Count));
    const double deadline = bench::MonotonicSeconds() + 600;
    while (bench::MonotonicSeconds() < deadline) {
        const bool accepting = static_cast<int>(connections.size()) < Count;
        pollfd fds[2] = {{Control, POLLIN, 0}, {Listener, static_cast<short>(accepting ? POLLIN : 0), 0}};
        if (::poll(fds, 2, 1000) < 0 && errno != EINTR) break;
        if (fds[1].revents & POLLIN) {
            while (static_cast<int>(connections.size()) < Count) {
                // Blocking descriptors: the few bytes written to each always fit.
                const int fd = ::accept4(Listener, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd < 0) break;
                connections.push_back(fd);
                WriteWhole(fd, Record.data(), FirstPart);
            }
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            char command = 'q';
            if (::read(Control, &command, 1) != 1) break;
            int answer = 0;
            if (command == 'r') {
                for (const int fd : connections)
                    answer += WriteWhole(fd, Record.data() + FirstPart, Record.size() - FirstPart);
            } else if (command == 'c') {
                answer = OpenDescriptors(Starter);
            } else {
                break;
            }
            if (::write(Replies, &answer, sizeof answer) != sizeof answer) break;
        }
    }
    for (const int fd : connections) ::close(fd);
    ::_exit(0);
}

}  // namespace

bool TWaitingPeer::Start(int Count, const std::string& Record, std::size_t FirstPart,
                         std::string& Failure) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof at;
    if (listener < 0 || ::bind(listener, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0 ||
        ::listen(listener, Count + 16) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&at), &len) != 0) {
        Failure = std::string("peer listener: ") + std::strerror(errno);
        if (listener >= 0) ::close(listener);
        return false;
    }
    int control[2], replies[2];
    if (::pipe2(control, O_CLOEXEC) != 0) {
        Failure = std::string("pipe: ") + std::strerror(errno);
        ::close(listener);
        return false;
    }
    if (::pipe2(replies, O_CLOEXEC) != 0) {
        Failure = std::string("pipe: ") + std::strerror(errno);
        for (const int fd : {listener, control[0], control[1]}) ::close(fd);
        return false;
    }
    const pid_t starter = ::getpid();
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) {
        Failure = std::string("fork: ") + std::strerror(errno);
        for (const int fd : {listener, control[0], control[1], replies[0], replies[1]}) ::close(fd);
        return false;
    }
    if (pid == 0) {
        ::close(control[1]);
        ::close(replies[0]);
        // Standard output belongs to whoever reads this process's figures: the peer lets go of
        // it, so that the reader sees its end when this process ends.
        const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        if (null >= 0) ::dup2(null, STDOUT_FILENO);
        // The peer holds as many connections as this process has sockets: its own limit, not
        // this process's, must allow them.
        rlimit limit{};
        if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < static_cast<rlim_t>(Count) + 64) {
            limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, static_cast<rlim_t>(Count) + 64);
            ::setrlimit(RLIMIT_NOFILE, &limit);
        }
        PeerMain(starter, listener, control[0], replies[1], Count, Record, FirstPart);
    }
    ::close(listener);
    ::close(control[0]);
    ::close(replies[1]);
    Pid_ = pid;
    Control_ = control[1];
    Replies_ = replies[0];
    Port_ = ntohs(at.sin_port);
    return true;
}

int TWaitingPeer::Ask(char Command, int TimeoutMs) {
    if (Pid_ < 0 || ::write(Control_, &Command, 1) != 1) return -1;
    pollfd p{Replies_, POLLIN, 0};
    int answer = -1;
    if (::poll(&p, 1, TimeoutMs) != 1 || ::read(Replies_, &answer, sizeof answer) != sizeof answer)
        return -1;
    return answer;
}

int TWaitingPeer::Release(int TimeoutMs) { return Ask('r', TimeoutMs); }

int TWaitingPeer::CountStarterDescriptors(int TimeoutMs) { return Ask('c', TimeoutMs); }

void TWaitingPeer::Stop() {
    if (Pid_ < 0) return;
    const char command = 'q';
    [[maybe_unused]] const ssize_t ignored = ::write(Control_, &command, 1);
    ::close(Control_);
    ::close(Replies_);
    // The peer ends within a poll period; one that does not is ended.
    int status = 0;
    for (int i = 0; i < 50 && ::waitpid(Pid_, &status, WNOHANG) == 0; ++i) ::usleep(100 * 1000);
    if (::waitpid(Pid_, &status, WNOHANG) == 0) {
        ::kill(Pid_, SIGKILL);
        ::waitpid(Pid_, &status, 0);
    }
    Pid_ = Control_ = Replies_ = -1;
}

// --- This process -------------------------------------------------------------------------

int OpenDescriptors(int Pid) {
    const std::string path = Pid > 0 ? "/proc/" + std::to_string(Pid) + "/fd" : "/proc/self/fd";
    DIR* dir = ::opendir(path.c_str());
    if (!dir) return -1;
    int count = 0;
    while (const dirent* entry = ::readdir(dir))
        if (entry->d_name[0] != '.') ++count;
    ::closedir(dir);
    return Pid > 0 ? count : count - 1;  // the directory's own descriptor is left out
}

double ProcessCpuMs() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-3;
}

bool SetDescriptorLimit(long Soft) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_max < static_cast<rlim_t>(Soft)) return false;
    limit.rlim_cur = static_cast<rlim_t>(Soft);
    return ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

long DescriptorLimit() {
    rlimit limit{};
    return ::getrlimit(RLIMIT_NOFILE, &limit) == 0 ? static_cast<long>(limit.rlim_cur) : -1;
}
