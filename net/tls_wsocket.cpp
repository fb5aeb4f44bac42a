// The TLS layer. The session (tls_session) works on memory buffers; this layer moves its bytes:
// what the platform delivers goes into the session, what the session writes goes out through
// the platform, and the owner only ever sees plain text.
//
//   connected (or the tunnel stands) -> [handshake] -> certificate accepted -> OnSessionConnected(0)
//                                                   \-> OnSessionConnected(code) -> close
//
// Sending: the send chain stays the owner's plain text. The layer encrypts a piece from the head
// of the chain and reports it sent (to the chain: the count the platform took) only once all its
// ciphertext has left. Until then the chain keeps those bytes, so OnSendData and OnDataSent mean
// what they mean on a plain socket, and a connection ended meanwhile never delivers a byte the
// owner was not told of (a record cut short cannot be read by the peer).
//
// Receiving: reads decrypt straight into the reader's buffer; RcvdCount decrypts ahead into a
// buffer of this layer, so that the count it gives is what the next read returns. What the
// layer holds counts as pending to the receive loop, which therefore offers it before a close.
#include "tls_wsocket.h"

#include "socket_exception.h"
#include "text_util.h"
#include "winsock_binding.h"

#include <algorithm>
#include <cstring>
#include <utility>

using namespace winsock;

namespace {
// The most plain text encrypted per gathering send: four records.
constexpr int MaxPlainPerSend = 4 * 16384;
// One platform read into the session.
constexpr int CipherReadSize = 64 * 1024;
// The most RcvdCount decrypts ahead of the reader.
constexpr size_t MaxPlainAhead = 64 * 1024;

// The first byte of a TLS record from a server: a handshake message or an alert.
bool LooksLikeTls(char First) { return First == 0x16 || First == 0x15; }
}  // namespace

TCustomTlsWSocket::~TCustomTlsWSocket() = default;

void TCustomTlsWSocket::SetTls(bool Value) {
    if (State_ != wsClosed) return ReportError("Can't change TLS if not closed");
    Tls_ = Value;
}

void TCustomTlsWSocket::ResetSession() {
    Session.reset();
    CipherOut.clear();
    CipherOutPos = 0;
    CipherPlain = 0;
    PlainIn.clear();
    PlainInPos = 0;
    AnyByteSeen = false;
    EndPosted = false;
    TlsCertificate_ = {};
}

void TCustomTlsWSocket::ResetToDefaults() {
    TCustomSocksWSocket::ResetToDefaults();
    ResetSession();
    TlsState = tlsOff;
    Serving = false;
}

void TCustomTlsWSocket::Connect() {
    // A socket in use is refused by the plain Connect, before anything here is touched.
    if (Handle != INVALID_SOCKET && State_ != wsClosed) return TCustomSocksWSocket::Connect();
    if (Tls_ && LowerCase(ProtoText) != "tcp") return ReportError("TLS needs a tcp connection");
    // The state of an earlier session is none of this one's (a Connect from OnSessionClosed
    // comes before the close has reset anything).
    ResetSession();
    TlsState = Tls_ ? tlsWaiting : tlsOff;
    Serving = false;
    TCustomSocksWSocket::Connect();
}

// --- The handshake ------------------------------------------------------------------------

void TCustomTlsWSocket::FireSessionConnected(uint16_t Error) {
    // A failed connect, the proxy's own connection (its handshake comes first), or no TLS.
    if (TlsState != tlsWaiting || Error != 0 || SocksNegotiating())
        return TCustomSocksWSocket::FireSessionConnected(Error);
    StartHandshake();
}

void TCustomTlsWSocket::StartHandshake() {
    TlsState = tlsHandshake;
    LastTlsFailure_ = {};
    Session = Serving ? std::make_unique<TTlsSession>(*TlsServer_)
                      : std::make_unique<TTlsSession>(TlsHostName_.empty() ? AddrText : TlsHostName_);
    AdvanceHandshake();
}

// A connection accepted by a TLS server: the client speaks first, the owner's bytes wait.
void TCustomTlsWSocket::DupDone() {
    TCustomSocksWSocket::DupDone();
    ResetSession();
    Serving = TlsServer_ != nullptr;
    TlsState = Serving ? tlsHandshake : tlsOff;
    if (Serving) StartHandshake();
}

void TCustomTlsWSocket::AdvanceHandshake() {
    const TTlsSession::TStep step = Session->Handshake();
    Session->TakeOutgoing(CipherOut);
    const int sendError = FlushCipher();
    if (sendError != 0 && sendError != WSAEWOULDBLOCK)
        return FailTls(TlsErrClosed, "The connection broke during the TLS handshake.");
    switch (step) {
    case TTlsSession::TStep::WantMore: return;
    case TTlsSession::TStep::Failed:
        LastTlsFailure_.Detail = Session->LastLibraryError();
        return FailTls(TlsErrHandshake,
                       "The server refused the secure connection (no TLS version or cipher both "
                       "sides accept, or it rejected this client).");
    case TTlsSession::TStep::Done: return HandshakeDone();
    }
}

