// TLS on loopback, each figure against the same work done with blocking OpenSSL calls on a plain
// blocking socket, both against one server (a thread of its own, tls_baseline.h):
//
//   stream      a chat stream of --mib MiB through the whole telnet path over TLS (the socket's
//               events, the TLS layer, the telnet parser, the owner's handler), against a client
//               that only reads it with SSL_read in reads of the same size;
//   handshakes  --cycles connect, handshake (the certificate checked) and close cycles of a
//               TWSocket with TLS, against the same cycles with SSL_connect.
//
// Both sides of a ratio run next to each other in every round, in turns (run_timing.h). The
// ratios are rates by the client thread's CPU time (the server's thread is not the client's
// cost), with the wall clock beside them.
#include "run_timing.h"
#include "tls_baseline.h"
#include "tncnx.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

uint64_t StreamBytes = 64ull << 20;
int Cycles = 300;
int Rounds = 7;
constexpr int RunTimeoutMs = 60 * 1000;

std::string MakeStream(uint64_t Total) {
    const std::string line = "&<DL1ABC-ANNA><the meeting is at eight tonight, see you all there>\r\n";
    std::string s;
    s.reserve(Total);
    while (s.size() + line.size() <= Total) s += line;
    s.append(Total - s.size(), 'x');
    return s;
}

TRunResult CnxStream(uint16_t Port, const std::string& Fingerprint, uint64_t Total) {
    TRunResult r;
    TTnCnx cnx;
    QEventLoop loop;
    uint64_t got = 0;
    double cpu = 0;
    const auto wall = std::chrono::steady_clock::now();
    cnx.OnDataAvailable = [&](QObject*, const char* P, int N) {
        asm volatile("" : : "r"(P) : "memory");
        got += static_cast<uint64_t>(N);
        if (got >= Total) loop.quit();
    };
    cnx.OnSessionConnected = [&](QObject*, uint16_t Error) {
        if (Error != 0) loop.quit();
    };
    cnx.OnSessionClosed = [&](QObject*, uint16_t) { loop.quit(); };
    QTimer::singleShot(RunTimeoutMs, &loop, [&] { loop.quit(); });
    cpu = ThreadCpuSeconds();
    cnx.SetTls(true);
    cnx.SetTlsTrustedFingerprint(Fingerprint);
    cnx.SetHost("127.0.0.1");
    cnx.SetPort(std::to_string(Port));
    cnx.Connect();
    loop.exec();
    r.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count();
    r.CpuSeconds = ThreadCpuSeconds() - cpu;
    r.Count = got;
    if (got != Total) r.Failure = "the stream did not arrive whole (" + std::to_string(got) + " bytes)";
    return r;
}

TRunResult SocketHandshakes(uint16_t Port, const std::string& Fingerprint, int Count) {
    TRunResult r;
    TWSocket s;
    QEventLoop loop;
    const auto next = [&] {
        s.SetTls(true);
        s.SetTlsHostName("localhost");
        s.SetTlsTrustedFingerprint(Fingerprint);
        s.SetAddr("127.0.0.1");
        s.SetPort(std::to_string(Port));
        s.Connect();
    };
    s.OnSessionConnected = [&](QObject*, uint16_t Error) {
        if (Error != 0) {
            r.Failure = "a handshake failed (" + std::to_string(Error) + ")";
            loop.quit();
            return;
        }
        ++r.Count;
        s.Close();
    };
    s.OnSessionClosed = [&](QObject*, uint16_t) {
        if (!r.Failure.empty()) return;
        if (r.Count >= static_cast<uint64_t>(Count)) return loop.quit();
        next();
    };
    QTimer::singleShot(RunTimeoutMs, &loop, [&] { loop.quit(); });
    const auto wall = std::chrono::steady_clock::now();
    const double cpu = ThreadCpuSeconds();
    next();
    loop.exec();
    r.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count();
    r.CpuSeconds = ThreadCpuSeconds() - cpu;
    if (r.Failure.empty() && r.Count != static_cast<uint64_t>(Count)) r.Failure = "cycles missing";
    return r;
}

TRoundFigures WallFigures, CpuFigures;
bool AnyFailure = false;

