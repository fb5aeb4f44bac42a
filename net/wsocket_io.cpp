// Event dispatch, receiving, the send chain, sending and closing.
//
// Every event handler may close the socket, abort it, start a new connection on it or send from
// inside the event. So each step that follows a handler call first checks that Handle still
// names the connection it was working for (handles are never reused), and leaves whatever
// belongs to another connection alone.
#include "flag_scope.h"
#include "socket_exception.h"
#include "winsock_binding.h"
#include "wsocket.h"

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <utility>

using namespace winsock;

namespace {
uint16_t selectError(const TMessage& Msg) { return WSAGETSELECTERROR(Msg.LParam); }

// How long one notification may keep calling the data handler while a peer keeps sending. Long
// enough that a yield (one turn of the event loop) costs next to nothing against it, short
// enough that timers, typed keys and repaints wait at most this long under a flood. Time rather
// than bytes, because what a handler does with a byte varies by orders of magnitude (a
// protocol parser against a text view that lays out every line).
constexpr std::chrono::milliseconds ReceiveSlice{20};
}  // namespace

void TCustomWSocket::HandleConnectEvent(TMessage& Msg) {
    if (State_ == wsConnected) return;
    const uint16_t err = selectError(Msg);
    const SOCKET connection = Handle;
    ChangeState(wsConnected);
    FireSessionConnected(err);
    // A failed attempt passes through wsConnected, is reported, then closed; a handler that
    // closed it or started another connection has dealt with it.
    if (err != 0 && Handle == connection && State_ != wsClosed) Close();
}

void TCustomWSocket::HandleReadEvent(TMessage& Msg) {
    const uint16_t err = selectError(Msg);
    if (State_ != wsConnected) {
        const SOCKET connection = Handle;
        ChangeState(wsConnected);
        FireSessionConnected(err);
        if (Handle != connection) return;
    }
    ReceiveLoop(err, ComponentOptions_);
}

void TCustomWSocket::ReceiveLoop(uint16_t Error, TWSocketOptions Options, TReceiveBound Bound) {
    const SOCKET connection = Handle;
    const auto outerSliceEnd = SliceEnd;
    SliceEnd = Bound == TReceiveBound::Slice
                   ? std::min(SliceEnd, std::chrono::steady_clock::now() + ReceiveSlice)
                   : std::chrono::steady_clock::time_point::max();
    // Exceptions of the data handler end the loop here; they never abort the connection.
    try {
        for (;;) {
            LastError_ = 0;
            const long long takenBefore = BytesTaken();
            if (!FireDataAvailable(Error)) {
                char discard[1024];
                if (RecvRaw(discard, sizeof discard, 0) < 0) {
                    LastError_ = WS(WSAGetLastError)();
                    if (LastError_ == WSAEWOULDBLOCK) {
                        LastError_ = 0;
                        break;
                    }
                }
            }
            if (Options.Contains(wsoNoReceiveLoop)) break;
            if (LastError_ != 0) {
                if (LastError_ == -1) LastError_ = 0;
                break;
            }
            // Closed, aborted or replaced by the handler: the rest is not this loop's business.
            // Paused by it: nothing more is delivered until Resume.
            if (Handle != connection || Paused) break;
            // The handler waits for more (a record not yet whole). Calling it again with the
            // same bytes would only spin; the platform tells again once more bytes arrive.
            if (BytesTaken() == takenBefore) break;
            // Only whether anything is left matters here, not how much.
            winsock::u_long pending = 0;
            if (AnyPending(pending) == SOCKET_ERROR) {
                LastError_ = WS(WSAGetLastError)();
                break;
            }
            if (pending == 0) break;
            if (SliceOver()) {
                // Other events get their turn; the bytes left behind come back as FD_READ, as
                // they do when the platform itself sees them left after a recv.
                PostOwnNotification(FD_READ);
                break;
            }
        }
    } catch (...) {
    }
    SliceEnd = outerSliceEnd;
}

int TCustomWSocket::AnyPending(winsock::u_long& Pending) {
    return WS(ioctlsocket)(Handle, FIONREADANY, &Pending);
}

bool TCustomWSocket::SliceOver() const {
    return SliceEnd != std::chrono::steady_clock::time_point::max() &&
           std::chrono::steady_clock::now() >= SliceEnd;
}

