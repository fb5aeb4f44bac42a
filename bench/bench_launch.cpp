// Launch to visible: the time from the fork of the chat program to its first window mapped on an
// X server, against a GTK chat client from Debian (HexChat) launched the same way on the same
// server in the same run. A program a user starts from the desktop is judged by when its window
// appears; the in-process start-up figure (bench_startup) cannot see the loading of the
// libraries, the connection to the display or the window system's part, and a chat program of
// another toolkit shows what a start on this machine costs a comparable program.
//
// The X server is a private Xvfb without a window manager; a window counts as visible when the
// server reports it mapped as a top-level window (a MapNotify on the root window, seen through
// xcb). Each launch is a fresh process with a fresh settings folder (both programs show their
// first-run window), ended once its window is mapped. The two alternate, after one unmeasured
// launch of each; the ratio is taken within each round. Without Xvfb or HexChat the figure is
// skipped: HexChat is no dependency of the program, only this baseline.
//
// Own flags: --rounds=N (default 9), --baseline=PATH (default /usr/bin/hexchat).
#include "child_process.h"
#include "run_timing.h"

#include <xcb/xcb.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr double Goal = 1.1;
constexpr double TimeoutSeconds = 30;

// A private X server, its display number read from -displayfd; what it says goes to a log of
// its own, shown when it does not come up.
class TXServer {
public:
    TXServer() {
        for (int attempt = 0; attempt < 3 && Display_.empty(); ++attempt) Start();
    }
    ~TXServer() { Stop(); }
    const std::string& Display() const { return Display_; }
    std::string Log() const {
        std::string text;
        if (FILE* f = std::fopen((Dir_.Path() + "/xvfb.log").c_str(), "r")) {
            char line[512];
            while (std::fgets(line, sizeof line, f)) text += line;
            std::fclose(f);
        }
        return text;
    }

private:
    void Start() {
        Stop();
        int fds[2];
        if (::pipe(fds) != 0) return;
        const std::string log = Dir_.Path() + "/xvfb.log";
        Pid_ = ::fork();
        if (Pid_ == 0) {
            ::close(fds[0]);
            const int null = ::open("/dev/null", O_RDWR);
            const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            ::dup2(null, STDIN_FILENO);
            ::dup2(out, STDOUT_FILENO);
            ::dup2(out, STDERR_FILENO);
            const std::string fd = std::to_string(fds[1]);
            ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1280x1024x24", "-nolisten", "tcp",
                     static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(fds[1]);
        char number[16] = {};
        pollfd p{fds[0], POLLIN, 0};
        if (Pid_ > 0 && ::poll(&p, 1, 30000) > 0 && ::read(fds[0], number, sizeof number - 1) > 0 &&
            ::waitpid(Pid_, nullptr, WNOHANG) == 0)
            Display_ = std::string(":").append(number, std::strcspn(number, "\n"));
        // The pipe stays open while the server runs: a server that writes to it again must not
        // end for it.
        Pipe_ = fds[0];
    }
    void Stop() {
        if (Pipe_ >= 0) ::close(std::exchange(Pipe_, -1));
        if (Pid_ <= 0) return;
        ::kill(Pid_, SIGTERM);
        ::waitpid(Pid_, nullptr, 0);
        Pid_ = -1;
    }

    bench::TPrivateDir Dir_;
    pid_t Pid_ = -1;
    int Pipe_ = -1;
    std::string Display_;
};

// The server's reports of top-level windows being mapped.
class TMapWatch {
public:
    // The server may take a while to accept connections after it named its display (on a busy
    // machine its keymap alone can take seconds).
    explicit TMapWatch(const std::string& Display) {
        for (int attempt = 0; attempt < 300; ++attempt) {
            Connection_ = xcb_connect(Display.c_str(), nullptr);
            if (!xcb_connection_has_error(Connection_)) break;
            xcb_disconnect(Connection_);
            Connection_ = nullptr;
            ::usleep(100000);
        }
        if (!Connection_) return;
        Root_ = xcb_setup_roots_iterator(xcb_get_setup(Connection_)).data->root;
        const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        xcb_change_window_attributes(Connection_, Root_, XCB_CW_EVENT_MASK, &mask);
        xcb_flush(Connection_);
        Ok_ = true;
    }
    ~TMapWatch() {
        if (Connection_) xcb_disconnect(Connection_);
    }
    bool Ok() const { return Ok_; }

