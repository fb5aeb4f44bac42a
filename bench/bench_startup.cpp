// Start-up: the time from the exec to the main window shown and idle, and the peak memory
// (VmHWM) at that moment, of the chat program's start sequence (startup_probe_window, linked as
// the program is) against a minimal Qt window (startup_probe_minimal: a main window with a menu
// bar and two plain-text panes) measured the same way in the same run. Every run is a fresh
// process on the offscreen platform; the two alternate, after one unmeasured run of each, and the
// ratios are taken within each round (run_timing.h).
//
// Figures: medians of the whole time and of its parts (exec to main, the application object,
// building the window, showing it, reaching idle), of the peak memory and of the CPU time the
// child used in all. Goals: at most 1.2 times the baseline in time, 1.1 in peak memory.
//
// A cross-check with the program itself (app/korvelchat2): it cannot say when it is idle, so it
// is taken as idle once its CPU time has stopped growing; its peak memory and the CPU time it
// used are read then, and it is ended.
//
// Own flags: --rounds=N (default 11), --program-rounds=N (default 3).
#include "child_process.h"
#include "run_timing.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

struct TStart {
    double Total = 0, ToMain = 0, ToApp = 0, ToBuilt = 0, ToShown = 0, ToIdle = 0;  // seconds
    double PeakMiB = 0, CpuSeconds = 0;
};

bool Measure(const std::string& Program, TStart& Out) {
    const bench::TChildRun run = bench::RunChild(Program, {}, 30);
    if (!run.Ok() || run.FirstOutputAt == 0) {
        std::printf("%s failed (exit %d): %s\n%s\n", Program.c_str(), run.ExitCode, run.Output.c_str(),
                    run.Errors.c_str());
        return false;
    }
    Out.Total = run.FirstOutputAt - run.StartedAt;
    Out.ToMain = run.Number("main") - run.StartedAt;
    Out.ToApp = run.Number("app") - run.Number("main");
    Out.ToBuilt = run.Number("built") - run.Number("app");
    Out.ToShown = run.Number("shown") - run.Number("built");
    Out.ToIdle = run.Number("idle") - run.Number("shown");
    Out.PeakMiB = run.Number("hwm_kib") / 1024;
    Out.CpuSeconds = run.CpuSeconds;
    return true;
}