void TCustomWSocket::HandleWriteEvent(TMessage& Msg) {
    // While OnSendData of a running drain waits in a nested loop, this is the platform's one
    // notice of free space: the drain goes on taking it in turn, but one that then stops at a
    // short send would wait for another for ever, so it asks for one from the message loop.
    if (DrainingFor == Handle) DrainAgain = true;
    const SOCKET connection = Handle;
    TryToSend();
    if (AllSent && Handle == connection) FireDataSent(selectError(Msg));
}

void TCustomWSocket::HandleAcceptEvent(TMessage& Msg) { FireSessionAvailable(selectError(Msg)); }

void TCustomWSocket::HandleCloseEvent(TMessage& Msg) {
    if (State_ == wsConnecting) return;
    // Everything still pending is offered to the data handler before the close is reported;
    // the peer has ended, so what is pending is all there will be.
    const SOCKET closing = Handle;
    ReceiveLoop(0, ComponentOptions_.Without(wsoNoReceiveLoop), TReceiveBound::UntilEmpty);
    // A data handler that closed the socket has already had its close reported. One that
    // paused it gets the close again with Resume, behind the rest of the data.
    if (Handle != closing || Paused) return;
    if (!CloseReported) {
        CloseReported = true;
        FireSessionClosed(selectError(Msg));
    }
    // A handler that closed the socket, or closed it and connected anew, has dealt with it.
    if (Handle == closing && State_ != wsClosed) Close();
}

int TCustomWSocket::RecvRaw(void* Buffer, int Len, int Flags) {
    const int n = WS(recv)(Handle, static_cast<char*>(Buffer), Len, Flags);
    if (n > 0) PlatformBytesRead += n;
    return n;
}

int TCustomWSocket::RecvFromRaw(SOCKET H, void* Buffer, int Len, int Flags, sockaddr_in& From,
                                int& FromLen) {
    const int n = WS(recvfrom)(H, static_cast<char*>(Buffer), Len, Flags,
                               reinterpret_cast<sockaddr*>(&From), &FromLen);
    if (n > 0) PlatformBytesRead += n;
    return n;
}

int TCustomWSocket::Receive(void* Buffer, int Len) {
    const int n = RecvRaw(Buffer, Len, 0);
    if (n < 0)
        LastError_ = WS(WSAGetLastError)();
    else
        ReadCount_ += static_cast<uint32_t>(n);
    return n;
}

std::string TCustomWSocket::ReceiveStr() {
    int count = GetRcvdCount();
    if (count < 0) return {};
    if (count == 0) count = 255;
    std::string text(static_cast<size_t>(count), '\0');
    const int n = Receive(text.data(), count);
    text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return text;
}

int TCustomWSocket::ReceiveFrom(void* Buffer, int Len, sockaddr_in& From, int& FromLen) {
    const int n = RecvFromRaw(Handle, Buffer, Len, 0, From, FromLen);
    if (n < 0)
        LastError_ = WS(WSAGetLastError)();
    else
        ReadCount_ += static_cast<uint32_t>(n);
    return n;
}

int TCustomWSocket::GetRcvdCount() {
    winsock::u_long pending = 0;
    if (WS(ioctlsocket)(Handle, FIONREAD, &pending) == SOCKET_ERROR) {
        ReportSocketError("ioctlSocket");
        return -1;
    }
    return static_cast<int>(pending);
}

// --- The send chain -------------------------------------------------------------------------

void TCustomWSocket::QueueSendData(const void* Data, int Len) {
    if (Len <= 0 || !Data) return;
    auto* bytes = static_cast<const char*>(Data);
    if (SendChain.empty()) SendChain.push_back(NewBlock(Len));
    for (;;) {
        const int n = SendChain.back()->Write(bytes, Len);
        if (n >= Len) break;
        Len -= n;
        bytes += n;
        SendChain.push_back(NewBlock(Len));
    }
    AllSent = false;
}

// A sender that keeps its queue topped up goes through the same few blocks again and again:
// drained blocks wait here for the next bytes instead of going back to the allocator. Where
// nobody hears of each block (a stream without OnSendData and without urgent sends), a Send far
// larger than a gathering send takes goes into blocks of LargeBlockSize: the bytes on the wire
// are the same, and 16 MiB costs some 250 allocations instead of 11,000. A sender that tops its
// queue up by a gathering send's worth keeps to the spare blocks, which cost no allocation.
std::unique_ptr<TBuffer> TCustomWSocket::NewBlock(int Wanted) {
    constexpr int LargeBlockSize = 64 * 1024;
    if (Wanted >= 4 * LargeBlockSize && Wanted > BlockSize && Gathers())
        return std::make_unique<TBuffer>(std::min(Wanted, LargeBlockSize));
    if (SpareBlocks.empty()) return std::make_unique<TBuffer>(BlockSize);
    std::unique_ptr<TBuffer> block = std::move(SpareBlocks.back());
    SpareBlocks.pop_back();
    return block;
}