void Record(const char* Name, int Round, const TRunResult& R, double Unit, const char* UnitName) {
    if (!R.Failure.empty() || R.Seconds <= 0 || R.CpuSeconds <= 0) {
        std::printf("  %-40s failed: %s\n", Name, R.Failure.empty() ? "no time" : R.Failure.c_str());
        AnyFailure = true;
        return;
    }
    const double count = static_cast<double>(R.Count) / Unit;
    std::printf("  %-40s %10.1f %s %10.1f %s (CPU)\n", Name, count / R.Seconds, UnitName, count / R.CpuSeconds, UnitName);
    WallFigures.Add(Name, Round, count / R.Seconds);
    CpuFigures.Add(Name, Round, count / R.CpuSeconds);
}

constexpr const char* CnxPath = "TLS, TTnCnx whole path";
constexpr const char* BlockingRead = "TLS, blocking SSL_read";
constexpr const char* SocketCycles = "TLS handshakes, TWSocket";
constexpr const char* BlockingCycles = "TLS handshakes, blocking SSL_connect";

bool TakeOwnFlags(int Argc, char** Argv) {
    for (int i = 1; i < Argc; ++i) {
        long v = 0;
        if (std::sscanf(Argv[i], "--mib=%ld", &v) == 1 && v > 0) StreamBytes = static_cast<uint64_t>(v) << 20;
        else if (std::sscanf(Argv[i], "--cycles=%ld", &v) == 1 && v > 0) Cycles = static_cast<int>(v);
        else if (std::sscanf(Argv[i], "--rounds=%ld", &v) == 1 && v > 0) Rounds = static_cast<int>(v);
        else return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (!TakeOwnFlags(argc, argv)) {
        std::fprintf(stderr, "usage: bench_tls [--mib=N] [--cycles=N] [--rounds=N]\n");
        return 2;
    }
    const std::string stream = MakeStream(StreamBytes);
    TTlsBenchServer streams(TTlsBenchServer::TMode::Streams, stream);
    TTlsBenchServer handshakes(TTlsBenchServer::TMode::Handshakes, {});
    if (!streams.Ok() || !handshakes.Ok()) {
        std::fprintf(stderr, "bench_tls: the server could not listen\n");
        return 1;
    }
    const double mib = 1024.0 * 1024.0;
    struct TStep {
        const char* Name;
        std::function<TRunResult()> Run;
        double Unit;
        const char* UnitName;
    };
    const std::vector<TStep> steps = {
        {CnxPath, [&] { return CnxStream(streams.Port(), streams.Fingerprint(), stream.size()); }, mib, "MiB/s"},
        {BlockingRead, [&] { return BlockingTlsRead(streams.Port(), streams.Fingerprint(), stream.size(), 2048); }, mib, "MiB/s"},
        {SocketCycles, [&] { return SocketHandshakes(handshakes.Port(), handshakes.Fingerprint(), Cycles); }, 1, "/s"},
        {BlockingCycles, [&] { return BlockingTlsHandshakes(handshakes.Port(), handshakes.Fingerprint(), Cycles); }, 1, "/s"},
    };
    for (int round = 0; round < Rounds; ++round) {
        std::printf("round %d\n", round + 1);
        for (const TStep& step : RoundOrder(steps, round)) Record(step.Name, round, step.Run(), step.Unit, step.UnitName);
    }
    struct TRatio {
        const char* Label;
        const char* Key;
        const char* A;
        const char* B;
        double Goal;
    };
    const TRatio ratios[] = {
        {"ratio TLS telnet path / blocking OpenSSL read", "tls_stream_vs_blocking", CnxPath, BlockingRead, 0.7},
        {"ratio TLS handshake cycles / blocking OpenSSL", "tls_handshakes_vs_blocking", SocketCycles, BlockingCycles, 0.8},
    };
    std::printf("\nSummary: %llu MiB stream, %d cycles; medians over %d rounds (min-max of the rounds' ratios)\n",
                static_cast<unsigned long long>(StreamBytes >> 20), Cycles, Rounds);
    for (const TRatio& r : ratios) {
        const TSpread cpu = CpuFigures.Ratio(r.A, r.B);
        std::printf("    %-48s wall %.3f  CPU %.3f  (%.3f-%.3f)   goal >= %.2f: %s\n", r.Label,
                    WallFigures.Ratio(r.A, r.B).Median, cpu.Median, cpu.Min, cpu.Max, r.Goal,
                    cpu.Median >= r.Goal ? "met" : "NOT met");
    }
    for (const TRatio& r : ratios) PrintRatio(r.Key, CpuFigures.Ratio(r.A, r.B), r.Goal, TGoal::Higher);
    return AnyFailure ? 1 : 0;
}