    // Waits until a top-level window of at least 50 x 50 pixels (not a toolkit's helper window)
    // is mapped or Until (a monotonic time) passes; the time of the report, or 0. Size is that
    // window's size.
    double WaitForMap(double Until, xcb_rectangle_t& Size) {
        for (;;) {
            while (xcb_generic_event_t* event = xcb_poll_for_event(Connection_)) {
                const auto* map = reinterpret_cast<xcb_map_notify_event_t*>(event);
                const bool mapped = (event->response_type & 0x7f) == XCB_MAP_NOTIFY && map->event == Root_ &&
                                    !map->override_redirect;
                const double at = bench::MonotonicSeconds();
                const xcb_window_t window = map->window;
                std::free(event);
                if (!mapped) continue;
                xcb_get_geometry_reply_t* g =
                    xcb_get_geometry_reply(Connection_, xcb_get_geometry(Connection_, window), nullptr);
                if (!g) continue;
                Size = {g->x, g->y, g->width, g->height};
                std::free(g);
                if (Size.width >= 50 && Size.height >= 50) return at;
            }
            const double left = Until - bench::MonotonicSeconds();
            if (left <= 0 || xcb_connection_has_error(Connection_)) return 0;
            pollfd p{xcb_get_file_descriptor(Connection_), POLLIN, 0};
            ::poll(&p, 1, int(left * 1000) + 1);
        }
    }
    // Forgets what the server reported so far (the windows of an ended launch).
    void Drain() {
        xcb_aux_sync();
        while (xcb_generic_event_t* event = xcb_poll_for_event(Connection_)) std::free(event);
    }

private:
    void xcb_aux_sync() { std::free(xcb_get_input_focus_reply(Connection_, xcb_get_input_focus(Connection_), nullptr)); }

