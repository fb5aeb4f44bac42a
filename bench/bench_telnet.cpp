// The telnet receive path: bytes per second through the telnet component's parser and chunk
// delivery (Parse, DeliverCollected, the owner's OnDataAvailable) on a realistic 64 MiB stream,
// against two baselines measured in the same run:
//
//   memcpy   the same bytes copied read by read into a read buffer and handed to the same owner
//            handler: what the path costs at the least, one copy of every byte;
//   naive    the same receive rules written one switch per byte (bench_telnet_naive.h).
//
// The stream is what a chat server sends: chat lines with Windows-1252 letters (the bytes 244 to
// 248 among them, which stay data), a doubled IAC every 4 KiB, and every 64 KiB an option
// negotiation and a terminal-type request. Reads are 2048 bytes, as the component receives them;
// its replies go out over its connected socket as they do in a session, the naive parser's over
// the same socket. Before timing, both parsers run the stream (and a part of it in reads of 7 and
// of 5000 bytes, which exercises commands split across reads and the flush of a full collect
// buffer) recording everything the owner can observe: the chunks and their bytes, the events,
// the replies, in their order. The figures count only when the two transcripts agree.
//
// Also measured: the whole path over real loopback sockets (a peer TWSocket sends the stream,
// the component receives it through its socket's data-available events), against raw POSIX
// sockets moving the same bytes with the same read size (posix_baseline.h).
//
// Every case runs once in each round (run_timing.h), the two sides of a ratio next to each other
// and in turns; ratios are the medians of the ratios taken within a round, with their spread, by
// the process's CPU time (steady on a machine busy with other work; all the work is on this one
// thread) with the wall clock beside it.
//
// Own flags: --mib=N (stream size, default 64), --rounds=N (default 7), --only=TEXT (only the
// cases whose name holds TEXT, for a run under a profiler).
#include "bench_telnet_naive.h"
#include "posix_baseline.h"
#include "run_timing.h"
#include "tncnx.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr int ReadSize = TTnCnx::ReadSize;
constexpr int SendChunk = 64 * 1024;  // the loopback peer keeps this much queued
constexpr int RunTimeoutMs = 60 * 1000;

uint64_t StreamBytes = 64ull << 20;

// --- The stream -------------------------------------------------------------------------------

std::string MakeStream(uint64_t Total) {
    static const char* const words[] = {
        "hello", "the", "server", "is", "back", "again", "after", "restart", "who", "has", "seen",
        "my", "message", "about", "tonight", "Gr\xFC\xDF" "e", "f\xF6\xF6", "caf\xE9", "na\xEFve",
        "\xF4t\xE9", "\xF5", "\xF7", "\xF8re", "se\xF1or", "co\xF6perate", "meeting", "yes", "no",
        "maybe", "later", "thanks", "everyone"};
    constexpr int wordCount = sizeof words / sizeof *words;
    // Every 64 KiB one of these in turn: accepted, announced, answered with a subnegotiation,
    // refused, and end-of-record agreed then used.
    static const std::string negotiations[] = {
        "\xFF\xFB\x01", "\xFF\xFD\x18", "\xFF\xFD\x17", "\xFF\xFB\x05", "\xFF\xFD\x19\xFF\xEF"};
    const std::string termTypeRequest = "\xFF\xFA\x18\x01\xFF\xF0";

    std::string s;
    s.reserve(Total + 256);
    uint32_t seed = 12345;
    auto next = [&] { return seed = seed * 1103515245u + 12345u, seed >> 8; };
    uint64_t nextIac = 4096, nextNegotiation = 65536;
    int negotiation = 0;
    while (s.size() < Total) {
        std::string line = "&<CALL" + std::to_string(next() % 40) + "-NAME><";
        const int n = 3 + static_cast<int>(next() % 20);
        for (int w = 0; w < n; ++w) {
            if (w) line += ' ';
            line += words[next() % wordCount];
        }
        line += ">\r\n";
        s += line;
        if (s.size() >= nextIac) {
            s += "\xFF\xFF";
            nextIac += 4096;
        }
        if (s.size() >= nextNegotiation) {
            s += negotiations[negotiation++ % 5];
            s += termTypeRequest;
            nextNegotiation += 65536;
        }
    }
    s.resize(Total);
    return s;
}

// --- What the owner observes ------------------------------------------------------------------

