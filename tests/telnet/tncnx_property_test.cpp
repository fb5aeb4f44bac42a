// Random telnet streams from a peer on 127.0.0.1 (data, doubled IACs, end-of-record marks and
// negotiations, in random segments, some ending in an urgent byte, then the end) against
// handlers that at random run a nested event loop, destroy the component or throw (also after a
// nested loop). Every data byte reaches the owner once and in order, every record mark is
// reported, and a destroyed component leaves nothing behind; a handler that throws in the middle
// of a parse costs at most the rest of that read, and nothing it held back changes its order.
// A failing run prints its seed; KORVEL_SEED=n replays it, KORVEL_RUNS=n runs more.
#include "tncnx.h"

#include "event_loop.h"
#include "posix_peer.h"
#include "test_seed.h"

#include "socket_exception.h"

#include <gtest/gtest.h>

#include <QEventLoop>
#include <QPointer>
#include <QTimer>

#include <sys/socket.h>

#include <algorithm>
#include <iterator>
#include <random>

namespace {

constexpr char IAC = char(255), EOR = char(239), SB = char(250), SE = char(240);

// The data bytes of a run whose handlers throw: printable, apart from every byte of a command
// and an option, so that a command cut in two by a lost read leaves nothing that looks like data.
bool Printable(char C) { return C >= 32 && C < 127; }

class TelnetSequence {
public:
    explicit TelnetSequence(unsigned Seed) : Rng(Seed) {}

    std::string Go() {
        Throwing = Pick(3) == 0;
        MakeStream();
        Cnx = new TTnCnx;
        const QPointer<TTnCnx> alive(Cnx);
        Cnx->SetHost("127.0.0.1");
        Cnx->SetPort(std::to_string(Listener.Port()));
        Cnx->OnDataAvailable = [this](QObject*, const char* Chunk, int Len) {
            if (Chunk[Len] != 0) Failures += "chunk not terminated; ";
            Got.append(Chunk, static_cast<size_t>(Len));
            Handler(true);
        };
        Cnx->OnEndOfRecord = [this](QObject*) {
            ++Records;
            Handler(true);
        };
        Cnx->OnLocalEcho = [this](QObject*) { Handler(true); };
        Cnx->OnSessionConnected = [this](QObject*, uint16_t) { Handler(false); };
        Cnx->OnSessionClosed = [this](QObject*, uint16_t) {
            Closed = true;
            Handler(false);
        };
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
                // Now and then the segment's last byte goes as urgent data: it stays in the stream.
                const bool urgent = n > 1 && Pick(15) == 0;
                const ssize_t k =
                    ::send(fd, Stream.data() + sent, urgent ? n - 1 : n, MSG_NOSIGNAL | MSG_DONTWAIT);
                if (k > 0) sent += static_cast<size_t>(k);
                if (urgent && k == static_cast<ssize_t>(n - 1) &&
                    ::send(fd, Stream.data() + sent, 1, MSG_OOB | MSG_NOSIGNAL | MSG_DONTWAIT) == 1) {
                    ++sent;
                    Urgent = " (the peer sent urgent bytes: they stay in the stream)";
                }
            } else if (sent == Stream.size() && !ended) {
                ::shutdown(fd, SHUT_WR);
                ended = true;
            }
            QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
        }
        peer::Close(fd);
        if (alive) {
            if (!Closed)
                Failures += "stalled before the end of the stream (" + Counts(Got, Data) + ")" +
                            (ParseThrows ? " after a handler threw" : "") + Urgent + "; ";
            CheckData(Aborted);
            if (Records > ExpectedRecords || (ParseThrows == 0 && !Aborted && Records != ExpectedRecords))
                Failures += "record marks lost or doubled; ";
            delete Cnx;
        } else {
            CheckData(true);
        }
        QCoreApplication::processEvents();  // a socket released after the destruction goes now
        return Failures;
    }

private:
    int Pick(int N) { return static_cast<int>(Rng() % static_cast<unsigned>(N)); }
    static std::string Counts(const std::string& Got, const std::string& Data) {
        return std::to_string(Got.size()) + " of " + std::to_string(Data.size()) + " data bytes";
    }

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
                for (char& c : run) c = static_cast<char>(Throwing ? 32 + Pick(95) : Pick(255));
                Stream += run;
                Data += run;
            }
            }
        }
    }

    // What the owner got is what was sent, in order. A handler that threw in the middle of a
    // parse may cost the rest of that read, no more: a read held back while a handler ran the
    // event loop still comes, in its place.
    void CheckData(bool Destroyed) {
        if (ParseThrows == 0) {
            if (!Destroyed && Got != Data)
                Failures += "data lost, doubled or out of order (" + Counts(Got, Data) + ")" + Urgent + "; ";
            if (Destroyed && Got != Data.substr(0, Got.size()))
                Failures += "data out of order before the component was destroyed; ";
            return;
        }
        std::string got, data;
        std::copy_if(Got.begin(), Got.end(), std::back_inserter(got), Printable);
        std::copy_if(Data.begin(), Data.end(), std::back_inserter(data), Printable);
        size_t at = 0;
        for (char c : got) {
            at = data.find(c, at);
            if (at == std::string::npos) break;
            ++at;
        }
        if (at == std::string::npos)
            Failures += "data out of order or doubled after a handler threw (held reads must keep "
                        "their place); ";
        else if (!Destroyed && data.size() - got.size() > size_t(TTnCnx::ReadSize) * ParseThrows)
            Failures += "a handler that threw lost more than the rest of its read (" + Counts(got, data) +
                        "); ";
    }

    // Parse: the handler was called from the middle of a parse. A throw from outside a parse
    // (the connect or close report) aborts the connection: what came before it is all there is.
    void Handler(bool Parse) {
        const int choice = Pick(Throwing ? 12 : 40);
        if (choice == 0 || choice == 2) {
            QEventLoop loop;
            QTimer::singleShot(1 + Pick(3), &loop, &QEventLoop::quit);
            loop.exec();
        }
        if (choice == 1 && Pick(4) == 0) {
            delete Cnx;  // from inside its own handler
            return;
        }
        if (Throwing && (choice == 2 || choice == 3)) {
            ParseThrows += Parse;
            Aborted = Aborted || !Parse;
            throw ESocketException("thrown by the owner's handler");
        }
    }

    std::mt19937 Rng;
    PosixListener Listener;
    TTnCnx* Cnx = nullptr;
    std::string Stream, Data, Got, Failures, Urgent;
    int ExpectedRecords = 0, Records = 0, ParseThrows = 0;
    bool Closed = false, Throwing = false, Aborted = false;
};

TEST(TelnetProperty, EveryByteAndRecordMarkOnceInOrderWhateverTheHandlersDo) {
    for (const uint32_t seed : SequenceSeeds(2000, 100))
        ASSERT_EQ(TelnetSequence(seed).Go(), "") << "replay with KORVEL_SEED=" << seed;
}

}  // namespace