void TCustomWSocket::DropFrontBlock() {
    constexpr std::size_t MaxSpareBlocks = 64;  // as many as one gathering send takes
    if (SpareBlocks.size() < MaxSpareBlocks && SendChain.front()->Size == BlockSize)
        SpareBlocks.push_back(std::move(SendChain.front()));
    SendChain.pop_front();
}

void TCustomWSocket::TryToSend() {
    if (Handle == INVALID_SOCKET || SendChain.empty()) return;
    // A send from OnSendData only queues: the drain already running takes its bytes in turn.
    // A drain of another connection on the stack (its handler started this one) is no reason
    // to wait: it leaves this connection's chain alone once it sees the handle change.
    if (DrainingFor == Handle) return;
    // An FD_WRITE that came while the drain ran (DrainAgain): see HandleWriteEvent.
    struct TDrain {
        TCustomWSocket& S;
        SOCKET Outer;
        SOCKET Connection;
        ~TDrain() {
            S.DrainingFor = Outer;
            if (std::exchange(S.DrainAgain, false) && S.Handle == Connection && !S.AllSent)
                S.PostOwnNotification(FD_WRITE);
        }
    } drain{*this, std::exchange(DrainingFor, Handle), Handle};
    DrainAgain = false;
    const SOCKET connection = Handle;
    for (;;) {
        int32_t len;
        const char* data = SendChain.front()->Peek(len);
        if (len <= 0) {
            // The last block stays, empty, to take the next bytes.
            if (SendChain.size() == 1) {
                AllSent = true;
                return;
            }
            DropFrontBlock();
            continue;
        }
        // Several blocks of a stream go in one call only where nobody hears of each: with an
        // OnSendData handler every block goes on its own and is reported once its bytes have
        // left the chain, before the next one goes. So a handler that closes the connection
        // has the peer get exactly what was reported, and one that throws repeats no byte. A
        // datagram is one block, and urgent data marks the end of each send, so those go one
        // block per call too.
        const bool gather = SendChain.size() > 1 && Gathers();
        int offered = len;
        const int count = gather ? SendBlocks(offered) : RawTransmit(data, len);
        if (count == 0) return;
        if (count < 0) {
            const int err = WS(WSAGetLastError)();
            switch (err) {
            case WSAEINVAL: case WSAENOTSOCK: case WSAECONNABORTED: case WSAECONNRESET:
            case WSAENOTCONN:
                return ConnectionLost(err);
            case WSAEWOULDBLOCK:
                return;  // the next FD_WRITE resumes the drain
            default:
                ReportSocketError("TryToSend failed");
                return;
            }
        }
        if (!gather) {
            DropSent(count);
            try {
                FireSendData(count);
            } catch (const std::exception& E) {
                // As from any event handler; the drain goes on if the connection survives it.
                HandleEventException(E);
            } catch (...) {
                // Not the layer's to handle: the rest goes out from the message loop.
                if (Handle == connection) PostOwnNotification(FD_WRITE);
                throw;
            }
            // OnSendData may have closed, aborted or replaced the connection, freeing the chain.
            if (Handle != connection) return;
        }
        if (count < offered) return;
    }
}

// Blocks are handed on without a report of each: a stream without an OnSendData handler and
// without urgent sends.
bool TCustomWSocket::Gathers() const {
    return !OnSendData && SocketType == SOCK_STREAM && SendFlagsValue == 0;
}

void TCustomWSocket::DropSent(int Count) {
    while (Count > 0) {
        const int took = SendChain.front()->Remove(Count);
        if (took <= 0) break;
        Count -= took;
        int32_t rest;
        SendChain.front()->Peek(rest);
        if (rest <= 0 && SendChain.size() > 1) DropFrontBlock();
    }
}

