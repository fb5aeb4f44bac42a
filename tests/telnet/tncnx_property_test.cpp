// Random telnet streams from a peer on 127.0.0.1 (data, doubled IACs, end-of-record marks and
// negotiations, in random segments, then the end) against handlers that at random run a nested
// event loop or destroy the component. Every data byte reaches the owner once and in order, every
// record mark is reported, and a destroyed component leaves nothing behind. A failing run prints
// its seed; KORVEL_SEED=n replays it, KORVEL_RUNS=n runs more.
#include "tncnx.h"

#include "event_loop.h"
#include "posix_peer.h"
#include "test_seed.h"

#include <gtest/gtest.h>

#include <QEventLoop>
#include <QPointer>
#include <QTimer>

#include <sys/socket.h>

#include <random>

namespace {

constexpr char IAC = char(255), EOR = char(239), SB = char(250), SE = char(240);

class TelnetSequence {
public:
    explicit TelnetSequence(unsigned Seed) : Rng(Seed) {}

    std::string Go() {
        MakeStream();
        Cnx = new TTnCnx;
        const QPointer<TTnCnx> alive(Cnx);
        Cnx->SetHost("127.0.0.1");
        Cnx->SetPort(std::to_string(Listener.Port()));
        Cnx->OnDataAvailable = [this](QObject*, const char* Chunk, int Len) {
            if (Chunk[Len] != 0) Failures += "chunk not terminated; ";
            Got.append(Chunk, static_cast<size_t>(Len));
            Handler();
        };
        Cnx->OnEndOfRecord = [this](QObject*) {
            ++Records;
            Handler();
        };
        Cnx->OnLocalEcho = [this](QObject*) { Handler(); };
        Cnx->OnSessionClosed = [this](QObject*, uint16_t) { Closed = true; };
        Cnx->Connect();
        const int fd = Listener.Accept();
        size_t sent = 0;
        bool ended = false;
        QDeadlineTimer deadline(4000);
        while (alive && !Closed && !deadline.hasExpired()) {
            std::string sink;
            while (peer::RecvNow(fd, sink) > 0) sink.clear();  // the negotiation replies
            if (sent < Stream.size() && Pick(2) == 0) {
                const size_t n = std::min(Stream.size() - sent, size_t(1 + Pick(3000)));
                const ssize_t k = ::send(fd, Stream.data() + sent, n, MSG_NOSIGNAL | MSG_DONTWAIT);
                if (k > 0) sent += static_cast<size_t>(k);
            } else if (sent == Stream.size() && !ended) {
                ::shutdown(fd, SHUT_WR);
                ended = true;
            }
            QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
        }
        peer::Close(fd);
        if (alive) {
            if (!Closed) Failures += "stalled before the end of the stream; ";
            if (Got != Data) Failures += "data lost, doubled or out of order (" + std::to_string(Got.size()) + " of " + std::to_string(Data.size()) + "); ";
            if (Records != ExpectedRecords) Failures += "record marks lost or doubled; ";
            delete Cnx;
        } else if (Got != Data.substr(0, Got.size())) {
            Failures += "data out of order before the component was destroyed; ";
        }
        QCoreApplication::processEvents();  // a socket released after the destruction goes now
        return Failures;
    }

private:
    int Pick(int N) { return static_cast<int>(Rng() % static_cast<unsigned>(N)); }

    // A stream of data runs, doubled IACs, record marks, negotiations and a terminal-type query.
    void MakeStream() {
        const int pieces = Pick(80);
        for (int i = 0; i < pieces; ++i) {
            switch (Pick(6)) {
            case 0: Stream += {IAC, IAC}; Data += IAC; break;
            case 1: Stream += {IAC, EOR}; ++ExpectedRecords; break;
            case 2: Stream += {IAC, char(251 + Pick(4)), char(Pick(30))}; break;
            case 3: Stream += {IAC, SB, char(24), char(1), IAC, SE}; break;
            default: {
                std::string run(static_cast<size_t>(Pick(3000)), '\0');
                for (char& c : run) c = static_cast<char>(Pick(255));
                Stream += run;
                Data += run;
            }
            }
        }
    }

    void Handler() {
        switch (Pick(40)) {
        case 0: {
            QEventLoop loop;
            QTimer::singleShot(1 + Pick(3), &loop, &QEventLoop::quit);
            loop.exec();
            break;
        }
        case 1:
            if (Pick(4) == 0) delete Cnx;  // from inside its own handler
            break;
        default: break;
        }
    }

    std::mt19937 Rng;
    PosixListener Listener;
    TTnCnx* Cnx = nullptr;
    std::string Stream, Data, Got, Failures;
    int ExpectedRecords = 0, Records = 0;
    bool Closed = false;
};

TEST(TelnetProperty, EveryByteAndRecordMarkOnceInOrderWhateverTheHandlersDo) {
    for (const uint32_t seed : SequenceSeeds(2000, 100))
        ASSERT_EQ(TelnetSequence(seed).Go(), "") << "replay with KORVEL_SEED=" << seed;
}

}  // namespace