// A running digest of a transcript: the chunks with their bytes, events, replies, in order.
struct TTranscript {
    uint64_t Hash = 1469598103934665603ull;
    uint64_t DataBytes = 0, Chunks = 0, Events = 0, Replies = 0;
    void Mix(const void* P, std::size_t N) {
        const auto* b = static_cast<const unsigned char*>(P);
        for (std::size_t i = 0; i < N; ++i) Hash = (Hash ^ b[i]) * 1099511628211ull;
    }
    void Data(const char* P, int N) {
        Mix("D", 1);
        Mix(&N, sizeof N);
        Mix(P, static_cast<std::size_t>(N) + 1);  // the terminating 0 too
        DataBytes += static_cast<uint64_t>(N);
        ++Chunks;
    }
    void Event(char Code) {
        Mix("E", 1);
        Mix(&Code, 1);
        ++Events;
    }
    void Reply(int N) {
        Mix("R", 1);
        Mix(&N, sizeof N);
        ++Replies;
    }
    bool operator==(const TTranscript&) const = default;
};

// The owner handler of the timed runs: as little work as an owner can do with a chunk.
struct TSink {
    uint64_t Bytes = 0;
    unsigned Last = 0;
    void Take(const char* P, int N) {
        Bytes += static_cast<uint64_t>(N);
        Last += static_cast<unsigned char>(P[N - 1]);
    }
};

class TBenchCnx : public TTnCnx {
public:
    using TTnCnx::DeliverCollected;
    using TTnCnx::Parse;
    using TTnCnx::Socket;
    void Read(const char* P, int N) {
        Parse(reinterpret_cast<const uint8_t*>(P), N);
        DeliverCollected();
    }
};

// --- A connected component --------------------------------------------------------------------

// Runs the event loop until Done holds or the time is up.
bool Await(const std::function<bool()>& Done, int TimeoutMs = RunTimeoutMs) {
    QEventLoop loop;
    QTimer poll;
    bool timedOut = false;
    QTimer::singleShot(TimeoutMs, &loop, [&] { timedOut = true; loop.quit(); });
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] { if (Done()) loop.quit(); });
    poll.start(0);
    if (!Done()) loop.exec();
    return !timedOut || Done();
}

// Serves the event loop for a moment.
void Settle() { Await([] { return false; }, 50); }

// The component connected to a peer TWSocket on loopback; the peer keeps what it receives.
struct TSession {
    TWSocket Listener, Peer;
    TBenchCnx Cnx;
    std::string FromCnx;
    std::string Failure;

    TSession() {
        Listener.OnSessionAvailable = [this](QObject*, uint16_t) { Peer.Dup(Listener.Accept()); };
        Peer.OnDataAvailable = [this](QObject*, uint16_t) {
            char b[4096];
            const int n = Peer.Receive(b, sizeof b);
            if (n > 0) FromCnx.append(b, static_cast<std::size_t>(n));
        };
        try {
            Listener.SetProto("tcp");
            Listener.SetAddr("127.0.0.1");
            Listener.SetPort("0");
            Listener.Listen();
            Cnx.SetHost("127.0.0.1");
            Cnx.SetPort(Listener.GetBoundPort());
            Cnx.Connect();
        } catch (const std::exception& E) {
            Failure = E.what();
            return;
        }
        if (!Await([this] {
                return Cnx.State() == wsConnected && Peer.State() == wsConnected;
            }, 5000))
            Failure = "no connection";
    }
    // Waits until the peer has Count bytes from the component.
    bool Drain(std::size_t Count) {
        return Await([&] { return FromCnx.size() >= Count; }, 5000) && FromCnx.size() == Count;
    }
};

// --- The check --------------------------------------------------------------------------------

