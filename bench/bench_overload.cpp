// The whole window against a peer that sends faster than the window can show.
//
// Responsiveness: the window is connected to a local peer that writes chat lines as fast as the
// client takes them; every 200 ms a line is typed into the compose pane (key events) and Enter
// pressed, and the time from the moment the line was due until it reaches the peer is taken.
// The same with the peer idle is the baseline, measured in the same run. Goal: the 95th
// percentile under the flood at most 100 ms. The run also reports the messages shown per second
// under the flood.
//
// Memory: the peer sends telnet option negotiations (DO TERMINAL-TYPE, WILL ECHO, DO
// SEND-LOCATION, repeated) and then one chat line; the window's peak resident memory is read
// before the connection and once that line is shown. Goal: it grows by at most 32 MiB, however
// many negotiations come (the figure is printed for two counts to show that).
//
// Each case runs in a fresh child process of its own. Own flags: --seconds=S for each
// responsiveness case (default 10), --negotiations=N for the larger storm (default 3,000,000),
// --child=flood|idle|storm runs one case alone.
#include "application.h"
#include "chat_pane.h"
#include "child_process.h"
#include "palnor_form.h"
#include "tncnx.h"
#include "window_bench.h"

#include <QApplication>
#include <QFile>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocument>
#include <QTimer>

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

enum class TPeerMode { Flood, Idle, Storm };

// The peer: takes one client, reads its login line, then floods chat lines, stays idle, or
// sends a storm of negotiations followed by one chat line. It always reads what the client
// sends (the typed lines, the replies to negotiations) and notes when each typed line arrived.
class TPeer {
public:
    TPeer(TPeerMode Mode, long Negotiations) : Mode_(Mode), Negotiations_(Negotiations) {
        ListenFd_ = bench::ListenOnLoopback(Port_);
        if (ListenFd_ >= 0) Thread_ = std::thread([this] { Serve(); });
    }
    ~TPeer() {
        Stop_ = true;
        ::shutdown(ListenFd_, SHUT_RDWR);
        if (Thread_.joinable()) Thread_.join();
        if (ListenFd_ >= 0) ::close(ListenFd_);
    }
    uint16_t Port() const { return Port_; }

    // When the typed line with this number reached the peer (0 while it has not).
    double ArrivalOf(int Probe) {
        std::lock_guard lock(Lock_);
        const auto it = Arrivals_.find(Probe);
        return it == Arrivals_.end() ? 0 : it->second;
    }

private:
    void Serve() {
        pollfd p{ListenFd_, POLLIN, 0};
        while (!Stop_ && ::poll(&p, 1, 100) == 0) {
        }
        const int fd = ::accept4(ListenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) return;
        std::string out, in;
        bool loggedIn = false;
        long negotiations = 0;
        int line = 0;
        while (!Stop_) {
            if (loggedIn && out.size() < 16 * 1024) Refill(out, negotiations, line);
            pollfd q{fd, static_cast<short>(POLLIN | (out.empty() ? 0 : POLLOUT)), 0};
            if (::poll(&q, 1, 50) <= 0) continue;
            if (q.revents & POLLIN) {
                char b[65536];
                const ssize_t n = ::recv(fd, b, sizeof b, 0);
                if (n == 0) break;
                if (n > 0) {
                    in.append(b, static_cast<size_t>(n));
                    loggedIn = loggedIn || in.find("\r\n") != std::string::npos;
                    NoteProbes(in);
                }
            }
            if ((q.revents & POLLOUT) && !out.empty()) {
                const ssize_t n = ::send(fd, out.data(), out.size(), MSG_NOSIGNAL);
                if (n > 0) out.erase(0, static_cast<size_t>(n));
            }
        }
        ::close(fd);
    }

    void Refill(std::string& Out, long& Negotiations, int& Line) {
        switch (Mode_) {
        case TPeerMode::Idle: return;
        case TPeerMode::Flood:
            for (; Out.size() < 64 * 1024; ++Line)
                Out += "&<FLOOD-" + std::to_string(Line % 4) + "><flood line " + std::to_string(Line) +
                       ">\r\n";
            return;
        case TPeerMode::Storm: {
            static const char Triple[] = {'\xff', '\xfd', 24, '\xff', '\xfb', 1, '\xff', '\xfd', 23};
            while (Negotiations < Negotiations_ && Out.size() < 64 * 1024) {
                Out.append(Triple, sizeof Triple);
                Negotiations += 3;
            }
            if (Negotiations >= Negotiations_ && Line == 0) {
                Out += "&<BENCH><storm done>\r\n";
                Line = 1;
            }
            return;
        }
        }
    }

