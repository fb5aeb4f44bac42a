// Event dispatch, receiving, the send chain, sending and closing.
#include "socket_exception.h"
#include "winsock_binding.h"
#include "wsocket.h"

#include <QCoreApplication>

using namespace winsock;

namespace {
uint16_t selectError(const TMessage& Msg) { return WSAGETSELECTERROR(Msg.LParam); }
}  // namespace

void TCustomWSocket::HandleConnectEvent(TMessage& Msg) {
    if (State_ == wsConnected) return;
    const uint16_t err = selectError(Msg);
    ChangeState(wsConnected);
    FireSessionConnected(err);
    // A failed attempt passes through wsConnected, is reported, then closed.
    if (err != 0 && State_ != wsClosed) Close();
}

void TCustomWSocket::HandleReadEvent(TMessage& Msg) {
    const uint16_t err = selectError(Msg);
    if (State_ != wsConnected) {
        ChangeState(wsConnected);
        FireSessionConnected(err);
    }
    ReceiveLoop(err, ComponentOptions_);
}

void TCustomWSocket::ReceiveLoop(uint16_t Error, TWSocketOptions Options) {
    // Exceptions of the data handler end the loop here; they never abort the connection.
    try {
        for (;;) {
            LastError_ = 0;
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
            winsock::u_long pending = 0;
            if (WS(ioctlsocket)(Handle, FIONREAD, &pending) == SOCKET_ERROR) {
                LastError_ = WS(WSAGetLastError)();
                break;
            }
            if (pending == 0) break;
        }
    } catch (...) {
    }
}

void TCustomWSocket::HandleWriteEvent(TMessage& Msg) {
    TryToSend();
    if (AllSent) FireDataSent(selectError(Msg));
}

void TCustomWSocket::HandleAcceptEvent(TMessage& Msg) { FireSessionAvailable(selectError(Msg)); }

void TCustomWSocket::HandleCloseEvent(TMessage& Msg) {
    if (State_ == wsConnecting) return;
    // Everything still pending is offered to the data handler before the close is reported.
    const SOCKET closing = Handle;
    ReceiveLoop(0, ComponentOptions_.Without(wsoNoReceiveLoop));
    // A data handler that closed the socket has already had its close reported.
    if (Handle != closing) return;
    if (!CloseReported) {
        CloseReported = true;
        FireSessionClosed(selectError(Msg));
    }
    if (State_ != wsClosed) Close();
}

int TCustomWSocket::RecvRaw(void* Buffer, int Len, int Flags) {
    return WS(recv)(Handle, static_cast<char*>(Buffer), Len, Flags);
}

int TCustomWSocket::RecvFromRaw(SOCKET H, void* Buffer, int Len, int Flags, sockaddr_in& From,
                                int& FromLen) {
    return WS(recvfrom)(H, static_cast<char*>(Buffer), Len, Flags,
                        reinterpret_cast<sockaddr*>(&From), &FromLen);
}

int TCustomWSocket::Receive(void* Buffer, int Len) {
    const int n = RecvRaw(Buffer, Len, 0);
    if (n < 0)
        LastError_ = WS(WSAGetLastError)();
    else
        ReadCount_ += n;
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
        ReadCount_ += n;
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
    if (SendChain.empty()) SendChain.push_back(std::make_unique<TBuffer>(BlockSize));
    for (;;) {
        const int n = SendChain.back()->Write(bytes, Len);
        if (n >= Len) break;
        Len -= n;
        bytes += n;
        SendChain.push_back(std::make_unique<TBuffer>(BlockSize));
    }
    AllSent = false;
}

void TCustomWSocket::TryToSend() {
    if (Handle == INVALID_SOCKET || SendChain.empty()) return;
    for (;;) {
        TBuffer& head = *SendChain.front();
        int32_t len;
        const char* data = head.Peek(len);
        if (len <= 0) {
            // The last block stays, empty, to take the next bytes.
            if (SendChain.size() == 1) {
                AllSent = true;
                return;
            }
            SendChain.pop_front();
            continue;
        }
        const int count = RawSend(data, len);
        if (count == 0) return;
        if (count < 0) {
            const int err = WS(WSAGetLastError)();
            switch (err) {
            case WSAEINVAL: case WSAENOTSOCK: case WSAECONNABORTED: case WSAECONNRESET:
            case WSAENOTCONN:
                CloseReported = true;
                Close();
                FireSessionClosed(static_cast<uint16_t>(err));
                return;
            case WSAEWOULDBLOCK:
                return;  // the next FD_WRITE resumes the drain
            default:
                ReportSocketError("TryToSend failed");
                return;
            }
        }
        head.Remove(count);
        if (count < len) return;
    }
}

void TCustomWSocket::ClearSendChain() { SendChain.clear(); }

// --- Sending --------------------------------------------------------------------------------

int TCustomWSocket::RawSend(const void* Data, int Len) {
    const int n = SocketType == SOCK_DGRAM
                      ? WS(sendto)(Handle, static_cast<const char*>(Data), Len,
                                   static_cast<int>(SendFlagsValue),
                                   reinterpret_cast<const sockaddr*>(&PeerAddress),
                                   sizeof PeerAddress)
                      : WS(send)(Handle, static_cast<const char*>(Data), Len,
                                 static_cast<int>(SendFlagsValue));
    if (n > 0) FireSendData(n);
    return n;
}

int TCustomWSocket::Send(const void* Data, int Len) {
    if (State_ != wsConnected && State_ != wsSocksConnected) {
        WS(WSASetLastError)(WSAENOTCONN);
        ReportSocketError("Send");
        return -1;
    }
    AllSent = false;
    int result = 0;
    if (Len > 0) {
        QueueSendData(Data, Len);
        result = Len;
    }
    TryToSend();
    // Everything went out at once: OnDataSent follows from the message loop, never from here.
    if (AllSent && Handle != INVALID_SOCKET)
        msgwindow::PostMessage(WindowHandle, WM_SOCKET_SELECT, Handle,
                               WSAMAKESELECTREPLY(FD_WRITE, 0));
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
    if (AllSent && SocketType == SOCK_DGRAM)
        msgwindow::PostMessage(WindowHandle, WM_SOCKET_SELECT, Handle,
                               WSAMAKESELECTREPLY(FD_WRITE, 0));
    return n;
}

void TCustomWSocket::Flush() {
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
        LingerOnOff_ = wsLingerOff;
        SetLinger();
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
    return WS(WSAAsyncSelect)(Handle, WindowHandle, WM_SOCKET_SELECT, EventMask);
}

void TCustomWSocket::PumpMessages() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    // Qt keeps no quit message in the queue; a program that is closing down stands for it.
    if (MultiThreaded_ && QCoreApplication::closingDown()) Terminated = true;
}