    xcb_connection_t* Connection_ = nullptr;
    xcb_window_t Root_ = 0;
    bool Ok_ = false;
};

// One launch: seconds from the fork to the first window mapped, or 0 when none was.
double Launch(TMapWatch& Watch, const std::string& Display, const std::vector<std::string>& Command,
              const std::vector<std::string>& Environment, xcb_rectangle_t& Size) {
    const bench::TPrivateDir home;
    Watch.Drain();
    std::fflush(nullptr);
    const double start = bench::MonotonicSeconds();
    const pid_t pid = ::fork();
    if (pid < 0) return 0;
    if (pid == 0) {
        ::setsid();
        ::setenv("DISPLAY", Display.c_str(), 1);
        ::setenv("HOME", home.Path().c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (home.Path() + "/config").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (home.Path() + "/data").c_str(), 1);
        ::setenv("XDG_CACHE_HOME", (home.Path() + "/cache").c_str(), 1);
        // Neither program finds a session bus or an accessibility bus here; both are told so
        // rather than left to wait for one.
        ::setenv("DBUS_SESSION_BUS_ADDRESS", "disabled:", 1);
        ::setenv("NO_AT_BRIDGE", "1", 1);
        ::unsetenv("QT_QPA_PLATFORM");
        for (const std::string& e : Environment) {
            const size_t eq = e.find('=');
            const std::string value = e.substr(eq + 1);
            ::setenv(e.substr(0, eq).c_str(), value == "@" ? home.Path().c_str() : value.c_str(), 1);
        }
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, STDIN_FILENO);
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        std::vector<char*> argv;
        for (const std::string& a : Command) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    const double mapped = Watch.WaitForMap(start + TimeoutSeconds, Size);
    ::kill(-pid, SIGTERM);
    for (int i = 0; i < 100 && ::waitpid(pid, nullptr, WNOHANG) == 0; ++i) ::usleep(20000);
    if (::waitpid(pid, nullptr, WNOHANG) == 0) {
        ::kill(-pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    return mapped > 0 ? mapped - start : 0;
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 9;
    std::string baseline = "/usr/bin/hexchat";
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--rounds=", 9) == 0) rounds = std::max(1, std::atoi(argv[i] + 9));
        if (std::strncmp(argv[i], "--baseline=", 11) == 0) baseline = argv[i] + 11;
    }
    if (::access(baseline.c_str(), X_OK) != 0) {
        std::printf("%s is not installed: the launch figure is skipped (apt-get install hexchat to take it)\n",
                    baseline.c_str());
        return 0;
    }
    const TXServer server;
    if (server.Display().empty()) {
        std::printf("no Xvfb could be started: the launch figure is skipped\n%s\n", server.Log().c_str());
        return 0;
    }
    TMapWatch watch(server.Display());
    if (!watch.Ok()) {
        std::printf("the X server %s did not answer:\n%s\n", server.Display().c_str(), server.Log().c_str());
        return 1;
    }
    const std::string program = bench::ProgramBeside("../app/korvelchat2");
    const std::string instance = "KorvelBenchLaunch" + std::to_string(::getpid());
    struct TCase {
        const char* Name;
        std::vector<std::string> Command, Environment;
    };
    const std::vector<TCase> cases = {
        {"korvelchat2", {program}, {"KORVELCHAT_CONFIG_DIR=@", "KORVELCHAT_INSTANCE_NAME=" + instance}},
        {"hexchat", {baseline, "--cfgdir", "@"}, {}},
    };
    xcb_rectangle_t size{};
    auto launch = [&](const TCase& Case) {
        std::vector<std::string> command = Case.Command;
        const bench::TPrivateDir config;
        for (std::string& a : command)
            if (a == "@") a = config.Path();
        const double seconds = Launch(watch, server.Display(), command, Case.Environment, size);
        // The single-instance block of an ended copy stays behind; it is this run's own.
        ::shm_unlink(("/" + instance + "-" + std::to_string(::geteuid())).c_str());
        return seconds;
    };
    for (const TCase& c : cases) {
        if (launch(c) <= 0) {
            std::printf("%s showed no window within %.0f s\n", c.Name, TimeoutSeconds);
            return 1;
        }
        std::printf("%s: first window %dx%d\n", c.Name, size.width, size.height);
    }
    std::vector<double> ours, theirs, ratios;
    for (int r = 0; r < rounds; ++r) {
        double seconds[2] = {};
        for (const int k : RoundOrder<int>({0, 1}, r)) {
            seconds[k] = launch(cases[size_t(k)]);
            if (seconds[k] <= 0) {
                std::printf("%s showed no window within %.0f s\n", cases[size_t(k)].Name, TimeoutSeconds);
                return 1;
            }
        }
        ours.push_back(seconds[0]);
        theirs.push_back(seconds[1]);
        ratios.push_back(seconds[0] / seconds[1]);
    }
    const TSpread ratio = SpreadOf(ratios), a = SpreadOf(ours), b = SpreadOf(theirs);
    std::printf("%d rounds on Xvfb %s; launch to the first window mapped, ms: korvelchat2 %.1f (%.1f-%.1f), "
                "hexchat %.1f (%.1f-%.1f)\n",
                rounds, server.Display().c_str(), a.Median * 1e3, a.Min * 1e3, a.Max * 1e3, b.Median * 1e3,
                b.Min * 1e3, b.Max * 1e3);
    std::printf("ratio korvelchat2 / hexchat, launch to visible: %.2f (%.2f-%.2f), goal <= %.1f\n", ratio.Median,
                ratio.Min, ratio.Max, Goal);
    PrintRatio("launch_to_visible_vs_gtk_chat", ratio, Goal, TGoal::Lower, 2);
    return 0;
}
