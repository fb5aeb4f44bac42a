// Connection attempts to several addresses of one peer (Happy Eyeballs, RFC 8305): the first
// address is tried at once, each further one when the attempts before it have not answered
// within the attempt delay or have all failed. The first attempt to connect wins; the others are
// closed without a word. The owner sees one connection attempt: one FD_CONNECT, either the
// winner's or, when every address failed, the last one's with its error.
#include "winsock_binding.h"
#include "wsocket.h"

#include <QTimer>

using namespace winsock;

namespace {
// RFC 8305, section 5: the recommended connection attempt delay.
constexpr int AttemptDelayMs = 250;

void closeQuietly(SOCKET s) {
    const int err = WS(WSAGetLastError)();
    WS(closesocket)(s);
    WS(WSASetLastError)(err);
}
}  // namespace

bool TCustomWSocket::IsRaceAttempt(SOCKET H) const {
    for (const auto& a : RaceAttempts)
        if (a.Handle == H) return true;
    return false;
}

void TCustomWSocket::ArmRaceTimer() {
    if (!RaceTimer) {
        RaceTimer = new QTimer(this);
        RaceTimer->setSingleShot(true);
        RaceTimer->setTimerType(Qt::PreciseTimer);  // never before the delay is over
        QObject::connect(RaceTimer, &QTimer::timeout, this, [this] {
            // A frame, as for any event of this socket: a handler may release it.
            TFrame frame(*this);
            if (State_ == wsConnecting && Handle != INVALID_SOCKET) StartNextAttempt();
        });
    }
    RaceTimer->start(AttemptDelayMs);
}

// A further attempt with the settings of the first one (see Connect, steps 7 to 14): its own
// failures only end this attempt. Returns 0 and the new handle, or the Windows error.
int TCustomWSocket::OpenAttempt(const TSocketAddress& Target, SOCKET& Out) {
    Out = WS(socket)(Target.Family(), SOCK_STREAM, Protocol);
    if (Out == INVALID_SOCKET) return WS(WSAGetLastError)();
    const int on = -1;
    const auto setOption = [&](int Level, int Name) {
        return WS(setsockopt)(Out, Level, Name, reinterpret_cast<const char*>(&on), sizeof on) == 0;
    };
    const linger l{static_cast<u_short>(LingerOnOff_), static_cast<u_short>(LingerTimeout_)};
    bool ok = setOption(SOL_SOCKET, SO_REUSEADDR) &&
              (!ComponentOptions_.Contains(wsoTcpNoDelay) || setOption(IPPROTO_TCP, TCP_NODELAY)) &&
              (LingerOnOff_ == wsLingerNoSet ||
               WS(setsockopt)(Out, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l),
                              sizeof l) == 0) &&
              setOption(SOL_SOCKET, SO_KEEPALIVE) &&
              WS(WSAAsyncSelect)(Out, WindowHandle, WM_SOCKET_SELECT, EventMask) == 0;
    if (ok && WS(connect)(Out, Target.Record(), Target.RecordLength()) == SOCKET_ERROR)
        ok = WS(WSAGetLastError)() == WSAEWOULDBLOCK;
    if (ok) return 0;
    const int err = WS(WSAGetLastError)();
    closeQuietly(Out);
    Out = INVALID_SOCKET;
    return err;
}

// Starts the next address that can be tried; the delay runs again while more are left.
void TCustomWSocket::StartNextAttempt() {
    while (!PeerAddresses.empty()) {
        TSocketAddress target = PeerAddresses.front();
        PeerAddresses.erase(PeerAddresses.begin());
        target.SetPort(WS(ntohs)(PeerAddress.sin_port));
        SOCKET attempt;
        if (OpenAttempt(target, attempt) != 0) continue;
        RaceAttempts.push_back({attempt, target});
        if (!PeerAddresses.empty()) ArmRaceTimer();
        return;
    }
}

bool TCustomWSocket::SettleAttempt(TMessage& Msg) {
    const SOCKET h = Msg.WParam;
    const bool failed = WSAGETSELECTERROR(Msg.LParam) != 0;
    if (!failed) {
        // The winner: every other attempt ends here, unseen.
        if (h != Handle) {
            closeQuietly(Handle);
            for (const auto& a : RaceAttempts)
                if (a.Handle == h) AdoptAttempt(a);
        }
        EndRace();
        return true;
    }
    if (h == Handle && RaceAttempts.empty()) {
        // Nothing else in flight: the next address at once (RFC 8305, section 5).
        StartNextAttempt();
        // None could be started: this failure is the last, and the owner's.
        if (RaceAttempts.empty()) return true;
    }
    if (h == Handle) {
        closeQuietly(Handle);
        AdoptAttempt(RaceAttempts.front());
        RaceAttempts.erase(RaceAttempts.begin());
        return false;
    }
    for (auto it = RaceAttempts.begin(); it != RaceAttempts.end(); ++it) {
        if (it->Handle != h) continue;
        closeQuietly(h);
        RaceAttempts.erase(it);
        break;
    }
    if (RaceAttempts.empty() && !PeerAddresses.empty()) {
        // Handle still waits; the next address need not wait for the delay.
        StartNextAttempt();
    }
    return false;
}

// The attempt becomes the connection: Handle, and the peer address it was made to.
void TCustomWSocket::AdoptAttempt(const TRaceAttempt& Attempt) {
    Handle = Attempt.Handle;
    AddressFamily = Attempt.Target.Family();
    if (AddressFamily == AF_INET6)
        PeerAddress6 = reinterpret_cast<const sockaddr_in6*>(Attempt.Target.Record())->sin6_addr;
    else
        PeerAddress.sin_addr = Attempt.Target.AsV4().sin_addr;
}

void TCustomWSocket::EndRace() {
    for (const auto& a : RaceAttempts)
        if (a.Handle != Handle) closeQuietly(a.Handle);
    RaceAttempts.clear();
    PeerAddresses.clear();
    if (RaceTimer) RaceTimer->stop();
}