int TCustomWSocket::SendBlocks(int& Offered) {
    // Some 93 KB per call spread the call's cost thin, and the list fits on the stack.
    constexpr int MaxBlocks = 64;
    static_assert(MaxBlocks <= SENDV_MAX, "sendv takes no more pieces than SENDV_MAX");
    WSABUF pieces[MaxBlocks];
    int count = 0;
    Offered = 0;
    for (const auto& block : SendChain) {
        int32_t len;
        const char* data = block->Peek(len);
        if (len <= 0 || count == MaxBlocks) break;
        pieces[count++] = {static_cast<winsock::u_long>(len), const_cast<char*>(data)};
        Offered += len;
    }
    const int sent = RawSendBlocks(pieces, count);
    if (sent > 0) DropSent(sent);
    return sent;
}

void TCustomWSocket::ClearSendChain() { SendChain.clear(); }

void TCustomWSocket::ConnectionLost(int Error) {
    // The close reports the loss with its error, before the connection's state is reset (a
    // paused owner is still paused for the last lines); inside the report of this very close
    // (a handler sending from OnSessionClosed) it is not reported a second time.
    DoClose(true, static_cast<uint16_t>(Error));
}

// --- Sending --------------------------------------------------------------------------------

int TCustomWSocket::RawSend(const void* Data, int Len) {
    const int n = RawTransmit(Data, Len);
    if (n > 0) FireSendData(n);
    return n;
}

int TCustomWSocket::RawTransmit(const void* Data, int Len) {
    if (SocketType != SOCK_DGRAM)
        return WS(send)(Handle, static_cast<const char*>(Data), Len, static_cast<int>(SendFlagsValue));
    const TSocketAddress to = PeerSocketAddress();
    return WS(sendto)(Handle, static_cast<const char*>(Data), Len, static_cast<int>(SendFlagsValue),
                      to.Record(), to.RecordLength());
}

int TCustomWSocket::RawSendBlocks(const WSABUF* Pieces, int Count) {
    return WS(sendv)(Handle, Pieces, Count, static_cast<int>(SendFlagsValue));
}

int TCustomWSocket::Send(const void* Data, int Len) {
    if (State_ != wsConnected && State_ != wsSocksConnected) {
        WS(WSASetLastError)(WSAENOTCONN);
        ReportSocketError("Send");
        return -1;
    }
    // Nothing to queue and nothing ever queued: nothing to drain and nothing to report.
    if (Len <= 0 && SendChain.empty()) return 0;
    AllSent = false;
    int result = 0;
    if (Len > 0) {
        QueueSendData(Data, Len);
        result = Len;
    }
    const SOCKET connection = Handle;
    TryToSend();
    // Everything went out at once: OnDataSent follows from the message loop, never from here;
    // and only for this connection (a handler of the drain may have started another one).
    if (AllSent && Handle == connection) PostOwnNotification(FD_WRITE);
    return result;
}

int TCustomWSocket::SendStr(const std::string& Text) {
    return Text.empty() ? 0 : Send(Text.data(), static_cast<int>(Text.size()));
}

int TCustomWSocket::SendTo(const sockaddr_in& Dest, int DestLen, const void* Data, int Len) {
    const int n = WS(sendto)(Handle, static_cast<const char*>(Data), Len,
                             static_cast<int>(SendFlagsValue),
                             reinterpret_cast<const sockaddr*>(&Dest), DestLen);
    if (n > 0) FireSendData(n);
    if (AllSent && SocketType == SOCK_DGRAM) PostOwnNotification(FD_WRITE);
    return n;
}

// At most one undelivered notification of each kind per connection: a peer that makes the
// socket send a reply for every few bytes it receives would otherwise fill the queue with
// them faster than the loop delivers it. One is enough, as it finds the state as it is then.
void TCustomWSocket::PostOwnNotification(long Event) {
    SOCKET& postedFor = Event == FD_READ ? OwnReadPostedFor : OwnWritePostedFor;
    if (Handle == INVALID_SOCKET || postedFor == Handle) return;
    // A connection still being set up has its own first FD_WRITE coming with its FD_CONNECT.
    if (State_ != wsConnected && State_ != wsSocksConnected) return;
    const SOCKET connection = Handle;
    postedFor = connection;
    const bool posted = msgwindow::PostMessage(
        WindowHandle, WM_SOCKET_SELECT, connection,
        WSAMAKESELECTREPLY(static_cast<uint16_t>(Event), 0),
        [&postedFor, connection](msgwindow::Delivery Phase) {
            // Runs only while the window, and so this object, still exists.
            if (Phase == msgwindow::Delivery::Starting && postedFor == connection)
                postedFor = INVALID_SOCKET;
            return true;
        });
    if (!posted) postedFor = INVALID_SOCKET;
}

