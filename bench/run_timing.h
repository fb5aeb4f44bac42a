#pragma once
// What one measured run yields, and the clock that times it. Every run is timed twice: by the
// wall clock, which is what a user waits for, and by the CPU time the process used, which a busy
// machine disturbs far less (all the work of a loopback run, the kernel's included, is done on
// this process's one thread, so on a quiet machine the two agree).
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

struct TRunResult {
    double Seconds = 0;     // wall clock, the timed part only
    double CpuSeconds = 0;  // CPU time of the process over the same part
    uint64_t Count = 0;     // bytes received, or completed cycles
    std::string Failure;    // empty when the run did what it should
};

class TStopwatch {
public:
    void Start() {
        Wall = std::chrono::steady_clock::now();
        Cpu = CpuNow();
    }
    void Stop(TRunResult& R) const {
        R.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - Wall).count();
        R.CpuSeconds = CpuNow() - Cpu;
    }

private:
    static double CpuNow() {
        timespec t{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
    }
    std::chrono::steady_clock::time_point Wall;
    double Cpu = 0;
};

// The middle of a set of figures (the mean of the two middle ones for an even count); 0 for none.
inline double Median(std::vector<double> V) {
    if (V.empty()) return 0;
    std::sort(V.begin(), V.end());
    const std::size_t m = V.size() / 2;
    return V.size() % 2 ? V[m] : (V[m - 1] + V[m]) / 2;
}