// User plus system time of a process, in seconds (clock ticks), and its peak memory in KiB.
double ProcessCpuSeconds(pid_t Pid) {
    std::ifstream stat("/proc/" + std::to_string(Pid) + "/stat");
    std::string text;
    std::getline(stat, text);
    const size_t close = text.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; fields >> field && i <= 15; ++i)
        if (i == 14 || i == 15) ticks += std::atof(field.c_str());
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}
long ProcessPeakKiB(pid_t Pid) {
    std::ifstream status("/proc/" + std::to_string(Pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    return 0;
}

// The program started with a settings folder and instance name of its own; idle once its CPU
// time has not grown for 300 ms. Its single-instance block is removed after it has been ended.
bool MeasureProgram(const std::string& Program, int Run, double& PeakMiB, double& CpuSeconds) {
    const bench::TPrivateDir dir;
    const std::string instance = "KorvelBenchProgram" + std::to_string(::getpid()) + "x" + std::to_string(Run);
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) return false;
    if (pid == 0) {
        ::setenv("KORVELCHAT_CONFIG_DIR", dir.Path().c_str(), 1);
        ::setenv("KORVELCHAT_INSTANCE_NAME", instance.c_str(), 1);
        ::setenv("TMPDIR", dir.Path().c_str(), 1);
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        ::execl(Program.c_str(), Program.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    const auto start = std::chrono::steady_clock::now();
    double cpu = -1;
    int still = 0;
    bool idle = false;
    while (std::chrono::steady_clock::now() - start < std::chrono::seconds(20)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            std::printf("%s ended before it was idle (status %d)\n", Program.c_str(), status);
            return false;
        }
        const double now = ProcessCpuSeconds(pid);
        still = (now == cpu) ? still + 1 : 0;
        cpu = now;
        if (still >= 6) {
            idle = true;
            break;
        }
    }
    PeakMiB = ProcessPeakKiB(pid) / 1024.0;
    CpuSeconds = cpu;
    ::kill(pid, SIGTERM);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    ::shm_unlink(("/" + instance + "-" + std::to_string(::geteuid())).c_str());
    if (!idle) std::printf("%s did not become idle\n", Program.c_str());
    return idle;
}

constexpr double TimeGoal = 1.2, MemoryGoal = 1.1;

double Median(const std::vector<TStart>& Runs, double TStart::*Field) {
    std::vector<double> v;
    for (const TStart& r : Runs) v.push_back(r.*Field);
    return ::Median(v);
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 11, programRounds = 3;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--rounds=", 9) == 0) rounds = std::max(1, std::atoi(argv[i] + 9));
        if (std::strncmp(argv[i], "--program-rounds=", 17) == 0) programRounds = std::max(0, std::atoi(argv[i] + 17));
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const bench::TRuntimeDir runtime;
    const std::string window = bench::ProgramBeside("startup_probe_window");
    const std::string minimal = bench::ProgramBeside("startup_probe_minimal");

    TStart ignored;
    if (!Measure(window, ignored) || !Measure(minimal, ignored)) return 1;
    std::vector<TStart> windows, minimals;
    std::vector<double> times, cpuRatios, memories;  // the ratios of each round
    for (int r = 0; r < rounds; ++r) {
        TStart w, m;
        for (const std::string& program : RoundOrder<std::string>({minimal, window}, r))
            if (!Measure(program, program == window ? w : m)) return 1;
        minimals.push_back(m);
        windows.push_back(w);
        times.push_back(w.Total / m.Total);
        cpuRatios.push_back(w.CpuSeconds / m.CpuSeconds);
        memories.push_back(w.PeakMiB / m.PeakMiB);
    }

    std::printf("%d runs each, medians (ms; MiB)\n", rounds);
    std::printf("%-22s %9s %9s %9s %9s %9s %9s %9s %9s\n", "case", "total", "to main", "app", "window",
                "show", "to idle", "cpu", "peak MiB");
    auto row = [](const char* Name, const std::vector<TStart>& Runs) {
        std::printf("%-22s %9.1f %9.1f %9.1f %9.1f %9.1f %9.1f %9.1f %9.1f\n", Name, Median(Runs, &TStart::Total) * 1e3,
                    Median(Runs, &TStart::ToMain) * 1e3, Median(Runs, &TStart::ToApp) * 1e3,
                    Median(Runs, &TStart::ToBuilt) * 1e3, Median(Runs, &TStart::ToShown) * 1e3,
                    Median(Runs, &TStart::ToIdle) * 1e3, Median(Runs, &TStart::CpuSeconds) * 1e3,
                    Median(Runs, &TStart::PeakMiB));
    };
    row("chat window", windows);
    row("minimal Qt window", minimals);
    std::printf("(total: fork to the idle report; cpu: all the child used, its ending included)\n");
    const TSpread time = SpreadOf(times), memory = SpreadOf(memories);
    std::printf("ratio chat window / minimal window, time to shown and idle: %.2f (%.2f-%.2f; CPU time: "
                "%.2f), goal <= %.1f\n", time.Median, time.Min, time.Max, Median(cpuRatios), TimeGoal);
    std::printf("ratio chat window / minimal window, peak memory: %.2f (%.2f-%.2f), goal <= %.1f\n",
                memory.Median, memory.Min, memory.Max, MemoryGoal);
    PrintRatio("startup_time_vs_minimal_window", time, TimeGoal, TGoal::Lower, 2);
    PrintRatio("startup_peak_memory_vs_minimal_window", memory, MemoryGoal, TGoal::Lower, 2);

    if (programRounds > 0) {
        const std::string program = bench::ProgramBeside("../app/korvelchat2");
        std::vector<double> peaks, cpus;
        for (int r = 0; r < programRounds; ++r) {
            double peak = 0, cpu = 0;
            if (!MeasureProgram(program, r, peak, cpu)) return 1;
            peaks.push_back(peak);
            cpus.push_back(cpu);
        }
        std::printf("cross-check, the program itself (%d runs, idle = CPU time still for 300 ms): peak %.1f MiB "
                    "(%.2f x the minimal window), CPU %.0f ms (10 ms ticks)\n",
                    programRounds, Median(peaks), Median(peaks) / Median(minimals, &TStart::PeakMiB),
                    Median(cpus) * 1e3);
    }
    return 0;
}
