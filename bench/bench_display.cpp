// Display throughput: chat messages from a flooding server on loopback, through the whole client
// stack (socket, telnet session, the window's line splitting and chat-line handling) into the
// conversation pane of a real main window, against the same three lines per message appended
// one call per line to a bare QPlainTextEdit of the same size and font (the baseline), fed in
// the same reads with one event-loop turn after each. Both run on the offscreen platform, each
// in a fresh child process so that each has its own peak-memory mark. The baseline shows at
// most 100,000 messages: its rate and its memory are compared per message.
//
// Figures: messages per second; the cost per message of the first and of the last 10,000, as a
// mean and as the median over the event-loop turns (each turn's time over its messages, which a
// busy machine disturbs far less); peak memory (VmHWM), how much the run added to it, and that
// over the messages. Goals: at least twice the baseline's messages per second, the last 10,000
// messages at most 1.3 times the cost of the first (by turn medians, taken run by run; the
// median of the runs is shown), at most 300 bytes of added peak memory per message. Each ratio
// is also printed as a "RATIO" line for scripts/bench's summary (run_timing.h); the window and
// the baseline run in turns, and the rate ratio is taken within each round.
//
// Own flags: --messages=N (default 100000), --rounds=N runs of the window (default 5),
// --baseline-rounds=N (default 5); medians are reported. --child=window|plain runs one case
// alone (--timeout=S bounds a run, default 50 s for each 100,000 messages).
#include "application.h"
#include "run_timing.h"
#include "chat_pane.h"
#include "chat_protocol.h"
#include "child_process.h"
#include "palnor_form.h"
#include "tncnx.h"
#include "window_bench.h"

#include <QApplication>
#include <QFile>
#include <QFont>
#include <QFontDatabase>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTime>
#include <QWindow>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int ReadSize = TTnCnx::ReadSize;  // the client's socket read; the baseline's batch
constexpr int BaselineMax = 100000;         // messages the baseline shows at most
constexpr double GrowthGoal = 1.3;          // last 10,000 over first 10,000 messages, at most
constexpr double BytesGoal = 100;           // peak memory added per message, at most
constexpr double RateGoal = 10;             // messages per second over the baseline's, at least

const char* const Senders[] = {"AAA-ALICE", "BBB-BOB", "CCC-CAROL", "DDD-DMITRI"};

// Message n on the wire: "&<sender><message text n>" CR LF.
void AppendWireLine(std::string& Out, int N) {
    Out += "&<";
    Out += Senders[N % 4];
    Out += "><message text ";
    Out += std::to_string(N);
    Out += ">\r\n";
}

double ThreadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// A chat server that does nothing but flood: it takes one client, reads its login line, then
// writes Count chat lines as fast as the socket takes them, and keeps the connection open until
// the client closes it. Plain blocking POSIX sockets on a thread of its own.
class TFloodServer {
public:
    explicit TFloodServer(int Count) : Count_(Count) {
        ListenFd_ = bench::ListenOnLoopback(Port_);
        if (ListenFd_ >= 0) Thread_ = std::thread([this] { Serve(); });
    }
    ~TFloodServer() {
        ::shutdown(ListenFd_, SHUT_RDWR);
        const int fd = ConnFd_.load();
        if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
        if (Thread_.joinable()) Thread_.join();
        if (fd >= 0) ::close(fd);
        if (ListenFd_ >= 0) ::close(ListenFd_);
    }
    uint16_t Port() const { return Port_; }

private:
    void Serve() {
        const int fd = ::accept4(ListenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;
        ConnFd_.store(fd);
        // The login line first: the client has then handled its connection and cleared its pane.
        std::string got;
        char b[256];
        while (got.find("\r\n") == std::string::npos) {
            const ssize_t n = ::recv(fd, b, sizeof b, 0);
            if (n <= 0) return;
            got.append(b, static_cast<size_t>(n));
        }
        std::string chunk;
        for (int i = 0; i < Count_;) {
            chunk.clear();
            while (i < Count_ && chunk.size() < 64 * 1024) AppendWireLine(chunk, i++);
            for (size_t off = 0; off < chunk.size();) {
                const ssize_t n = ::send(fd, chunk.data() + off, chunk.size() - off, MSG_NOSIGNAL);
                if (n <= 0) return;
                off += static_cast<size_t>(n);
            }
        }
        while (::recv(fd, b, sizeof b, 0) > 0) {
        }
    }

    int Count_;
    int ListenFd_ = -1;
    uint16_t Port_ = 0;
    std::atomic<int> ConnFd_{-1};
    std::thread Thread_;
};

// Where a run stood after each read: messages shown so far, wall clock and this thread's CPU.
struct TMark {
    int Messages;
    double Wall;
    double Cpu;
};

// The cost per message over the marks from messages From to To: the mean (all time between the
// two marks over the messages between them) and the median of the event-loop turns in between
// (each turn's time over its messages), which a busy machine disturbs far less.
struct TCost {
    double MeanUs = 0, MeanCpuUs = 0, MedianUs = 0, MedianCpuUs = 0;
};
TCost CostBetween(const std::vector<TMark>& Marks, int From, int To) {
    size_t a = 0, b = Marks.size() - 1;
    while (a < b && Marks[a].Messages < From) ++a;
    while (b > a && Marks[b - 1].Messages >= To) --b;
    TCost c;
    const double n = Marks[b].Messages - Marks[a].Messages;
    if (n <= 0) return c;
    c.MeanUs = (Marks[b].Wall - Marks[a].Wall) * 1e6 / n;
    c.MeanCpuUs = (Marks[b].Cpu - Marks[a].Cpu) * 1e6 / n;
    std::vector<double> wall, cpu;
    for (size_t i = a + 1; i <= b; ++i) {
        const double m = Marks[i].Messages - Marks[i - 1].Messages;
        if (m <= 0) continue;
        wall.push_back((Marks[i].Wall - Marks[i - 1].Wall) * 1e6 / m);
        cpu.push_back((Marks[i].Cpu - Marks[i - 1].Cpu) * 1e6 / m);
    }
    c.MedianUs = Median(wall);
    c.MedianCpuUs = Median(cpu);
    return c;
}

// The figures of one run, printed as words for the parent.
void Report(const std::vector<TMark>& Marks, int Count, const bench::TMemory& Before, bool Ok) {
    const TMark& first = Marks.front();
    const TMark& last = Marks.back();
    const int block = std::min(10000, Count);
    const TCost head = CostBetween(Marks, 0, block);
    const TCost tail = CostBetween(Marks, Count - block, Count);
    const bench::TMemory after = bench::ProcessMemory();
    std::printf("ok=%d seconds=%.6f cpu=%.6f messages=%d reads=%zu", Ok ? 1 : 0, last.Wall - first.Wall,
                last.Cpu - first.Cpu, last.Messages - first.Messages, Marks.size() - 1);
    std::printf(" first_us=%.4f first_cpu_us=%.4f first_med_us=%.4f first_med_cpu_us=%.4f", head.MeanUs,
                head.MeanCpuUs, head.MedianUs, head.MedianCpuUs);
    std::printf(" last_us=%.4f last_cpu_us=%.4f last_med_us=%.4f last_med_cpu_us=%.4f", tail.MeanUs,
                tail.MeanCpuUs, tail.MedianUs, tail.MedianCpuUs);
    std::printf(" hwm_before_kib=%ld hwm_kib=%ld rss_kib=%ld\n", Before.PeakKiB, after.PeakKiB, after.CurrentKiB);
    std::fflush(stdout);
}

// The window under test: a real main window connected to the flooding server.
int RunWindow(int argc, char** argv, int Count, double TimeoutSeconds) {
    QTemporaryDir config;
    TApplication app(argc, argv);
    bench::FontSubstitutions();

    TFloodServer server(Count);
    if (!bench::WindowFolder(config.path(), "DISPLAY", server.Port())) return 1;
    TPalnorForm form;
    form.show();
    bench::WaitExposed(form);
    TChatPane* pane = form.DisplayMemo;

    std::vector<TMark> marks;
    marks.reserve(static_cast<size_t>(Count) / 20 + 100);
    // Lines shown, counted as the pane reports them (three a message) from the first read on.
    int lines = 0;
    auto changed = pane->OnChange;
    pane->OnChange = [&](const QString& Line) {
        ++lines;
        if (changed) changed(Line);
    };
    auto handler = form.TnCnx->OnDataAvailable;
    form.TnCnx->OnDataAvailable = [&](QObject* s, const char* b, int n) {
        if (marks.empty()) {
            lines = 0;
            marks.push_back({0, bench::MonotonicSeconds(), ThreadCpuSeconds()});
        }
        handler(s, b, n);
        marks.push_back({lines / 3, bench::MonotonicSeconds(), ThreadCpuSeconds()});
    };
    const bench::TMemory before = bench::ProcessMemory();
    form.ConnectButton->click();
    const double deadline = bench::MonotonicSeconds() + TimeoutSeconds;
    auto shown = [&] { return !marks.empty() && marks.back().Messages >= Count; };
    while (!shown() && bench::MonotonicSeconds() < deadline)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    // The run ends when the view has followed the last line.
    QScrollBar* bar = pane->verticalScrollBar();
    while (shown() && bar->value() != bar->maximum() && bench::MonotonicSeconds() < deadline)
        QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    if (marks.empty()) marks.push_back({0, bench::MonotonicSeconds(), ThreadCpuSeconds()});
    marks.push_back({marks.back().Messages, bench::MonotonicSeconds(), ThreadCpuSeconds()});

    // The pane's last lines.
    QString tail;
    for (qsizetype i = pane->LineCount() - 1; i >= 0 && tail.size() < 200; --i) tail.prepend(pane->Line(i) + u'\n');
    const bool ok = shown() && lines == 3 * Count &&
                    tail.endsWith(QStringLiteral("message text %1\n\n").arg(Count - 1)) &&
                    bar->value() == bar->maximum();
    Report(marks, Count, before, ok);
    std::printf("pane_w=%d pane_h=%d font=%s\n", pane->width(), pane->height(),
                pane->font().toString().replace(u' ', u'_').toLatin1().constData());
    std::fflush(stdout);
    return 0;
}

// The baseline: a bare QPlainTextEdit of the pane's size and font; the same wire text cut into
// the same reads, split into lines and appended one call per line, one event-loop turn per read.
int RunPlain(int argc, char** argv, int Count, int Width, int Height) {
    QApplication app(argc, argv);
    bench::FontSubstitutions();
    QPlainTextEdit edit;
    edit.setFont(QFont(QStringLiteral("Ms Sans Serif"), 10));
    edit.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    edit.resize(Width, Height);
    edit.show();
    bench::WaitExposed(edit);

    std::vector<TMark> marks;
    marks.reserve(static_cast<size_t>(Count) / 20 + 100);
    const bench::TMemory before = bench::ProcessMemory();
    int messages = 0, written = 0;
    std::string wire, held;
    marks.push_back({0, bench::MonotonicSeconds(), ThreadCpuSeconds()});
    while (written < Count || !wire.empty()) {
        while (written < Count && wire.size() < ReadSize) AppendWireLine(wire, written++);
        const size_t take = std::min<size_t>(ReadSize, wire.size());
        held.append(wire, 0, take);
        wire.erase(0, take);
        size_t start = 0;
        for (size_t end; (end = held.find("\r\n", start)) != std::string::npos; start = end + 2) {
            const std::string_view line(held.data() + start, end - start);
            const size_t close = line.find('>');
            const QString sender = QString::fromLatin1(line.substr(2, close - 2));
            const QString text = QString::fromLatin1(line.substr(close + 2, line.size() - close - 3));
            edit.appendPlainText(sender + ChatTimeStamp(QTime::currentTime(), QStringLiteral(":")));
            edit.appendPlainText(text);
            edit.appendPlainText(QString());
            ++messages;
        }
        held.erase(0, start);
        QCoreApplication::processEvents();
        marks.push_back({messages, bench::MonotonicSeconds(), ThreadCpuSeconds()});
    }
    QCoreApplication::processEvents();
    marks.push_back({messages, bench::MonotonicSeconds(), ThreadCpuSeconds()});
    const QTextDocument* doc = edit.document();
    const bool ok = messages == Count && doc->blockCount() == 3 * Count &&
                    doc->findBlockByNumber(3 * Count - 2).text() ==
                        QStringLiteral("message text %1").arg(Count - 1);
    Report(marks, Count, before, ok);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    int count = 100000, rounds = 5, baselineRounds = 5, width = 0, height = 0;
    double timeout = 0;
    std::string child;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--messages=", 11) == 0) count = std::max(1000, std::atoi(argv[i] + 11));
        if (std::strncmp(argv[i], "--rounds=", 9) == 0) rounds = std::max(1, std::atoi(argv[i] + 9));
        if (std::strncmp(argv[i], "--baseline-rounds=", 18) == 0) baselineRounds = std::max(1, std::atoi(argv[i] + 18));
        if (std::strncmp(argv[i], "--timeout=", 10) == 0) timeout = std::atof(argv[i] + 10);
        if (std::strncmp(argv[i], "--child=", 8) == 0) child = argv[i] + 8;
        if (std::strncmp(argv[i], "--size=", 7) == 0) std::sscanf(argv[i] + 7, "%dx%d", &width, &height);
    }
    // A run's time limit grows with its messages: 50 s for each 100,000.
    if (timeout <= 0) timeout = 50.0 * std::max(1, count / 100000);
    if (child == "window") return RunWindow(argc, argv, count, timeout);
    if (child == "plain") return RunPlain(argc, argv, count, width, height);