// Both parsers over Stream in reads of ReadLen; false (with Failure set) when they differ.
bool SameTranscript(TSession& S, std::string_view Stream, int ReadLen, std::string& Failure) {
    TTranscript naive, cnx;
    std::string naiveReplies;
    TNaiveTelnet parser;
    parser.OnData = [&](const char* P, int N) { naive.Data(P, N); };
    parser.OnReply = [&](const char* P, int N) {
        naive.Reply(N);
        naiveReplies.append(P, static_cast<std::size_t>(N));
    };
    parser.OnEvent = [&](TNaiveTelnet::TEvent E) { naive.Event(static_cast<char>(E)); };
    for (std::size_t i = 0; i < Stream.size(); i += static_cast<std::size_t>(ReadLen)) {
        const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(ReadLen), Stream.size() - i);
        parser.Read(reinterpret_cast<const uint8_t*>(Stream.data() + i), static_cast<int>(n));
    }

    S.FromCnx.clear();
    S.Cnx.OnDataAvailable = [&](QObject*, const char* P, int N) { cnx.Data(P, N); };
    S.Cnx.OnLocalEcho = [&](QObject*) { cnx.Event(static_cast<char>(TNaiveTelnet::TEvent::LocalEcho)); };
    S.Cnx.OnSendLoc = [&](QObject*) { cnx.Event(static_cast<char>(TNaiveTelnet::TEvent::SendLoc)); };
    S.Cnx.OnTermType = [&](QObject*) { cnx.Event(static_cast<char>(TNaiveTelnet::TEvent::TermType)); };
    S.Cnx.OnEndOfRecord = [&](QObject*) {
        cnx.Event(static_cast<char>(TNaiveTelnet::TEvent::EndOfRecord));
    };
    S.Cnx.Socket()->OnSendData = [&](QObject*, int N) { cnx.Reply(N); };
    for (std::size_t i = 0; i < Stream.size(); i += static_cast<std::size_t>(ReadLen)) {
        const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(ReadLen), Stream.size() - i);
        S.Cnx.Read(Stream.data() + i, static_cast<int>(n));
    }
    S.Cnx.Socket()->OnSendData = nullptr;
    S.Cnx.OnLocalEcho = S.Cnx.OnSendLoc = S.Cnx.OnTermType = S.Cnx.OnEndOfRecord = nullptr;
    S.Cnx.OnDataAvailable = nullptr;

    const std::string reads = " in reads of " + std::to_string(ReadLen);
    if (!S.Drain(naiveReplies.size()) || S.FromCnx != naiveReplies)
        Failure = "the replies differ" + reads;
    else if (!(cnx == naive))
        Failure = "the transcripts differ" + reads + " (chunks " + std::to_string(cnx.Chunks) +
                  " against " + std::to_string(naive.Chunks) + ", events " +
                  std::to_string(cnx.Events) + " against " + std::to_string(naive.Events) + ")";
    if (!Failure.empty()) return false;
    if (naive.Events == 0 || naive.Replies == 0) {
        Failure = "the stream holds no commands";
        return false;
    }
    return true;
}

// --- The timed runs ---------------------------------------------------------------------------

template <typename ReadOne>
TRunResult ReadAll(std::string_view Stream, TSink& Sink, ReadOne&& Read) {
    TRunResult r;
    TStopwatch clock;
    clock.Start();
    for (std::size_t i = 0; i < Stream.size(); i += ReadSize) {
        const int n = static_cast<int>(std::min<std::size_t>(ReadSize, Stream.size() - i));
        Read(Stream.data() + i, n);
    }
    clock.Stop(r);
    r.Count = Stream.size();
    if (Sink.Bytes == 0) r.Failure = "nothing reached the owner";
    return r;
}

TRunResult MemcpyRun(std::string_view Stream) {
    TSink sink;
    static char buffer[ReadSize];
    return ReadAll(Stream, sink, [&](const char* P, int N) {
        std::memcpy(buffer, P, static_cast<std::size_t>(N));
        asm volatile("" : : "r"(buffer) : "memory");  // the copy is used
        sink.Take(buffer, N);
    });
}

TRunResult NaiveRun(TSession& S, std::string_view Stream) {
    TSink sink;
    TNaiveTelnet parser;
    parser.OnData = [&](const char* P, int N) { sink.Take(P, N); };
    parser.OnReply = [&](const char* P, int N) { S.Cnx.Send(P, N); };
    return ReadAll(Stream, sink, [&](const char* P, int N) {
        parser.Read(reinterpret_cast<const uint8_t*>(P), N);
    });
}

TRunResult ParserRun(TSession& S, std::string_view Stream) {
    TSink sink;
    S.Cnx.OnDataAvailable = [&](QObject*, const char* P, int N) { sink.Take(P, N); };
    TRunResult r = ReadAll(Stream, sink, [&](const char* P, int N) { S.Cnx.Read(P, N); });
    S.Cnx.OnDataAvailable = nullptr;
    return r;
}

