// Socket throughput and connection set-up: TWSocket against raw POSIX sockets on loopback, all
// on one thread, measured in the same run and printed as ratios.
//
//   stream   256 MiB from a TWSocket to a peer TWSocket that reads 2048 bytes per Receive; the
//            sender tops its queue up to 64 KiB whenever it is drained. Baselines: a poll() loop
//            over raw sockets with the same call sizes (1460-byte sends, 2048-byte reads), and
//            one with 64 KiB sends and reads.
//   bulk     16 MiB handed to one Send, read 64 KiB per Receive; against raw sockets with 64 KiB
//            sends and reads.
//   connect  Connect, OnSessionConnected, Close, again; against a listener that accepts and
//            closes. Baseline: the same cycle on a raw non-blocking socket.
//   pending  1 and 2 MiB of 80-byte chat lines, all pending in the kernel before the paused
//            receiver resumes: line mode (one Receive per line) against raw mode (2048-byte
//            Receives) on the same bytes; and what 2 MiB costs against 1 MiB in line mode.
//
// Every case runs once in each round, the two sides of a ratio next to each other and in turns
// (run_timing.h); the summary at the end prints the median figures and, for each ratio, the
// median of the ratios taken within a round with their spread.
//
// Own flags (besides the benchmark library's): --mib=N (stream size, default 256), --cycles=N
// (connect cycles, default 2000) and --rounds=N (default 7); smaller values suit a run under a
// profiler, as does the library's --benchmark_filter.
#include "line_wsocket.h"
#include "run_timing.h"
#include "posix_baseline.h"
#include "stream_check.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr int ReadSize = 2048;            // what the receiving handler asks for per Receive
constexpr int QueueTarget = 64 * 1024;    // the sender keeps this much queued
constexpr int RunTimeoutMs = 60 * 1000;   // a stalled run fails instead of hanging
constexpr double Goal = 0.9;              // TWSocket against raw sockets with the same calls

uint64_t StreamBytes = 256ull << 20;
uint64_t BulkBytes = 16ull << 20;
int ConnectCycles = 2000;
int Rounds = 7;                           // every case runs once per round

// The figures (MiB/s or cycles/s) of every finished run, by benchmark name and round; by the
// wall clock and by CPU time.
TRoundFigures WallFigures, CpuFigures;
bool AnyFailure = false;

// Sets up the event loop of one run: a failure or the time limit ends it.
class TRunLoop {
public:
    TRunLoop() {
        Deadline.setSingleShot(true);
        QObject::connect(&Deadline, &QTimer::timeout, [this] { Fail("timed out"); });
        Deadline.start(RunTimeoutMs);
    }
    void Fail(const std::string& Why) {
        if (Failure.empty()) Failure = Why;
        Loop.quit();
    }
    void Exec() { Loop.exec(); }
    void Quit() { Loop.quit(); }

    QEventLoop Loop;
    std::string Failure;

private:
    QTimer Deadline;
};

// How the sender of a stream hands its bytes over: topping its queue up to QueueTarget whenever
// it is drained, or in one Send of the whole stream.
enum class TSending { TopUp, AllAtOnce };