void TCustomWSocket::Flush() {
    // From inside the drain (an OnSendData handler) the drain cannot go on until it returns.
    if (DrainingFor == Handle) return;
    while (Handle != INVALID_SOCKET && !AllSent) {
        TryToSend();
        PumpMessages();
    }
}

// --- Closing --------------------------------------------------------------------------------

void TCustomWSocket::Close() { DoClose(true, 0); }

void TCustomWSocket::Abort() { DoAbort(0); }

void TCustomWSocket::Shutdown(int How) {
    if (Handle != INVALID_SOCKET) WS(shutdown)(Handle, How);
}

void TCustomWSocket::CloseDelayed() {
    msgwindow::PostMessage(WindowHandle, WM_SOCKET_CLOSE_DELAYED, 0, 0);
}

void TCustomWSocket::Release() { msgwindow::PostMessage(WindowHandle, WM_SOCKET_RELEASE, 0, 0); }

void TCustomWSocket::DoClose(bool ShutFirst, uint16_t Error) {
    // A race ended before it was decided: the address resolved last is only the first of
    // several, and a connection started from OnSessionClosed looks them all up again.
    if (Racing()) AddrResolved = false;
    EndRace();
    if (Handle == INVALID_SOCKET) {
        if (State_ != wsClosed) {
            ChangeState(wsClosed);
            ResetToDefaults();
        }
        return;
    }
    if (State_ == wsClosed) return;
    if (ShutFirst) Shutdown(SD_SEND);
    while (Handle != INVALID_SOCKET) {
        if (WS(closesocket)(Handle) == 0) break;
        LastError_ = WS(WSAGetLastError)();
        if (LastError_ == WSAEWOULDBLOCK) {
            PumpMessages();
            continue;
        }
        Handle = INVALID_SOCKET;
        if (LastError_ == WSANOTINITIALISED) break;
        ReportSocketError("Disconnect (closesocket)");
        return;
    }
    Handle = INVALID_SOCKET;
    ChangeState(wsClosed);
    if (!Destroying() && !CloseReported) {
        CloseReported = true;
        FireSessionClosed(Error);
        // The handler started a new connection: the settings are that connection's now.
        if (Handle != INVALID_SOCKET) return;
    }
    try {
        ResetToDefaults();
    } catch (...) {
    }
}

void TCustomWSocket::DoAbort(uint16_t Error) {
    CancelDnsLookup();
    ClearSendChain();
    if (State_ == wsConnected && Protocol == IPPROTO_TCP) {
        // The reset is this socket's only: the setting stays for the next connection, which a
        // handler of the close may start at once.
        const TSocketLingerOnOff setting = LingerOnOff_;
        LingerOnOff_ = wsLingerOff;
        SetLinger();
        LingerOnOff_ = setting;
    }
    DoClose(false, Error);
}

void TCustomWSocket::WaitForClose() {
    while (Handle != INVALID_SOCKET && State_ != wsClosed) {
        PumpMessages();
        winsock::u_long pending = 0;
        if (WS(ioctlsocket)(Handle, FIONREAD, &pending) == SOCKET_ERROR) break;
        if (pending > 0) FireDataAvailable(0);
        if (Handle == INVALID_SOCKET) break;
        char probe;
        if (RecvRaw(&probe, 0, 0) <= 0) {
            LastError_ = WS(WSAGetLastError)();
            if (LastError_ != WSAEWOULDBLOCK) break;
        }
        PumpMessages();
    }
}

// --- Notifications and the message loop -----------------------------------------------------

int TCustomWSocket::Pause() {
    Paused = true;
    return WS(WSAAsyncSelect)(Handle, WindowHandle, 0, 0);
}

int TCustomWSocket::Resume() {
    Paused = false;
    // A connect held by the pause goes ahead of what the new selection brings (a connected
    // socket gets FD_WRITE at once). It stays held until a notification of its connection is
    // handled, which reports it first should one overtake it.
    if (ConnectHeld && HeldConnect.WParam == Handle)
        msgwindow::PostMessage(WindowHandle, HeldConnect.Msg, HeldConnect.WParam,
                               HeldConnect.LParam);
    else
        ConnectHeld = false;
    return WS(WSAAsyncSelect)(Handle, WindowHandle, WM_SOCKET_SELECT, EventMask);
}

void TCustomWSocket::PumpMessages() {
    TFrame frame(*this);
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    // Qt keeps no quit message in the queue; a program that is closing down stands for it.
    if (MultiThreaded_ && QCoreApplication::closingDown()) Terminated = true;
}