    // Typed lines carry "probe<n>;"; each is noted once, at its first sight.
    void NoteProbes(std::string& In) {
        const double now = bench::MonotonicSeconds();
        size_t at;
        while ((at = In.find("probe")) != std::string::npos) {
            const size_t end = In.find(';', at);
            if (end == std::string::npos) break;
            const int probe = std::atoi(In.c_str() + at + 5);
            {
                std::lock_guard lock(Lock_);
                Arrivals_.emplace(probe, now);
            }
            In.erase(0, end + 1);
        }
        // Keep only a tail that may hold the start of a probe.
        if (In.size() > 64) In.erase(0, In.size() - 64);
    }

    TPeerMode Mode_;
    long Negotiations_;
    int ListenFd_ = -1;
    uint16_t Port_ = 0;
    std::atomic<bool> Stop_{false};
    std::mutex Lock_;
    std::map<int, double> Arrivals_;
    std::thread Thread_;
};

double Percentile(std::vector<double> V, double P) {
    if (V.empty()) return 0;
    std::sort(V.begin(), V.end());
    return V[std::min(V.size() - 1, static_cast<size_t>(P * static_cast<double>(V.size() - 1) + 0.5))];
}

// One case: a real main window connected to the peer.
int RunWindow(int argc, char** argv, TPeerMode Mode, double Seconds, long Negotiations) {
    QTemporaryDir config;
    TApplication app(argc, argv);
    bench::FontSubstitutions();
    TPeer peer(Mode, Negotiations);
    if (!bench::WindowFolder(config.path(), "OVERLOAD", peer.Port())) return 1;
    TPalnorForm form;
    form.show();
    bench::WaitExposed(form);
    const bench::TMemory before = bench::ProcessMemory();
    form.ConnectButton->click();
    const double connectDeadline = bench::MonotonicSeconds() + 10;
    while (form.TnCnx->State() != wsConnected && bench::MonotonicSeconds() < connectDeadline)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    if (form.TnCnx->State() != wsConnected) return 1;

    if (Mode == TPeerMode::Storm) {
        TChatPane* pane = form.DisplayMemo;
        auto done = [&] {
            for (qsizetype i = pane->LineCount() - 1; i >= 0 && i >= pane->LineCount() - 8; --i)
                if (pane->Line(i).contains(QStringLiteral("storm done"))) return true;
            return false;
        };
        const double deadline = bench::MonotonicSeconds() + 600;
        const double start = bench::MonotonicSeconds();
        while (!done() && bench::MonotonicSeconds() < deadline)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 200);
        const bench::TMemory after = bench::ProcessMemory();
        std::printf("ok=%d seconds=%.3f hwm_before_kib=%ld hwm_kib=%ld rss_kib=%ld\n", done() ? 1 : 0,
                    bench::MonotonicSeconds() - start, before.PeakKiB, after.PeakKiB, after.CurrentKiB);
        return 0;
    }

    // A line typed every 200 ms; each is due at its own tick of a fixed schedule, so that a
    // tick that comes late counts against the window.
    constexpr double Interval = 0.2;
    const int probes = std::max(5, static_cast<int>(Seconds / Interval));
    // Messages shown, counted as the pane reports its lines (three a message).
    int lines = 0;
    auto changed = form.DisplayMemo->OnChange;
    form.DisplayMemo->OnChange = [&](const QString& Line) {
        ++lines;
        if (changed) changed(Line);
    };
    const double start = bench::MonotonicSeconds() + Interval;
    std::vector<double> typedAt;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const int k = static_cast<int>(typedAt.size());
        if (k >= probes || bench::MonotonicSeconds() < start + k * Interval) return;
        typedAt.push_back(bench::MonotonicSeconds());
        form.SendMemo->setFocus();
        QTest::keyClicks(form.SendMemo, QStringLiteral("probe%1;").arg(k));
        QTest::keyClick(form.SendMemo, Qt::Key_Return);
    });
    ticker.start(5);
    const double end = start + probes * Interval + 2;
    auto allArrived = [&] {
        return static_cast<int>(typedAt.size()) == probes && peer.ArrivalOf(probes - 1) > 0;
    };
    while (!allArrived() && bench::MonotonicSeconds() < end)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    ticker.stop();
    const double elapsed = bench::MonotonicSeconds() - start;
    const int shown = lines / 3;

    std::vector<double> latencies;
    int lost = 0;
    for (int k = 0; k < probes; ++k) {
        const double arrived = peer.ArrivalOf(k);
        if (arrived <= 0) {
            ++lost;
            continue;
        }
        latencies.push_back((arrived - (start + k * Interval)) * 1000);
    }
    std::printf("ok=%d probes=%d lost=%d p50_ms=%.2f p95_ms=%.2f max_ms=%.2f shown=%d seconds=%.3f\n",
                lost == 0 ? 1 : 0, probes, lost, Percentile(latencies, 0.5), Percentile(latencies, 0.95),
                Percentile(latencies, 1.0), shown, elapsed);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    double seconds = 10;
    long negotiations = 3000000;
    std::string child;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--seconds=", 10) == 0) seconds = std::max(1.0, std::atof(argv[i] + 10));
        if (std::strncmp(argv[i], "--negotiations=", 15) == 0) negotiations = std::max(3L, std::atol(argv[i] + 15));
        if (std::strncmp(argv[i], "--child=", 8) == 0) child = argv[i] + 8;
    }
    if (child == "flood") return RunWindow(argc, argv, TPeerMode::Flood, seconds, 0);
    if (child == "idle") return RunWindow(argc, argv, TPeerMode::Idle, seconds, 0);
    if (child == "storm") return RunWindow(argc, argv, TPeerMode::Storm, 0, negotiations);

    const bench::TRuntimeDir runtime;
    const std::string secondsArg = "--seconds=" + std::to_string(seconds);
    auto run = [&](std::vector<std::string> Args, double Timeout) {
        bench::TChildRun r = bench::RunSelf(Args, Timeout);
        if (!r.Ok()) {
            std::printf("%s failed: %s\n%s\n", Args[0].c_str(), r.Output.c_str(), r.Errors.c_str());
            std::exit(1);
        }
        return r;
    };
    const bench::TChildRun idle = run({"--child=idle", secondsArg}, seconds + 60);
    const bench::TChildRun flood = run({"--child=flood", secondsArg}, seconds + 60);
    std::printf("typed line to the peer, ms after it was due (a line every 200 ms, %d lines)\n",
                static_cast<int>(flood.Number("probes")));
    std::printf("%-22s %9s %9s %9s %14s\n", "case", "p50", "p95", "max", "msgs shown/s");
    for (const auto* r : {&idle, &flood})
        std::printf("%-22s %9.2f %9.2f %9.2f %14.0f\n", r == &idle ? "peer idle (baseline)" : "peer flooding",
                    r->Number("p50_ms"), r->Number("p95_ms"), r->Number("max_ms"),
                    r->Number("shown") / r->Number("seconds"));
    const double p95 = flood.Number("p95_ms");
    std::printf("flood p95 %.2f ms, %.1f x the idle p95 (goal: at most 100 ms: %s)\n", p95,
                p95 / std::max(0.01, idle.Number("p95_ms")), p95 <= 100 ? "met" : "NOT met");
    std::printf("RATIO overload_flood_p95_ms %.2f 100 lower\n", p95);

    std::printf("\npeak resident memory under a storm of option negotiations\n");
    std::printf("%-22s %9s %12s %12s\n", "negotiations", "seconds", "peak MiB", "growth MiB");
    double worst = 0;
    for (long n : {negotiations / 10, negotiations}) {
        const bench::TChildRun r = run({"--child=storm", "--negotiations=" + std::to_string(n)}, 900);
        const double growth = (r.Number("hwm_kib") - r.Number("hwm_before_kib")) / 1024;
        worst = std::max(worst, growth);
        std::printf("%-22ld %9.1f %12.1f %12.1f\n", n, r.Number("seconds"), r.Number("hwm_kib") / 1024, growth);
    }
    std::printf("largest growth %.1f MiB (goal: at most 32 MiB: %s)\n", worst, worst <= 32 ? "met" : "NOT met");
    std::printf("RATIO overload_storm_growth_mib %.1f 32 lower\n", worst);
    return 0;
}
