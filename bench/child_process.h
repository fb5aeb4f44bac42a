#pragma once
// Measured cases in fresh child processes (this benchmark program started again, or a small
// program built beside it): every case starts with a clean heap and its own peak-memory mark,
// and start-up is timed from the exec. The child writes its figures as "key=value" words on
// standard output; the parent reads them back.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace bench {

inline double MonotonicSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Peak and current resident memory of this process, in KiB (VmHWM and VmRSS).
struct TMemory {
    long PeakKiB = 0;
    long CurrentKiB = 0;
};
inline TMemory ProcessMemory() {
    TMemory m;
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) m.PeakKiB = std::atol(line.c_str() + 6);
        if (line.rfind("VmRSS:", 0) == 0) m.CurrentKiB = std::atol(line.c_str() + 6);
    }
    return m;
}

// What one child run gave: its words, the time its first output arrived (seconds on the
// monotonic clock, the same clock the child reads), its exit and its resource use.
struct TChildRun {
    double StartedAt = 0;       // just before the fork
    double FirstOutputAt = 0;   // when the first bytes of its output arrived
    std::map<std::string, std::string> Values;
    std::string Output;
    std::string Errors;         // its standard error, kept apart (shown only when a run fails)
    bool Exited = false;
    int ExitCode = -1;
    double CpuSeconds = 0;      // user + system of the child, from wait4
    long MaxRssKiB = 0;

    double Number(const std::string& Key) const {
        const auto it = Values.find(Key);
        return it == Values.end() ? 0 : std::atof(it->second.c_str());
    }
    bool Ok() const { return Exited && ExitCode == 0 && Values.count("ok") && Values.at("ok") == "1"; }
};

// This program's path, and the path of a program built beside it.
inline std::string SelfPath() {
    char path[4096];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string("/proc/self/exe");
}
inline std::string ProgramBeside(const std::string& Name) {
    const std::string self = SelfPath();
    return self.substr(0, self.rfind('/') + 1) + Name;
}

// A folder of this run's own under /tmp, removed with everything in it.
class TPrivateDir {
public:
    TPrivateDir() {
        char name[] = "/tmp/korvel-bench-XXXXXX";
        if (::mkdtemp(name)) Path_ = name;
    }
    ~TPrivateDir() {
        std::error_code ignored;
        if (!Path_.empty()) std::filesystem::remove_all(Path_, ignored);
    }
    TPrivateDir(const TPrivateDir&) = delete;
    TPrivateDir& operator=(const TPrivateDir&) = delete;
    const std::string& Path() const { return Path_; }

private:
    std::string Path_;
};

// Children that run Qt need a private runtime folder: one is made when the environment has
// none.
class TRuntimeDir {
public:
    TRuntimeDir() {
        const char* have = std::getenv("XDG_RUNTIME_DIR");
        if ((have && *have) || Dir_.Path().empty()) return;
        ::setenv("XDG_RUNTIME_DIR", Dir_.Path().c_str(), 1);
    }

private:
    TPrivateDir Dir_;
};

// Starts Program with Args and reads its output until it ends (or TimeoutSeconds pass, when it
// is killed).
inline TChildRun RunChild(const std::string& Program, const std::vector<std::string>& Args,
                          double TimeoutSeconds = 60) {
    TChildRun run;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return run;
    std::vector<std::string> args = {Program};
    args.insert(args.end(), Args.begin(), Args.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    std::FILE* errors = std::tmpfile();
    std::fflush(nullptr);
    run.StartedAt = MonotonicSeconds();
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        if (errors) std::fclose(errors);
        return run;
    }
    if (pid == 0) {
        ::dup2(fds[1], STDOUT_FILENO);
        // The file's own descriptor is not closed on exec: the program gets standard error only.
        if (errors) {
            ::dup2(::fileno(errors), STDERR_FILENO);
            ::close(::fileno(errors));
        }
        ::execv(Program.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    const double deadline = run.StartedAt + TimeoutSeconds;
    char buffer[4096];
    for (;;) {
        const double left = deadline - MonotonicSeconds();
        if (left <= 0) {
            ::kill(pid, SIGKILL);
            break;
        }
        pollfd p{fds[0], POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left * 1000) + 1);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) continue;
        const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (run.Output.empty()) run.FirstOutputAt = MonotonicSeconds();
        run.Output.append(buffer, static_cast<size_t>(n));
    }
    ::close(fds[0]);
    int status = 0;
    rusage usage{};
    while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    run.Exited = WIFEXITED(status);
    run.ExitCode = run.Exited ? WEXITSTATUS(status) : -1;
    run.CpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
    run.MaxRssKiB = usage.ru_maxrss;
    if (errors) {
        std::rewind(errors);
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, errors)) > 0;) run.Errors.append(buffer, n);
        std::fclose(errors);
    }

    std::istringstream words(run.Output);
    std::string word;
    while (words >> word) {
        const auto eq = word.find('=');
        if (eq != std::string::npos) run.Values[word.substr(0, eq)] = word.substr(eq + 1);
    }
    return run;
}

// The same for this program itself, started again.
inline TChildRun RunSelf(const std::vector<std::string>& Args, double TimeoutSeconds = 60) {
    return RunChild(SelfPath(), Args, TimeoutSeconds);
}

}  // namespace bench