void TCustomTlsWSocket::HandshakeDone() {
    TTlsCertificate certificate = Session->PeerCertificate();
    if (!Serving && !Session->Verified() &&
        (TlsTrustedFingerprint_.empty() || TlsTrustedFingerprint_ != certificate.Fingerprint)) {
        LastTlsFailure_.Certificate = certificate;
        return FailTls(TlsErrUntrusted, Session->VerifyReason());
    }
    TlsState = tlsUp;
    TlsCertificate_ = std::move(certificate);
    LastTlsFailure_ = {};
    const SOCKET connection = Handle;
    // An accepted connection has no connect to report.
    if (!Serving) TCustomSocksWSocket::FireSessionConnected(0);
    if (Handle != connection) return;  // closed or replaced by the handler
    // The owner's first OnDataSent, as a plain connection gives it once it stands; it also
    // sends what the owner queued meanwhile.
    PostOwnNotification(FD_WRITE);
    // Text that came with the server's last handshake flight: no platform notice comes for it.
    if (Buffered()) PostOwnNotification(FD_READ);
}

// The attempt ends as every failed one does: OnSessionConnected with the code, then the close.
void TCustomTlsWSocket::FailTls(uint16_t Code, const std::string& Reason) {
    LastTlsFailure_.Code = Code;
    LastTlsFailure_.Reason = Reason;
    TlsState = tlsFailed;
    const SOCKET connection = Handle;
    if (!Serving) TCustomSocksWSocket::FireSessionConnected(Code);
    // A handler that closed the socket, or started another attempt, has dealt with this one.
    if (Handle == connection && State_ != wsClosed) DoClose(true, Code);
}

bool TCustomTlsWSocket::FireDataAvailable(uint16_t Error) {
    if (SocksNegotiating() || TlsState == tlsOff || TlsState == tlsWaiting)
        return TCustomSocksWSocket::FireDataAvailable(Error);
    // A standing session: the owner reads through RecvRaw. Bytes that do not yet make a whole
    // record give it nothing to read, as a spare notification does on a plain socket.
    if (TlsState == tlsUp) return TCustomSocksWSocket::FireDataAvailable(Error);
    if (TlsState != tlsHandshake) return true;
    if (Error != 0) {
        FailTls(TlsErrClosed, "The connection broke during the TLS handshake.");
        return true;
    }
    const SOCKET connection = Handle;
    while (Handle == connection && TlsState == tlsHandshake) {
        const int before = Session->IncomingBuffered();
        if (PullCipher() <= 0) return true;
        // A plain server speaks first or answers the greeting with text of its own.
        if (!std::exchange(AnyByteSeen, true) && before == 0 && !LooksLikeTls(CipherIn[0])) {
            FailTls(TlsErrNotTls, "The server did not answer with TLS.");
            return true;
        }
        AdvanceHandshake();
    }
    return true;
}

// The connection ended under the handshake: the attempt failed, and the owner hears so before
// the close. A close the owner made itself (the state is closed by then) is no failure.
void TCustomTlsWSocket::FireSessionClosed(uint16_t Error) {
    if (TlsState == tlsHandshake && !SocksNegotiating() && State_ == wsConnected && !Serving) {
        const SOCKET connection = Handle;
        LastTlsFailure_.Code = TlsErrClosed;
        LastTlsFailure_.Reason = Error != 0 ? "The connection broke during the TLS handshake."
                                            : "The server closed the connection during the TLS "
                                              "handshake.";
        TlsState = tlsFailed;
        TCustomSocksWSocket::FireSessionConnected(TlsErrClosed);
        // The handler started another attempt: this close is no event of that one.
        if (Handle != connection && Handle != INVALID_SOCKET) return;
        Error = TlsErrClosed;
    }
    TCustomSocksWSocket::FireSessionClosed(Error);
}

// The handshake's bytes are none of the owner's business.
void TCustomTlsWSocket::FireDataSent(uint16_t Error) {
    if (TlsState == tlsHandshake || TlsState == tlsFailed) return;
    TCustomSocksWSocket::FireDataSent(Error);
}

void TCustomTlsWSocket::FireSendData(int Count) {
    if (TlsState == tlsHandshake || TlsState == tlsFailed) return;
    TCustomSocksWSocket::FireSendData(Count);
}

// --- Receiving ----------------------------------------------------------------------------