    const bench::TRuntimeDir runtime;
    const std::string messages = "--messages=" + std::to_string(count);
    // The baseline stops at BaselineMax messages: its rate is per message, and its memory is
    // compared per message.
    const int baselineCount = std::min(count, BaselineMax);
    const std::string baselineMessages = "--messages=" + std::to_string(baselineCount);
    std::vector<bench::TChildRun> windows, plains;
    // Window and baseline in turns, so that a ratio can be taken within each round; the baseline
    // takes the size of the first window run's pane.
    std::vector<double> rates;  // window / baseline messages per second, by round
    for (int r = 0; r < std::max(rounds, baselineRounds); ++r) {
        const std::vector<bool> order = RoundOrder<bool>({true, false}, r);
        for (const bool window : order) {
            if (window && r < rounds) {
                windows.push_back(bench::RunSelf({"--child=window", messages}, timeout + 30));
                if (!windows.back().Ok()) {
                    std::printf("window run failed: %s\n%s\n", windows.back().Output.c_str(), windows.back().Errors.c_str());
                    return 1;
                }
            }
            if (!window && r < baselineRounds && !windows.empty()) {
                const bench::TChildRun& w = windows.front();
                const std::string size = "--size=" + w.Values.at("pane_w") + "x" + w.Values.at("pane_h");
                plains.push_back(bench::RunSelf({"--child=plain", baselineMessages, size}, timeout + 30));
                if (!plains.back().Ok()) {
                    std::printf("baseline run failed: %s\n%s\n", plains.back().Output.c_str(),
                                plains.back().Errors.c_str());
                    return 1;
                }
            }
        }
        if (r < rounds && r < baselineRounds) {
            const bench::TChildRun &w = windows.back(), &p = plains.back();
            rates.push_back((w.Number("messages") / w.Number("seconds")) / (p.Number("messages") / p.Number("seconds")));
        }
    }
    auto median = [](const std::vector<bench::TChildRun>& Runs, const char* Key) {
        std::vector<double> v;
        for (const bench::TChildRun& r : Runs) v.push_back(r.Number(Key));
        return Median(v);
    };
    // Last 10,000 over first 10,000, run by run, then the median of the runs and their spread.
    auto growthSpread = [](const std::vector<bench::TChildRun>& Runs, const std::string& Kind) {
        std::vector<double> v;
        for (const bench::TChildRun& r : Runs) v.push_back(r.Number("last_" + Kind) / r.Number("first_" + Kind));
        return SpreadOf(v);
    };
    auto growth = [&](const std::vector<bench::TChildRun>& Runs, const std::string& Kind) {
        return growthSpread(Runs, Kind).Median;
    };
    const bench::TChildRun& w0 = windows.front();
    std::printf("%d messages (baseline %d); pane %sx%s, font %s; window %d run(s), baseline %d run(s); medians\n",
                count, baselineCount, w0.Values.at("pane_w").c_str(), w0.Values.at("pane_h").c_str(),
                w0.Values.at("font").c_str(), rounds, baselineRounds);
    std::printf("%-24s %9s %9s | %-21s | %-21s | %9s %9s\n", "", "", "", "first 10,000 us/msg", "last 10,000 us/msg",
                "", "");
    std::printf("%-24s %9s %9s | %10s %10s | %10s %10s | %9s %9s %9s\n", "case", "msgs/s", "(CPU)", "mean",
                "turn med", "mean", "turn med", "peak MiB", "growth", "B/msg");
    // Memory per message: the peak the run added over the messages shown.
    auto bytesPerMessage = [&](const std::vector<bench::TChildRun>& Runs) {
        return (median(Runs, "hwm_kib") - median(Runs, "hwm_before_kib")) * 1024 / median(Runs, "messages");
    };
    auto row = [&](const char* Name, const std::vector<bench::TChildRun>& Runs) {
        const double n = median(Runs, "messages");
        std::printf("%-24s %9.0f %9.0f | %10.2f %10.2f | %10.2f %10.2f | %9.1f %9.1f %9.0f\n", Name,
                    n / median(Runs, "seconds"), n / median(Runs, "cpu"), median(Runs, "first_us"),
                    median(Runs, "first_med_us"), median(Runs, "last_us"), median(Runs, "last_med_us"),
                    median(Runs, "hwm_kib") / 1024, (median(Runs, "hwm_kib") - median(Runs, "hwm_before_kib")) / 1024,
                    bytesPerMessage(Runs));
    };
    row("window (whole stack)", windows);
    row("QPlainTextEdit append", plains);
    std::printf("(msgs/s (CPU): over the main thread's CPU time; turn med: median over the event-loop turns,\n"
                " each turn's time over its messages; growth: peak memory added by the run, MiB; B/msg: growth\n"
                " over the messages)\n");