TRunResult TWSocketStream(uint64_t Total, int ReadLen, TSending Sending) {
    TRunResult r;
    TRunLoop run;
    const TStreamPattern pattern(MaxChunk);
    TStreamChecker checker(pattern);
    std::vector<char> buffer(static_cast<std::size_t>(ReadLen));
    std::string whole;  // the stream sent all at once
    if (Sending == TSending::AllAtOnce)
        for (uint64_t at = 0; at < Total; at += MaxChunk)
            whole.append(pattern.At(at), std::min<uint64_t>(MaxChunk, Total - at));
    uint64_t queued = 0;      // bytes given to Send
    uint64_t handedOver = 0;  // bytes the send chain has passed to the transport
    bool done = false;
    TStopwatch clock;

    TWSocket listener, server, client;
    for (TWSocket* s : {&listener, &server, &client})
        s->OnBgException = [&](QObject*, const std::exception& E, bool&) { run.Fail(E.what()); };

    listener.OnSessionAvailable = [&](QObject*, uint16_t Error) {
        if (Error != 0) return run.Fail("accept: error " + std::to_string(Error));
        server.Dup(listener.Accept());
    };
    server.OnDataAvailable = [&](QObject*, uint16_t) {
        const int n = server.Receive(buffer.data(), ReadLen);
        if (n <= 0) return;  // a notification that found nothing left
        checker.Take(buffer.data(), n);
        if (checker.Received >= Total && !done) {
            clock.Stop(r);
            done = true;
            run.Quit();
        }
    };
    server.OnSessionClosed = [&](QObject*, uint16_t) {
        if (!done) run.Fail("the receiving end was closed before the end of the stream");
    };

    // OnDataSent comes only once the send chain is drained, so one Send per event refills it.
    client.OnSendData = [&](QObject*, int Count) { handedOver += static_cast<uint64_t>(Count); };
    auto topUp = [&] {
        if (Sending == TSending::AllAtOnce && queued == 0) {
            client.Send(whole.data(), static_cast<int>(whole.size()));
            queued = Total;
        }
        const uint64_t waiting = queued - handedOver;
        if (queued >= Total || waiting >= QueueTarget) return;
        const uint64_t chunk = std::min<uint64_t>(QueueTarget - waiting, Total - queued);
        client.Send(pattern.At(queued), static_cast<int>(chunk));
        queued += chunk;
    };
    client.OnSessionConnected = [&](QObject*, uint16_t Error) {
        if (Error != 0) return run.Fail("connect: error " + std::to_string(Error));
        clock.Start();
        topUp();
    };
    client.OnDataSent = [&](QObject*, uint16_t Error) {
        if (Error != 0) return run.Fail("send: error " + std::to_string(Error));
        topUp();
    };
    client.OnSessionClosed = [&](QObject*, uint16_t) {
        if (!done) run.Fail("the sending end was closed before the end of the stream");
    };

    try {
        listener.SetProto("tcp");
        listener.SetAddr("127.0.0.1");
        listener.SetPort("0");
        listener.Listen();
        client.SetAddr("127.0.0.1");
        client.SetPort(listener.GetBoundPort());
        client.Connect();
    } catch (const std::exception& E) {
        run.Fail(E.what());
    }
    if (run.Failure.empty()) run.Exec();

    r.Count = checker.Received;
    r.Failure = run.Failure;
    if (r.Failure.empty() && checker.Corrupt) r.Failure = "received bytes differ from the bytes sent";
    if (r.Failure.empty() && checker.Received != Total)
        r.Failure = "received more bytes than were sent";
    return r;
}

TRunResult TWSocketConnectCycles(int Cycles) {
    TRunResult r;
    TRunLoop run;
    TPosixAcceptCloser listener;
    if (!listener.Ok()) {
        r.Failure = "listen failed";
        return r;
    }
    QSocketNotifier acceptable(listener.Fd(), QSocketNotifier::Read);
    QObject::connect(&acceptable, &QSocketNotifier::activated, [&] { listener.AcceptAndClose(); });
    const std::string port = std::to_string(listener.Port());
    TStopwatch clock;

    TWSocket client;
    client.OnBgException = [&](QObject*, const std::exception& E, bool&) { run.Fail(E.what()); };
    // A close resets Addr and Port to unassigned, so every attempt sets them again.
    auto connectOnce = [&] {
        try {
            client.SetAddr("127.0.0.1");
            client.SetPort(port);
            client.Connect();
        } catch (const std::exception& E) {
            run.Fail(E.what());
        }
    };
    client.OnSessionConnected = [&](QObject*, uint16_t Error) {
        if (Error != 0) return run.Fail("connect: error " + std::to_string(Error));
        client.Close();
        if (++r.Count == static_cast<uint64_t>(Cycles)) {
            clock.Stop(r);
            return run.Quit();
        }
        // The next attempt starts from the event loop, not from inside this event.
        QMetaObject::invokeMethod(&run.Loop, connectOnce, Qt::QueuedConnection);
    };

    clock.Start();
    connectOnce();
    if (run.Failure.empty()) run.Exec();
    r.Failure = run.Failure;
    listener.AcceptAndClose();
    return r;
}