int TCustomTlsWSocket::PullCipher() {
    if (CipherIn.size() < CipherReadSize) CipherIn.resize(CipherReadSize);
    const int n = TCustomSocksWSocket::RecvRaw(CipherIn.data(), CipherReadSize, 0);
    if (n > 0) Session->PutIncoming(CipherIn.data(), n);
    return n;
}

bool TCustomTlsWSocket::Buffered() const {
    return TlsState == tlsUp && Session &&
           (PlainInPos < PlainIn.size() || Session->PlainBuffered() > 0 ||
            Session->IncomingBuffered() > 0);
}

// The server ended the session (its close alert) or broke it (a record that fails its check):
// the close is reported from the message loop, as the platform reports a peer's close, and never
// from inside the read that found it.
void TCustomTlsWSocket::PeerEnded(uint16_t Error) {
    if (std::exchange(EndPosted, true)) return;
    msgwindow::PostMessage(WindowHandle, WM_SOCKET_SELECT, Handle, WSAMAKESELECTREPLY(FD_CLOSE, Error));
}

int TCustomTlsWSocket::RecvRaw(void* Buffer, int Len, int Flags) {
    if (TlsState == tlsOff || TlsState == tlsWaiting || SocksNegotiating())
        return TCustomSocksWSocket::RecvRaw(Buffer, Len, Flags);
    if (TlsState != tlsUp) {  // the handshake's bytes are not the owner's
        WS(WSASetLastError)(WSAEWOULDBLOCK);
        return -1;
    }
    if (Len <= 0) return 0;
    auto* out = static_cast<char*>(Buffer);
    int got = 0;
    if (PlainInPos < PlainIn.size()) {
        got = static_cast<int>(std::min(PlainIn.size() - PlainInPos, static_cast<size_t>(Len)));
        std::memcpy(out, PlainIn.data() + PlainInPos, static_cast<size_t>(got));
        PlainInPos += static_cast<size_t>(got);
        if (PlainInPos == PlainIn.size()) PlainIn.clear(), PlainInPos = 0;
    }
    int error = WSAEWOULDBLOCK;
    bool ended = false;
    while (got < Len) {
        int n = 0;
        const TTlsSession::TRead r = Session->Read(out + got, Len - got, n);
        if (r == TTlsSession::TRead::Data) {
            got += n;
            continue;
        }
        if (r == TTlsSession::TRead::WantMore) {
            const int pulled = PullCipher();
            if (pulled > 0) continue;
            // The platform's end of stream ends the stream here too, close alert or not.
            if (pulled == 0) ended = true;
            else error = WS(WSAGetLastError)();
            break;
        }
        if (r == TTlsSession::TRead::Closed) {
            PeerEnded(0);
            ended = true;
        } else {
            PeerEnded(TlsErrBroken);
            error = WSAECONNABORTED;
        }
        break;
    }
    if (got > 0) {
        // Left behind for a reader with a small buffer: it hears again, as from a recv that
        // leaves bytes behind.
        if (Buffered()) PostOwnNotification(FD_READ);
        return got;
    }
    if (ended) return 0;
    WS(WSASetLastError)(error);
    return -1;
}

void TCustomTlsWSocket::FillPlain() {
    if (PlainInPos > 0) PlainIn.erase(0, std::exchange(PlainInPos, 0));
    while (PlainIn.size() < MaxPlainAhead) {
        const size_t at = PlainIn.size();
        PlainIn.resize(MaxPlainAhead);
        int n = 0;
        const TTlsSession::TRead r =
            Session->Read(PlainIn.data() + at, static_cast<int>(MaxPlainAhead - at), n);
        PlainIn.resize(at + static_cast<size_t>(n));
        if (r == TTlsSession::TRead::Data) continue;
        if (r == TTlsSession::TRead::WantMore && PullCipher() > 0) continue;
        if (r == TTlsSession::TRead::Closed) PeerEnded(0);
        if (r == TTlsSession::TRead::Failed) PeerEnded(TlsErrBroken);
        return;
    }
}

int TCustomTlsWSocket::GetRcvdCount() {
    if (TlsState == tlsOff || TlsState == tlsWaiting || SocksNegotiating())
        return TCustomSocksWSocket::GetRcvdCount();
    if (TlsState != tlsUp) return 0;
    FillPlain();
    return static_cast<int>(PlainIn.size() - PlainInPos);
}

int TCustomTlsWSocket::AnyPending(winsock::u_long& Pending) {
    if (Buffered()) {
        Pending = 1;
        return 0;
    }
    return TCustomSocksWSocket::AnyPending(Pending);
}