// The stream from a peer TWSocket to the component over loopback; the component reads it through
// its socket's events and answers the negotiations, which the peer reads.
TRunResult LoopbackRun(std::string_view Stream, uint64_t DataBytes) {
    TRunResult r;
    TSession s;
    if (!s.Failure.empty()) {
        r.Failure = s.Failure;
        return r;
    }
    TSink sink;
    TStopwatch clock;
    bool done = false;
    uint64_t queued = 0;
    QEventLoop loop;
    s.Cnx.OnDataAvailable = [&](QObject*, const char* P, int N) {
        sink.Take(P, N);
        if (sink.Bytes >= DataBytes && !done) {
            clock.Stop(r);
            done = true;
            loop.quit();
        }
    };
    // Topped up whenever the chain is drained (OnDataSent), without an OnSendData handler, so
    // that the chain gathers its blocks into one send.
    const auto topUp = [&] {
        if (queued >= Stream.size()) return;
        const uint64_t chunk = std::min<uint64_t>(SendChunk, Stream.size() - queued);
        s.Peer.Send(Stream.data() + queued, static_cast<int>(chunk));
        queued += chunk;
    };
    s.Peer.OnDataSent = [&](QObject*, uint16_t) { topUp(); };
    QTimer::singleShot(RunTimeoutMs, &loop, [&] { loop.quit(); });
    clock.Start();
    topUp();
    loop.exec();
    r.Count = Stream.size();
    if (!done) r.Failure = "the stream did not arrive whole in time";
    else if (sink.Bytes != DataBytes) r.Failure = "more data arrived than was sent";
    return r;
}

// --- Rounds and summary -----------------------------------------------------------------------

TRoundFigures WallFigures, CpuFigures;  // MiB/s by case and round
bool AnyFailure = false;

void Record(const char* Name, int Round, const TRunResult& R) {
    if (!R.Failure.empty() || R.Seconds <= 0 || R.CpuSeconds <= 0) {
        std::printf("  %-34s failed: %s\n", Name, R.Failure.empty() ? "no time" : R.Failure.c_str());
        AnyFailure = true;
        return;
    }
    const double mib = static_cast<double>(R.Count) / (1024.0 * 1024.0);
    std::printf("  %-34s %10.1f MiB/s %10.1f MiB/s (CPU)\n", Name, mib / R.Seconds, mib / R.CpuSeconds);
    WallFigures.Add(Name, Round, mib / R.Seconds);
    CpuFigures.Add(Name, Round, mib / R.CpuSeconds);
}

constexpr const char* Memcpy = "memcpy, 2048-byte reads";
constexpr const char* Naive = "naive parser, byte by byte";
constexpr const char* Parser = "TTnCnx parser and delivery";
constexpr const char* RawLoopback = "loopback, raw POSIX recv";
constexpr const char* CnxLoopback = "loopback, TTnCnx whole path";

int Rounds = 7;

void PrintSummary() {
    std::printf("\nSummary: %llu MiB stream; medians over %d rounds, ratios taken within a round "
                "(min-max of the rounds' ratios)\n",
                static_cast<unsigned long long>(StreamBytes >> 20), Rounds);
    std::printf("    %-44s %10s %10s\n", "", "wall", "CPU time");
    for (const char* name : {Memcpy, Naive, Parser, RawLoopback, CnxLoopback})
        std::printf("    %-44s %10.1f %10.1f MiB/s\n", name, WallFigures.Figure(name).Median,
                    CpuFigures.Figure(name).Median);
    struct TRatio {
        const char* Label;
        const char* Key;
        const char* A;
        const char* B;
        double Goal;  // 0: none
    };
    const TRatio ratios[] = {
        {"ratio parser / memcpy", "telnet_parser_vs_memcpy", Parser, Memcpy, 0.6},
        {"ratio parser / naive parser", "telnet_parser_vs_naive", Parser, Naive, 0},
        {"ratio naive parser / memcpy", "telnet_naive_vs_memcpy", Naive, Memcpy, 0},
        {"ratio loopback TTnCnx / raw POSIX", "telnet_loopback_vs_raw", CnxLoopback, RawLoopback, 0.75},
    };
    for (const TRatio& r : ratios) {
        const TSpread cpu = CpuFigures.Ratio(r.A, r.B);
        std::printf("    %-44s %10.3f %10.3f  (%.3f-%.3f)", r.Label, WallFigures.Ratio(r.A, r.B).Median,
                    cpu.Median, cpu.Min, cpu.Max);
        if (r.Goal > 0) std::printf("   goal >= %.2f: %s", r.Goal, cpu.Median >= r.Goal ? "met" : "NOT met");
        std::printf("\n");
    }
    // One machine-readable line per ratio (CPU time), gathered by scripts/bench.
    for (const TRatio& r : ratios) PrintRatio(r.Key, CpuFigures.Ratio(r.A, r.B), r.Goal, TGoal::Higher);
}