// Bytes of chat lines, 80 bytes each with the line end.
std::string ChatLines(uint64_t Bytes) {
    std::string out;
    out.reserve(Bytes);
    for (uint64_t n = 0; out.size() < Bytes; ++n) {
        char line[81];
        std::snprintf(line, sizeof line, "DL1ABC-ANNA: message %010llu about the contest on 20 m "
                      "this weekend, 73!!!!\r\n", static_cast<unsigned long long>(n));
        out.append(line, std::min<uint64_t>(80, Bytes - out.size()));
    }
    // The last line is cut short, and ends like every other.
    out.replace(out.size() - 2, 2, "\r\n");
    return out;
}

// Everything is written while the receiver is paused, then Resume starts the clock.
TRunResult PendingRun(uint64_t Bytes, bool LineMode) {
    class TReader : public TWSocket {
    public:
        using TWSocket::Handle;
    };
    TRunResult r;
    TRunLoop run;
    TPosixAcceptCloser listener;
    TReader reader;
    const std::string stream = ChatLines(Bytes);
    bool connected = false;
    reader.OnSessionConnected = [&](QObject*, uint16_t Error) {
        if (Error != 0) return run.Fail("connect: error " + std::to_string(Error));
        connected = true;
        reader.Pause();
        run.Quit();
    };
    reader.SetAddr("127.0.0.1");
    reader.SetPort(std::to_string(listener.Port()));
    reader.Connect();
    const int peer = PosixAcceptOne(listener, 5000);
    if (peer < 0) return r.Failure = "accept failed", r;
    run.Exec();
    const int big = 4 << 20;
    winsock::setsockopt(reader.Handle, winsock::SOL_SOCKET, winsock::SO_RCVBUF,
                        reinterpret_cast<const char*>(&big), sizeof big);
    if (!connected || !PosixWriteAll(peer, stream.data(), stream.size())) {
        PosixClose(peer);
        return r.Failure = run.Failure.empty() ? "the peer could not write" : run.Failure, r;
    }
    for (int i = 0; i < 1000 && reader.RcvdCount() < static_cast<int>(Bytes); ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    if (reader.RcvdCount() != static_cast<int>(Bytes)) {
        PosixClose(peer);
        return r.Failure = "not everything was pending", r;
    }
    reader.SetLineMode(LineMode);
    char buffer[ReadSize];
    TStopwatch clock;
    reader.OnDataAvailable = [&](QObject*, uint16_t) {
        const int n = reader.Receive(buffer, LineMode ? std::min(reader.RcvdCount(), ReadSize)
                                                      : ReadSize);
        if (n > 0) r.Count += static_cast<uint64_t>(n);
        if (r.Count == Bytes) {
            clock.Stop(r);
            run.Quit();
        }
    };
    clock.Start();
    reader.Resume();
    run.Exec();
    PosixClose(peer);
    if (r.Failure.empty()) r.Failure = run.Failure;
    return r;
}

// One run: measures, records the figure, reports it to the benchmark library.
template <typename Run>
void Measure(benchmark::State& State, const std::string& Name, int Round, const char* Unit,
             double PerCount, Run&& RunOnce) {
    for (auto _ : State) {
        const TRunResult r = RunOnce();
        if (!r.Failure.empty() || r.Seconds <= 0 || r.CpuSeconds <= 0) {
            AnyFailure = true;
            State.SkipWithError((Name + ": " + (r.Failure.empty() ? "no time" : r.Failure)).c_str());
            return;
        }
        State.SetIterationTime(r.Seconds);
        const double amount = static_cast<double>(r.Count) / PerCount;
        State.counters[Unit] = amount / r.Seconds;
        State.counters[std::string(Unit) + " (CPU)"] = amount / r.CpuSeconds;
        WallFigures.Add(Name, Round, amount / r.Seconds);
        CpuFigures.Add(Name, Round, amount / r.CpuSeconds);
    }
}

constexpr const char* RawSmall = "stream/raw_posix/send1460_read2048";
constexpr const char* RawLarge = "stream/raw_posix/send64K_read64K";
constexpr const char* Socket = "stream/TWSocket/send1460_read2048";
constexpr const char* BulkRaw = "bulk/raw_posix/send64K_read64K";
constexpr const char* BulkSocket = "bulk/TWSocket/one_send_read64K";
constexpr const char* RawCycles = "connect_close/raw_posix";
constexpr const char* SocketCycles = "connect_close/TWSocket";
constexpr const char* PendingRaw1 = "pending_1MiB/raw_mode";
constexpr const char* PendingLine1 = "pending_1MiB/line_mode";
constexpr const char* PendingRaw2 = "pending_2MiB/raw_mode";
constexpr const char* PendingLine2 = "pending_2MiB/line_mode";

// The runs go in rounds, each measuring every case once, the two sides of a ratio one right after
// the other and in turns (run_timing.h): this machine's speed drifts by tens of percent over
// seconds, and a ratio taken within one round sees the same machine on both sides.
void Register() {
    constexpr double MiB = 1024.0 * 1024.0;
    struct TCase {
        const char* Name;
        const char* Unit;
        double PerCount;
        std::function<TRunResult()> Run;
    };
    std::vector<TCase> cases = {
        {RawSmall, "MiB/s", MiB, [] { return RawStream(StreamBytes, 1460, ReadSize); }},
        {Socket, "MiB/s", MiB, [] { return TWSocketStream(StreamBytes, ReadSize, TSending::TopUp); }},
        {RawLarge, "MiB/s", MiB, [] { return RawStream(StreamBytes, MaxChunk, MaxChunk); }},
        {BulkSocket, "MiB/s", MiB, [] { return TWSocketStream(BulkBytes, MaxChunk, TSending::AllAtOnce); }},
        {BulkRaw, "MiB/s", MiB, [] { return RawStream(BulkBytes, MaxChunk, MaxChunk); }},
        {RawCycles, "cycles/s", 1.0, [] { return RawConnectCycles(ConnectCycles); }},
        {SocketCycles, "cycles/s", 1.0, [] { return TWSocketConnectCycles(ConnectCycles); }},
    };
    for (const bool line : {false, true}) {
        cases.push_back({line ? PendingLine1 : PendingRaw1, "MiB/s", MiB, [=] { return PendingRun(1 << 20, line); }});
        cases.push_back({line ? PendingLine2 : PendingRaw2, "MiB/s", MiB, [=] { return PendingRun(2 << 20, line); }});
    }
    for (int round = 0; round < Rounds; ++round)
        for (const TCase& c : RoundOrder(cases, round))
            benchmark::RegisterBenchmark(c.Name, [=](benchmark::State& S) {
                Measure(S, c.Name, round, c.Unit, c.PerCount, c.Run);
            })->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
}

void PrintSummary() {
    // A figure that was not measured (filtered out, or failed) prints as a dash.
    auto number = [](double V, int Decimals) {
        char text[32];
        if (V > 0)
            std::snprintf(text, sizeof text, "%.*f", Decimals, V);
        else
            std::snprintf(text, sizeof text, "-");
        return std::string(text);
    };
    auto value = [&](const char* Label, const char* Name, const char* Unit) {
        std::printf("    %-44s %10s %-8s %10s\n", Label, number(WallFigures.Figure(Name).Median, 1).c_str(),
                    Unit, number(CpuFigures.Figure(Name).Median, 1).c_str());
    };
    // A ratio by the wall clock with its spread, and by CPU time; Key names its RATIO line.
    auto ratio = [&](const char* Label, const char* A, const char* B, const char* Key = nullptr,
                     double GoalValue = 0, TGoal Side = TGoal::Higher, double Scale = 1) {
        TSpread wall = WallFigures.Ratio(A, B);
        for (double* v : {&wall.Median, &wall.Min, &wall.Max}) *v *= Scale;
        std::printf("    %-44s %10s %-8s %10s  (%s-%s)\n", Label, number(wall.Median, 3).c_str(), "",
                    number(CpuFigures.Ratio(A, B).Median * Scale, 3).c_str(),
                    number(wall.Min, 3).c_str(), number(wall.Max, 3).c_str());
        if (Key) PrintRatio(Key, wall, GoalValue, Side);
    };

    std::printf("\nSummary: medians over %d rounds; each ratio is the median of the ratios taken "
                "within a round (min-max of those)\n", Rounds);
    std::printf("    %-44s %10s %-8s %10s\n", "", "wall", "", "CPU time");
    std::printf("  loopback stream of %llu MiB, one thread\n",
                static_cast<unsigned long long>(StreamBytes >> 20));
    value("raw POSIX, 1460-byte sends, 2048-byte reads", RawSmall, "MiB/s");
    value("raw POSIX, 64 KiB sends and reads", RawLarge, "MiB/s");
    value("TWSocket, 1460-byte blocks, 2048-byte reads", Socket, "MiB/s");
    ratio("ratio TWSocket / raw (1460/2048)", Socket, RawSmall, "socket_vs_raw_posix_1460_2048", Goal);
    ratio("ratio TWSocket / raw (64 KiB)", Socket, RawLarge);
    ratio("ratio raw (1460/2048) / raw (64 KiB)", RawSmall, RawLarge);
    std::printf("  bulk send of %llu MiB at once\n", static_cast<unsigned long long>(BulkBytes >> 20));
    value("raw POSIX, 64 KiB sends and reads", BulkRaw, "MiB/s");
    value("TWSocket, one Send, 64 KiB reads", BulkSocket, "MiB/s");
    ratio("ratio TWSocket / raw", BulkSocket, BulkRaw, "bulk_send_vs_raw_posix_64K", 0.7);
    std::printf("  connect and close, %d cycles\n", ConnectCycles);
    value("raw POSIX", RawCycles, "cycles/s");
    value("TWSocket", SocketCycles, "cycles/s");
    ratio("ratio TWSocket / raw", SocketCycles, RawCycles, "connect_close_vs_raw_posix", 0.8);
    std::printf("  1 and 2 MiB of chat lines pending at once\n");
    value("raw mode, 1 MiB", PendingRaw1, "MiB/s");
    value("line mode, 1 MiB", PendingLine1, "MiB/s");
    value("raw mode, 2 MiB", PendingRaw2, "MiB/s");
    value("line mode, 2 MiB", PendingLine2, "MiB/s");
    ratio("ratio line / raw mode, 1 MiB", PendingLine1, PendingRaw1, "line_mode_vs_raw_1MiB_pending", 0.8);
    ratio("ratio line / raw mode, 2 MiB", PendingLine2, PendingRaw2, "line_mode_vs_raw_2MiB_pending", 0.8);
    // Time for 2 MiB over time for 1 MiB: twice the 1 MiB throughput over the 2 MiB one.
    ratio("line mode, time of 2 MiB / time of 1 MiB", PendingLine1, PendingLine2,
          "line_mode_2MiB_vs_1MiB_time", 2.2, TGoal::Lower, 2);
}

// Takes --mib=N, --cycles=N and --rounds=N out of the arguments; false on a malformed value.
bool TakeOwnFlags(int& Argc, char** Argv) {
    int kept = 1;
    for (int i = 1; i < Argc; ++i) {
        const char* a = Argv[i];
        auto value = [&](const char* Flag, long long Min, long long& Out) {
            const size_t n = std::strlen(Flag);
            if (std::strncmp(a, Flag, n) != 0) return false;
            char* end = nullptr;
            Out = std::strtoll(a + n, &end, 10);
            if (*end != '\0' || Out < Min) Out = -1;
            return true;
        };
        long long v;
        if (value("--mib=", 1, v)) {
            if (v < 0) return false;
            StreamBytes = static_cast<uint64_t>(v) << 20;
        } else if (value("--cycles=", 1, v)) {
            if (v < 0 || v > 1000000) return false;
            ConnectCycles = static_cast<int>(v);
        } else if (value("--rounds=", 1, v)) {
            if (v < 0 || v > 1000) return false;
            Rounds = static_cast<int>(v);
        } else {
            Argv[kept++] = Argv[i];
        }
    }
    Argc = kept;
    Argv[Argc] = nullptr;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (!TakeOwnFlags(argc, argv)) {
        std::fprintf(stderr, "usage: %s [--mib=N] [--cycles=N] [--rounds=N] [benchmark flags]\n", argv[0]);
        return 2;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
    QCoreApplication app(argc, argv);

    Register();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    PrintSummary();
    return AnyFailure ? 1 : 0;
}