int TCustomTlsWSocket::Resume() {
    const int result = TCustomSocksWSocket::Resume();
    // What this layer holds is here already: no platform notice comes for it.
    if (Buffered()) PostOwnNotification(FD_READ);
    return result;
}

// --- Sending ------------------------------------------------------------------------------

int TCustomTlsWSocket::FlushCipher() {
    while (CipherOutPos < CipherOut.size()) {
        // Urgent data has no meaning inside a TLS stream: every byte goes as normal data.
        const int n = WS(send)(Handle, CipherOut.data() + CipherOutPos,
                               static_cast<int>(CipherOut.size() - CipherOutPos), 0);
        if (n < 0) return WS(WSAGetLastError)();
        if (n == 0) return WSAEWOULDBLOCK;
        CipherOutPos += static_cast<size_t>(n);
    }
    CipherOut.clear();
    CipherOutPos = 0;
    return 0;
}

// Takes the pieces in turn, as far as the platform takes their ciphertext without blocking:
// the count it returns is the plain text whose ciphertext has left, and it stops short only
// where the platform would block (its FD_WRITE then resumes the drain).
int TCustomTlsWSocket::TransmitPlain(const WSABUF* Pieces, int Count) {
    int piece = 0, offset = 0;  // where the plain text not yet encrypted starts
    const auto advance = [&](int Bytes) {
        while (Bytes > 0 && piece < Count) {
            const int step = std::min(Bytes, static_cast<int>(Pieces[piece].len) - offset);
            Bytes -= step;
            offset += step;
            if (offset == static_cast<int>(Pieces[piece].len)) ++piece, offset = 0;
        }
    };
    advance(CipherPlain);  // encrypted by an earlier call, its ciphertext not all out yet
    int committed = 0, error = 0;
    for (;;) {
        if (CipherPlain == 0) {
            // Bytes the session wrote on its own (an answer to the server's key update, say)
            // go first; then the next piece of plain text is encrypted.
            if ((error = FlushCipher()) != 0) break;
            while (piece < Count && CipherPlain < MaxPlainPerSend) {
                const int take = std::min(static_cast<int>(Pieces[piece].len) - offset, MaxPlainPerSend - CipherPlain);
                if (!Session->Write(Pieces[piece].buf + offset, take)) {
                    error = WSAECONNABORTED;
                    break;
                }
                CipherPlain += take;
                advance(take);
            }
            Session->TakeOutgoing(CipherOut);
            if (error != 0 || CipherPlain == 0) break;
        }
        if ((error = FlushCipher()) != 0) break;
        committed += std::exchange(CipherPlain, 0);
    }
    if (committed > 0 || error == 0) return committed;
    WS(WSASetLastError)(error);
    return -1;
}

int TCustomTlsWSocket::RawTransmit(const void* Data, int Len) {
    if (TlsState == tlsOff || TlsState == tlsWaiting || SocksNegotiating())
        return TCustomSocksWSocket::RawTransmit(Data, Len);
    if (TlsState != tlsUp) {  // queued until the session stands
        WS(WSASetLastError)(WSAEWOULDBLOCK);
        return -1;
    }
    const WSABUF piece{static_cast<winsock::u_long>(Len), const_cast<char*>(static_cast<const char*>(Data))};
    return TransmitPlain(&piece, 1);
}

int TCustomTlsWSocket::RawSendBlocks(const WSABUF* Pieces, int Count) {
    if (TlsState == tlsOff || TlsState == tlsWaiting || SocksNegotiating())
        return TCustomSocksWSocket::RawSendBlocks(Pieces, Count);
    if (TlsState != tlsUp) {
        WS(WSASetLastError)(WSAEWOULDBLOCK);
        return -1;
    }
    return TransmitPlain(Pieces, Count);
}

void TCustomTlsWSocket::HandleWriteEvent(TMessage& Msg) {
    if (TlsState == tlsHandshake || TlsState == tlsFailed) {
        const int error = FlushCipher();
        if (error != 0 && error != WSAEWOULDBLOCK && TlsState == tlsHandshake)
            FailTls(TlsErrClosed, "The connection broke during the TLS handshake.");
        return;
    }
    TCustomSocksWSocket::HandleWriteEvent(Msg);
}

// A close of a standing session tells the server with the close alert, unless a record of the
// owner's is cut short (it was never reported sent, and the peer could not read the alert).
void TCustomTlsWSocket::DoClose(bool ShutFirst, uint16_t Error) {
    if (ShutFirst && TlsState == tlsUp && Session && CipherPlain == 0 && Handle != INVALID_SOCKET &&
        State_ != wsClosed) {
        Session->Shutdown();
        Session->TakeOutgoing(CipherOut);
        FlushCipher();
    }
    TCustomSocksWSocket::DoClose(ShutFirst, Error);
}
