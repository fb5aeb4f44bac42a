// Socket throughput and connection set-up: TWSocket against raw POSIX sockets on loopback, all
// on one thread, measured in the same run and printed as ratios.
//
//   stream   256 MiB from a TWSocket to a peer TWSocket that reads 2048 bytes per Receive; the
//            sender tops its queue up to 64 KiB whenever it is drained. Baselines, each a poll()
//            loop over raw sockets: one that keeps the same 64 KiB queue of 1460-byte blocks and
//            hands up to 64 of them to each writev() (the one with the goal), one with a send()
//            per 1460-byte block, and one with 64 KiB sends and reads; all read 2048 bytes per
//            recv() but the last.
//   bulk     16 MiB handed to one Send, read 64 KiB per Receive; against raw sockets with 64 KiB
//            sends and reads.
//   connect  Connect, OnSessionConnected, Close, again; against a listener that accepts and
//            closes. Baseline: the same cycle on a raw non-blocking socket.
//   pending  1 and 2 MiB of 80-byte chat lines, all pending in the kernel before the paused
//            receiver resumes: line mode (one Receive per line) against raw mode (2048-byte
//            Receives) on the same bytes; and what 2 MiB costs against 1 MiB in line mode.
//
// Two figures are measured once, after the rounds, each in fresh processes of this program:
//   syscalls the system calls of one connect-close cycle, TWSocket against the raw cycle, by
//            call, counted under strace (-f) in a run that does only the cycles; the count of a
//            short run is taken from that of a longer one, so that start-up and one-time costs
//            drop out.
//   waiting  1,000 TWSockets open at once under the stock limit of 1,024 descriptors, each
//            waiting for a 100-byte record whose first half its peer (a process of its own)
//            sent at once: its OnDataAvailable reads nothing until RcvdCount reaches 100. How
//            many records arrive once the peers send the rest, how many descriptors beyond the
//            sockets the process holds while they wait, and the CPU time of an idle second
//            while they wait.
//
// Every case runs once in each round, the two sides of a ratio next to each other and in turns
// (run_timing.h); the summary at the end prints the median figures and, for each ratio, the
// median of the ratios taken within a round with their spread.
//
// Own flags (besides the benchmark library's): --mib=N (stream size, default 256), --cycles=N
// (connect cycles, default 2000), --rounds=N (default 7), --syscall-cycles=N (cycles counted
// under strace, default 200; 0 leaves the figure out) and --waiting=N (sockets of the waiting
// case, default 1000; 0 leaves it out); smaller values suit a run under a profiler, as does the
// library's --benchmark_filter.
#include "happy_eyeballs.h"
#include "line_wsocket.h"
#include "run_timing.h"
#include "posix_baseline.h"
#include "socket_probes.h"
#include "stream_check.h"
#include "child_process.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
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
int SyscallCycles = 200;                  // cycles whose system calls are counted (0: none)
int WaitingSockets = 1000;                // sockets of the waiting case (0: none)
int EyeballRounds = 10;                   // connections of the IPv6 fallback case (0: none)

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
    // No OnSendData handler: with one, the chain sends block by block to report each.
    auto topUp = [&] {
        if (Sending == TSending::AllAtOnce && queued == 0) {
            client.Send(whole.data(), static_cast<int>(whole.size()));
            queued = Total;
        }
        if (queued >= Total) return;
        const uint64_t chunk = std::min<uint64_t>(QueueTarget, Total - queued);
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
        ++r.Count;
    };

    // The loop is driven one pass at a time, and each attempt starts between passes, not from
    // inside the event that ended the one before. Neither costs a system call of its own, as
    // the raw cycle makes none beyond the socket's: a call posted to the loop, or a loop left
    // with quit(), writes to the loop's wake-up descriptor and reads it back, and a zero-time
    // timer takes a poll of its own.
    clock.Start();
    for (uint64_t started = 0; run.Failure.empty() && r.Count < static_cast<uint64_t>(Cycles);) {
        if (started == r.Count) {
            ++started;
            connectOnce();
        }
        if (run.Failure.empty()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    if (run.Failure.empty()) clock.Stop(r);
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

// --- Counted in processes of their own ------------------------------------------------------

// Runs the event loop until Done() holds or TimeoutMs have passed; whether Done() holds.
bool RunUntil(const std::function<bool()>& Done, int TimeoutMs) {
    if (Done()) return true;
    QEventLoop loop;
    QTimer check, deadline;
    QObject::connect(&check, &QTimer::timeout, [&] {
        if (Done()) loop.quit();
    });
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    check.start(5);
    deadline.setSingleShot(true);
    deadline.start(TimeoutMs);
    loop.exec();
    return Done();
}

// Runs the event loop for Ms milliseconds, with nothing else of its own to do.
void RunFor(int Ms) {
    QEventLoop loop;
    QTimer deadline;
    deadline.setTimerType(Qt::PreciseTimer);
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    deadline.start(Ms);
    loop.exec();
}

// The child that counts system calls runs only the cycles of one side.
int CyclesOnlyChild(const std::string& Side, int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const TRunResult r = Side == "raw" ? RawConnectCycles(ConnectCycles)
                                       : TWSocketConnectCycles(ConnectCycles);
    if (!r.Failure.empty() || r.Count != static_cast<uint64_t>(ConnectCycles)) {
        std::fprintf(stderr, "%s cycles: %s\n", Side.c_str(), r.Failure.c_str());
        return 1;
    }
    std::printf("ok=1 cycles=%d\n", ConnectCycles);
    return 0;
}

constexpr int RecordSize = 100;            // what each waiting socket's handler waits for
constexpr int FirstPart = 50;              // what its peer sends before the idle stretch
constexpr long StockDescriptorLimit = 1024;  // the soft limit a Linux login starts with
constexpr int WaitPhaseMs = 30 * 1000;     // for all to connect and see the first half
constexpr int DeliverPhaseMs = 10 * 1000;  // for all records to arrive whole
constexpr int IdleMs = 1000;

// The child of the waiting case: Count TWSockets, each waiting for the rest of its record. It
// prints its figures as key=value words; what went wrong goes to standard error.
int WaitingChild(int Count, int argc, char** argv) {
    // Under the stock soft limit whatever the shell set, lowered before anything is open, and
    // the peers in a process of their own (forked before any thread starts): only this
    // process's own descriptors count against its limit.
    const bool limited = SetDescriptorLimit(StockDescriptorLimit);
    std::string record(RecordSize, '\0');
    for (int i = 0; i < RecordSize; ++i) record[static_cast<std::size_t>(i)] = static_cast<char>('a' + i % 26);
    TWaitingPeer peer;
    std::string failure;
    // One more connection than sockets: the first one is the warm-up socket, below.
    if (!peer.Start(Count + 1, record, FirstPart, failure)) {
        std::fprintf(stderr, "waiting: %s\n", failure.c_str());
        return 1;
    }
    QCoreApplication app(argc, argv);
    const std::string port = std::to_string(peer.Port());

    struct TWaiter {
        std::unique_ptr<TWSocket> Socket;
        bool Waiting = false;
        bool Delivered = false;
    };
    std::vector<TWaiter> waiters(static_cast<std::size_t>(Count + 1));
    int connected = 0, connectFailed = 0, waiting = 0, delivered = 0, wrong = 0, closedEarly = 0;
    long handlerCalls = 0;
    bool warmWaiting = false;  // the warm-up socket's own state; it is in no count
    std::string firstError;
    auto noteError = [&](const std::string& What) {
        if (firstError.empty()) firstError = What;
    };

    // Socket 0 is the warm-up socket; the others are counted.
    auto open = [&](std::size_t I) {
        TWaiter& w = waiters[I];
        w.Socket = std::make_unique<TWSocket>();
        TWSocket& s = *w.Socket;
        s.OnBgException = [&](QObject*, const std::exception& E, bool&) { noteError(E.what()); };
        s.OnSessionConnected = [&, I](QObject*, uint16_t Error) {
            if (Error == 0) {
                if (I > 0) ++connected;
                return;
            }
            ++connectFailed;
            noteError("connect: error " + std::to_string(Error));
        };
        s.OnDataAvailable = [&, I](QObject*, uint16_t) {
            TWaiter& me = waiters[I];
            const int pending = me.Socket->RcvdCount();
            if (I == 0) {
                // The warm-up socket waits like the others, and takes its record unseen.
                if (pending < RecordSize) {
                    warmWaiting = warmWaiting || pending >= FirstPart;
                    return;
                }
                char bytes[RecordSize];
                me.Socket->Receive(bytes, RecordSize);
                return;
            }
            ++handlerCalls;
            if (pending < RecordSize) {
                // The record is not whole yet: read nothing, and wait to be called again.
                if (pending >= FirstPart && !me.Waiting) {
                    me.Waiting = true;
                    ++waiting;
                }
                return;
            }
            char bytes[RecordSize];
            const int n = me.Socket->Receive(bytes, RecordSize);
            if (n != RecordSize || std::memcmp(bytes, record.data(), RecordSize) != 0 || me.Delivered) {
                ++wrong;
                return;
            }
            me.Delivered = true;
            ++delivered;
        };
        s.OnSessionClosed = [&, I](QObject*, uint16_t) {
            if (I > 0 && !waiters[I].Delivered) ++closedEarly;
        };
        try {
            s.SetAddr("127.0.0.1");
            s.SetPort(port);
            s.Connect();
        } catch (const std::exception& E) {
            ++connectFailed;
            noteError(E.what());
        }
    };

    // The warm-up socket connects and waits first, and stays open to the end: what the socket
    // layer sets up for all its sockets together (and keeps while any is open) is part of the
    // baseline, and only what each socket costs beyond it is counted.
    open(0);
    RunUntil([&] { return warmWaiting || connectFailed > 0; }, WaitPhaseMs);
    const bool warmed = warmWaiting;
    RunFor(50);
    // Counted by the peer: this process may have no descriptor left to count with.
    const int baseline = peer.CountStarterDescriptors(5000);

    for (std::size_t i = 1; i <= static_cast<std::size_t>(Count); ++i) open(i);
    const bool allWaiting = RunUntil([&] { return waiting == Count || waiting + connectFailed + closedEarly >= Count; },
                                     WaitPhaseMs) && waiting == Count;
    int descriptors = peer.CountStarterDescriptors(5000) - baseline;

    // The idle stretch: every socket waits for the second half, which is not on its way yet.
    const long callsBefore = handlerCalls;
    const double cpuBefore = ProcessCpuMs();
    const auto wallBefore = std::chrono::steady_clock::now();
    RunFor(IdleMs);
    const double idleCpuMs = ProcessCpuMs() - cpuBefore;
    const double idleSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
    const long idleCalls = handlerCalls - callsBefore;
    descriptors = std::max(descriptors, peer.CountStarterDescriptors(5000) - baseline);

    const int released = peer.Release(5000);
    const auto deliverStart = std::chrono::steady_clock::now();
    const bool allDelivered = RunUntil([&] { return delivered + closedEarly + connectFailed >= Count; },
                                       DeliverPhaseMs) && delivered == Count;
    const double deliverSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - deliverStart).count();

    if (!warmed) std::fprintf(stderr, "the warm-up socket never waited for its record\n");
    if (!allWaiting)
        std::fprintf(stderr, "only %d of %d sockets waited for the rest of their record within %d s "
                     "(%d connected, %d failed to connect, %d closed early)\n",
                     waiting, Count, WaitPhaseMs / 1000, connected, connectFailed, closedEarly);
    if (!allDelivered)
        std::fprintf(stderr, "only %d of %d records arrived within %d s of the rest being sent (the peer sent it on %d "
                     "connections, the warm-up socket's included)\n",
                     delivered, Count, DeliverPhaseMs / 1000, released);
    if (wrong) std::fprintf(stderr, "%d reads gave wrong records\n", wrong);
    if (!firstError.empty()) std::fprintf(stderr, "first error: %s\n", firstError.c_str());

    std::printf("sockets=%d limit=%ld limit_set=%d baseline_fds=%d connected=%d connect_failed=%d "
                "waiting=%d closed_early=%d fds=%d idle_cpu_ms=%.2f idle_seconds=%.3f "
                "idle_calls=%ld released=%d delivered=%d deliver_seconds=%.3f wrong=%d ok=1\n",
                Count, DescriptorLimit(), limited ? 1 : 0, baseline, connected, connectFailed, waiting,
                closedEarly, descriptors, idleCpuMs, idleSeconds, idleCalls, released, delivered,
                deliverSeconds, wrong);
    std::fflush(stdout);
    waiters.clear();
    peer.Stop();
    return 0;
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
constexpr const char* RawGather = "stream/raw_posix/writev1460x64_read2048";
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
        {RawGather, "MiB/s", MiB, [] { return RawGatherStream(StreamBytes, 1460, QueueTarget, 64, ReadSize); }},
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

// The system calls of one connect-close cycle by call, for each side: the counts of a run of
// SyscallCycles + ShortRun cycles less those of a run of ShortRun cycles.
struct TSyscallFigures {
    std::map<std::string, double> Raw, Socket;
    std::string Failure;  // empty when measured
} Syscalls;

void MeasureSyscalls() {
    constexpr int ShortRun = 50;
    const std::string strace = FindOnPath("strace");
    if (strace.empty()) {
        Syscalls.Failure = "strace not found (scripts/setup installs it)";
        return;
    }
    for (const char* side : {"raw", "socket"}) {
        TSyscallTally tallies[2];
        for (int i = 0; i < 2; ++i) {
            const int cycles = ShortRun + i * SyscallCycles;
            tallies[i] = CountSyscalls(strace, {bench::SelfPath(), std::string("--cycles-only=") + side,
                                                "--cycles=" + std::to_string(cycles)}, 120);
            if (!tallies[i].Failure.empty()) {
                Syscalls.Failure = std::string(side) + " cycles under strace: " + tallies[i].Failure;
                return;
            }
        }
        auto& perCycle = std::string(side) == "raw" ? Syscalls.Raw : Syscalls.Socket;
        for (const auto& [call, n] : tallies[1].Calls) {
            const auto low = tallies[0].Calls.find(call);
            perCycle[call] = static_cast<double>(n - (low == tallies[0].Calls.end() ? 0 : low->second)) /
                             SyscallCycles;
        }
    }
}

// The waiting case's figures, as its child printed them.
bench::TChildRun Waiting;

void MeasureWaiting() {
    Waiting = bench::RunSelf({"--waiting-child=" + std::to_string(WaitingSockets)},
                             (WaitPhaseMs + DeliverPhaseMs) / 1000.0 + 60);
}

// A figure measured once, printed for scripts/bench even when it is 0 or below.
void PrintOnce(const char* Name, double Value, const char* Goal, TGoal Side, int Decimals) {
    std::printf("RATIO %s %.*f %s %s\n", Name, Decimals, Value, Goal,
                Side == TGoal::Higher ? "higher" : "lower");
}

void PrintSyscalls() {
    std::printf("  system calls per connect-close cycle (strace -f; a run of %d cycles less one of 50)\n",
                SyscallCycles + 50);
    if (!Syscalls.Failure.empty()) {
        std::printf("    failed: %s\n", Syscalls.Failure.c_str());
        AnyFailure = true;
        return;
    }
    std::map<std::string, bool> calls;
    for (const auto* side : {&Syscalls.Raw, &Syscalls.Socket})
        for (const auto& [call, n] : *side) calls[call] = true;
    auto of = [](const std::map<std::string, double>& Side, const std::string& Call) {
        const auto it = Side.find(Call);
        return it == Side.end() ? 0.0 : it->second;
    };
    std::printf("    %-44s %10s %10s %10s\n", "call", "raw", "TWSocket", "extra");
    double raw = 0, socket = 0, rawLoop = 0, socketLoop = 0;
    for (const auto& [call, unused] : calls) {
        const double r = of(Syscalls.Raw, call), s = of(Syscalls.Socket, call);
        raw += r;
        socket += s;
        if (IsEventLoopCall(call)) {
            rawLoop += r;
            socketLoop += s;
        }
        // Calls made less than once in 100 cycles are start-up noise, not part of a cycle.
        if (std::abs(r) >= 0.01 || std::abs(s) >= 0.01)
            std::printf("    %-44s %10.2f %10.2f %+10.2f%s\n", call.c_str(), r, s, s - r,
                        IsEventLoopCall(call) ? "  (event loop)" : "");
    }
    std::printf("    %-44s %10.2f %10.2f %+10.2f\n", "all calls", raw, socket, socket - raw);
    std::printf("    %-44s %10.2f %10.2f %+10.2f\n", "event-loop calls only", rawLoop, socketLoop,
                socketLoop - rawLoop);
    PrintOnce("syscalls_per_cycle_extra", socket - raw, "2", TGoal::Lower, 2);
    PrintOnce("syscalls_per_cycle_extra_event_loop", socketLoop - rawLoop, "-", TGoal::Lower, 2);
}

void PrintWaiting() {
    const bench::TChildRun& w = Waiting;
    std::printf("  %d TWSockets open at once, each waiting for the rest of a %d-byte record\n",
                WaitingSockets, RecordSize);
    if (!w.Ok()) {
        std::printf("    failed: %s\n", w.Exited ? ("exit " + std::to_string(w.ExitCode)).c_str()
                                                   : "killed: no answer in time");
        if (!w.Errors.empty()) std::printf("%s", w.Errors.c_str());
        AnyFailure = true;
        return;
    }
    const int sockets = static_cast<int>(w.Number("sockets"));
    const int delivered = static_cast<int>(w.Number("delivered"));
    const double extra = (w.Number("fds") - sockets) / sockets;
    std::printf("    %-44s %10.0f (%s)\n", "descriptor limit (soft)", w.Number("limit"),
                w.Number("limit_set") ? "set to the stock 1,024" : "could not be set");
    std::printf("    %-44s %10.0f of %d\n", "connected", w.Number("connected"), sockets);
    std::printf("    %-44s %10.0f of %d\n", "waiting for the second half", w.Number("waiting"), sockets);
    std::printf("    %-44s %10.0f (baseline %.0f)\n", "descriptors beyond the baseline", w.Number("fds"),
                w.Number("baseline_fds"));
    std::printf("    %-44s %10.3f\n", "extra descriptors per socket", extra);
    std::printf("    %-44s %10.2f ms over %.3f s (%.0f handler calls)\n", "CPU time while all wait",
                w.Number("idle_cpu_ms"), w.Number("idle_seconds"), w.Number("idle_calls"));
    std::printf("    %-44s %10d of %d (in %.3f s)\n", "records delivered whole", delivered, sockets,
                w.Number("deliver_seconds"));
    if (!w.Errors.empty()) std::printf("%s", w.Errors.c_str());
    if (delivered != sockets) {
        std::printf("    failed: %d of %d records were not delivered (stalled)\n", sockets - delivered, sockets);
        AnyFailure = true;
    }
    PrintOnce("waiting_sockets_delivered", delivered, std::to_string(sockets).c_str(), TGoal::Higher, 0);
    PrintOnce("waiting_sockets_extra_fds_per_socket", extra, "0", TGoal::Lower, 3);
    PrintOnce("waiting_sockets_idle_cpu_ms", w.Number("idle_cpu_ms"), "5", TGoal::Lower, 2);
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
    value("raw POSIX, 1460-byte blocks by writev", RawGather, "MiB/s");
    value("raw POSIX, 1460-byte sends, 2048-byte reads", RawSmall, "MiB/s");
    value("raw POSIX, 64 KiB sends and reads", RawLarge, "MiB/s");
    value("TWSocket, 1460-byte blocks, 2048-byte reads", Socket, "MiB/s");
    ratio("ratio TWSocket / raw (writev 1460/2048)", Socket, RawGather, "socket_vs_raw_writev_1460_2048", Goal);
    ratio("ratio TWSocket / raw (send 1460/2048)", Socket, RawSmall, "socket_vs_raw_posix_1460_2048");
    ratio("ratio TWSocket / raw (64 KiB)", Socket, RawLarge);
    ratio("ratio raw (writev) / raw (send 1460/2048)", RawGather, RawSmall);
    ratio("ratio raw (1460/2048) / raw (64 KiB)", RawSmall, RawLarge);
    std::printf("  bulk send of %llu MiB at once\n", static_cast<unsigned long long>(BulkBytes >> 20));
    value("raw POSIX, 64 KiB sends and reads", BulkRaw, "MiB/s");
    value("TWSocket, one Send, 64 KiB reads", BulkSocket, "MiB/s");
    ratio("ratio TWSocket / raw", BulkSocket, BulkRaw, "bulk_send_vs_raw_posix_64K", 0.7);
    std::printf("  connect and close, %d cycles\n", ConnectCycles);
    value("raw POSIX", RawCycles, "cycles/s");
    value("TWSocket", SocketCycles, "cycles/s");
    ratio("ratio TWSocket / raw", SocketCycles, RawCycles, "connect_close_vs_raw_posix", 0.85);
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
    if (SyscallCycles > 0) PrintSyscalls();
    if (WaitingSockets > 0) PrintWaiting();
}

// Takes this program's own flags out of the arguments; false on a malformed value. Two of them
// are the child modes the program starts itself in: --cycles-only=raw|socket (the connect-close
// cycles of one side, for strace) and --waiting-child=N (the waiting case).
std::string CyclesOnly;
int WaitingChildCount = 0;

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
        } else if (value("--syscall-cycles=", 0, v)) {
            if (v < 0 || v > 100000) return false;
            SyscallCycles = static_cast<int>(v);
        } else if (value("--waiting=", 0, v)) {
            if (v < 0 || v > 1000) return false;
            WaitingSockets = static_cast<int>(v);
        } else if (std::strncmp(a, "--cycles-only=", 14) == 0) {
            CyclesOnly = a + 14;
            if (CyclesOnly != "raw" && CyclesOnly != "socket") return false;
        } else if (value("--eyeballs=", 0, v)) {
            if (v < 0 || v > 1000) return false;
            EyeballRounds = static_cast<int>(v);
        } else if (value("--waiting-child=", 1, v)) {
            if (v < 0 || v > 1000) return false;
            WaitingChildCount = static_cast<int>(v);
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
        std::fprintf(stderr, "usage: %s [--mib=N] [--cycles=N] [--rounds=N] [--syscall-cycles=N] [--waiting=N] [--eyeballs=N] "
                     "[benchmark flags]\n", argv[0]);
        return 2;
    }
    if (!CyclesOnly.empty()) return CyclesOnlyChild(CyclesOnly, argc, argv);
    if (WaitingChildCount > 0) return WaitingChild(WaitingChildCount, argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
    QCoreApplication app(argc, argv);

    Register();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    // Measured once each, in processes of their own.
    if (SyscallCycles > 0) MeasureSyscalls();
    if (WaitingSockets > 0) MeasureWaiting();
    PrintSummary();
    if (EyeballRounds > 0) {
        const TSpread eyeballs = MeasureHappyEyeballs(EyeballRounds);
        std::printf("  IPv6 never answers, IPv4 does: connected after %.1f ms (%.1f-%.1f) over %d connections\n",
                    eyeballs.Median, eyeballs.Min, eyeballs.Max, EyeballRounds);
        if (eyeballs.Median <= 0) AnyFailure = true;
        PrintRatio("happy_eyeballs_fallback_ms", eyeballs, 300, TGoal::Lower, 1);
    }
    return AnyFailure ? 1 : 0;
}