    const TSpread rate = SpreadOf(rates);
    const double ratio = rate.Median;
    const double ratioCpu = (median(windows, "messages") / median(windows, "cpu")) /
                            (median(plains, "messages") / median(plains, "cpu"));
    std::printf("ratio window / baseline messages per second: %.2f (%.2f-%.2f; CPU time: %.2f) (goal >= %.0f: %s)\n",
                ratio, rate.Min, rate.Max, ratioCpu, RateGoal, ratio >= RateGoal ? "met" : "NOT met");
    const double byTurns = growth(windows, "med_us"), byMeans = growth(windows, "us");
    std::printf("window last 10,000 / first 10,000 cost per message: %.2f by turn medians (CPU %.2f), %.2f by means "
                "(CPU %.2f) (goal <= %.1f: %s by turn medians, %s by means)\n",
                byTurns, growth(windows, "med_cpu_us"), byMeans, growth(windows, "cpu_us"), GrowthGoal,
                byTurns <= GrowthGoal ? "met" : "NOT met", byMeans <= GrowthGoal ? "met" : "NOT met");
    std::printf("baseline last 10,000 / first 10,000 cost per message: %.2f by turn medians, %.2f by means\n",
                growth(plains, "med_us"), growth(plains, "us"));
    std::vector<double> perRun;
    for (const bench::TChildRun& r : windows)
        perRun.push_back((r.Number("hwm_kib") - r.Number("hwm_before_kib")) * 1024 / r.Number("messages"));
    const TSpread perMessage = SpreadOf(perRun);
    std::printf("window memory per message: %.0f bytes (%.0f-%.0f) (goal <= %.0f: %s); baseline %.0f bytes (at %d "
                "messages)\n",
                perMessage.Median, perMessage.Min, perMessage.Max, BytesGoal,
                perMessage.Median <= BytesGoal ? "met" : "NOT met", bytesPerMessage(plains), baselineCount);
    // For scripts/bench's summary (run_timing.h).
    PrintRatio("display_rate_vs_plain", rate, RateGoal, TGoal::Higher, 2);
    PrintRatio("display_last_over_first", growthSpread(windows, "med_us"), GrowthGoal, TGoal::Lower, 2);
    PrintRatio("display_bytes_per_message", perMessage, BytesGoal, TGoal::Lower, 0);
    return 0;
}
