#pragma once
// What one measured run yields, the clock that times it, and the rounds that every benchmark
// measures in (below). Every run is timed twice: by the wall clock, which is what a user waits
// for, and by the CPU time the process used, which a busy machine disturbs far less (all the
// work of a loopback run, the kernel's included, is done on this process's one thread, so on a
// quiet machine the two agree).
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <map>
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

// --- Rounds -------------------------------------------------------------------------------
// A benchmark measures in rounds. Each round runs both sides of every ratio, one right after the
// other, in an order that alternates from round to round (RoundOrder), so that a drift of the
// machine's speed falls on both sides alike. A ratio is taken within each round; the median over
// the rounds is the figure, and the spread of the per-round ratios (min to max) says how far it
// can be trusted: scripts/bench calls a figure whose spread exceeds 10 % of it unsteady.

struct TSpread {
    double Median = 0, Min = 0, Max = 0;  // all 0 when nothing was measured
};

inline TSpread SpreadOf(const std::vector<double>& V) {
    if (V.empty()) return {};
    const auto [min, max] = std::minmax_element(V.begin(), V.end());
    return {Median(V), *min, *max};
}

// The steps of a round in the order to run them: as given in even rounds, reversed in odd ones.
template <typename T>
std::vector<T> RoundOrder(std::vector<T> Steps, int Round) {
    if (Round % 2) std::reverse(Steps.begin(), Steps.end());
    return Steps;
}

// Figures by case and round (a rate, or any figure a ratio is taken of).
class TRoundFigures {
public:
    void Add(const std::string& Case, int Round, double Value) {
        if (Value > 0) Values[Case][Round] = Value;  // a failed run has no figure
    }
    TSpread Figure(const std::string& Case) const {
        std::vector<double> v;
        if (auto it = Values.find(Case); it != Values.end())
            for (const auto& [round, value] : it->second) v.push_back(value);
        return SpreadOf(v);
    }
    // A / B, each ratio taken within one round; rounds without both figures are left out.
    TSpread Ratio(const std::string& A, const std::string& B) const {
        std::vector<double> v;
        const auto a = Values.find(A), b = Values.find(B);
        if (a != Values.end() && b != Values.end())
            for (const auto& [round, value] : a->second)
                if (auto other = b->second.find(round); other != b->second.end())
                    v.push_back(value / other->second);
        return SpreadOf(v);
    }

private:
    std::map<std::string, std::map<int, double>> Values;
};

// The line that scripts/bench gathers for its summary:
//   RATIO <name> <median> <goal> <higher|lower> <min> <max>
// Goal 0 prints as "-" (a figure shown without a goal); Higher: the goal is a floor, else a
// ceiling. A figure measured once (Min and Max 0: no spread known) leaves out min and max.
// Nothing is printed for a figure that was not measured.
enum class TGoal { Higher, Lower };
inline void PrintRatio(const std::string& Name, const TSpread& S, double Goal, TGoal Side,
                       int Decimals = 3) {
    if (S.Median <= 0) return;
    char goal[32] = "-";
    if (Goal > 0) std::snprintf(goal, sizeof goal, "%g", Goal);
    std::printf("RATIO %s %.*f %s %s", Name.c_str(), Decimals, S.Median, goal,
                Side == TGoal::Higher ? "higher" : "lower");
    if (S.Max > 0) std::printf(" %.*f %.*f", Decimals, S.Min, Decimals, S.Max);
    std::printf("\n");
}