std::string Only;  // --only: the cases whose name holds this text

bool TakeOwnFlags(int& Argc, char** Argv) {
    int kept = 1;
    for (int i = 1; i < Argc; ++i) {
        const auto number = [&](const char* Flag, long long Min, long long Max, long long& Out) {
            const std::size_t n = std::strlen(Flag);
            if (std::strncmp(Argv[i], Flag, n) != 0) return false;
            char* end = nullptr;
            Out = std::strtoll(Argv[i] + n, &end, 10);
            if (*end != '\0' || Out < Min || Out > Max) Out = -1;
            return true;
        };
        long long v;
        if (number("--mib=", 1, 4096, v)) {
            if (v < 0) return false;
            StreamBytes = static_cast<uint64_t>(v) << 20;
        } else if (number("--rounds=", 1, 1000, v)) {
            if (v < 0) return false;
            Rounds = static_cast<int>(v);
        } else if (std::strncmp(Argv[i], "--only=", 7) == 0) {
            Only = Argv[i] + 7;
        } else {
            Argv[kept++] = Argv[i];
        }
    }
    Argc = kept;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (!TakeOwnFlags(argc, argv) || argc > 1) {
        std::fprintf(stderr, "usage: %s [--mib=N] [--rounds=N] [--only=TEXT]\n", argv[0]);
        return 2;
    }
    QCoreApplication app(argc, argv);
    const std::string stream = MakeStream(StreamBytes);

    TSession session;
    if (!session.Failure.empty()) {
        std::fprintf(stderr, "bench_telnet: %s\n", session.Failure.c_str());
        return 1;
    }
    // The check: the whole stream in the component's reads, and a part of it in tiny reads and
    // in reads longer than the collect buffer.
    {
        std::string failure;
        const std::string_view part(stream.data(), std::min<std::size_t>(stream.size(), 4u << 20));
        if (!SameTranscript(session, stream, ReadSize, failure) ||
            !SameTranscript(session, part, 7, failure) || !SameTranscript(session, part, 5000, failure)) {
            std::fprintf(stderr, "bench_telnet: the parser and the naive parser disagree: %s\n",
                         failure.c_str());
            return 1;
        }
    }
    uint64_t dataBytes = 0;
    {
        TNaiveTelnet counter;
        counter.OnData = [&](const char*, int N) { dataBytes += static_cast<uint64_t>(N); };
        for (std::size_t i = 0; i < stream.size(); i += ReadSize)
            counter.Read(reinterpret_cast<const uint8_t*>(stream.data() + i),
                         static_cast<int>(std::min<std::size_t>(ReadSize, stream.size() - i)));
    }
    std::printf("stream: %llu bytes, %llu of them data; transcripts of both parsers agree\n",
                static_cast<unsigned long long>(stream.size()),
                static_cast<unsigned long long>(dataBytes));

    struct TStep {
        const char* Name;
        std::function<TRunResult()> Run;
    };
    // The two sides of each ratio run next to each other; replies go out, and the socket's
    // notifications are served, before the next case.
    const std::vector<TStep> steps = {
        {Memcpy, [&] { return MemcpyRun(stream); }},
        {Parser, [&] { const TRunResult r = ParserRun(session, stream); Settle(); return r; }},
        {Naive, [&] { const TRunResult r = NaiveRun(session, stream); Settle(); return r; }},
        {RawLoopback, [&] { return RawStream(stream.size(), SendChunk, ReadSize); }},
        {CnxLoopback, [&] { return LoopbackRun(stream, dataBytes); }},
    };
    for (int round = 0; round < Rounds; ++round) {
        std::printf("round %d\n", round + 1);
        for (const TStep& step : RoundOrder(steps, round))
            if (std::string(step.Name).find(Only) != std::string::npos)
                Record(step.Name, round, step.Run());
    }
    PrintSummary();
    return AnyFailure ? 1 : 0;
}
