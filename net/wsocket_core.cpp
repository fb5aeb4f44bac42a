// The socket object itself: construction and destruction with the library binding, the hidden
// window and its message routing, state, events and the published properties.
#include "socket_exception.h"
#include "text_util.h"
#include "winsock_binding.h"
#include "wsocket.h"

#include <mutex>

namespace {

const char* const WindowClassName = "XSocketWindowClass";

msgwindow::LRESULT SocketWindowProc(msgwindow::HWND Window, msgwindow::UINT Msg,
                                    msgwindow::WPARAM WParam, msgwindow::LPARAM LParam) {
    auto* object = reinterpret_cast<QObject*>(msgwindow::GetWindowLongPtr(Window));
    auto* socket = dynamic_cast<TCustomWSocket*>(object);
    if (!socket) return msgwindow::DefWindowProc(Window, Msg, WParam, LParam);
    TMessage message{Msg, WParam, LParam, 0};
    socket->DispatchWindowMessage(message);
    return message.Result;
}

}  // namespace

TCustomWSocket::TCustomWSocket(QObject* Owner) : QObject(Owner) {
    if (!CreateHiddenWindow()) ReportError("Cannot create a hidden window for TWSocket");
    BlockSize = 1460;
    MultiCastIpTTL_ = 1;
    ListenBacklog_ = 5;
    ResetToDefaults();
    std::lock_guard lock(WinsockLock());
    ++SocketObjectCount();
}

void TCustomWSocket::BeginDestroy() {
    if (Destroying_) return;
    Destroying_ = true;
    // Whoever handles the events may already be half destroyed (a subclass, the owner): the
    // close that follows raises nothing.
    OnSessionAvailable = nullptr;
    OnSessionConnected = nullptr;
    OnSessionClosed = nullptr;
    OnChangeState = nullptr;
    OnDataAvailable = nullptr;
    OnDataSent = nullptr;
    OnSendData = nullptr;
    OnDnsLookupDone = nullptr;
    OnError = nullptr;
    OnBgException = nullptr;
    try {
        CancelDnsLookup();
    } catch (...) {
    }
    if (State_ != wsClosed) {
        try {
            Close();
        } catch (...) {
        }
    }
}

TCustomWSocket::~TCustomWSocket() {
    BeginDestroy();
    {
        std::lock_guard lock(WinsockLock());
        if (--SocketObjectCount() < 1) UnloadWinsock();
    }
    ClearSendChain();
    DestroyHiddenWindow();
    std::lock_guard lock(WindowClassLock());
    if (SocketObjectCount() < 1) msgwindow::UnregisterWindowClass(WindowClassName);
}

bool TCustomWSocket::CreateHiddenWindow() {
    {
        std::lock_guard lock(WindowClassLock());
        if (!msgwindow::IsWindowClassRegistered(WindowClassName) &&
            !msgwindow::RegisterWindowClass(WindowClassName, SocketWindowProc))
            return false;
    }
    WindowHandle = msgwindow::CreateWindow(WindowClassName);
    if (!WindowHandle) return false;
    msgwindow::SetWindowLongPtr(WindowHandle,
                                reinterpret_cast<msgwindow::LPARAM>(static_cast<QObject*>(this)));
    return true;
}

void TCustomWSocket::DestroyHiddenWindow() {
    if (!WindowHandle) return;
    msgwindow::SetWindowLongPtr(WindowHandle, 0);
    if (msgwindow::DestroyWindow(WindowHandle)) WindowHandle = 0;
}

void TCustomWSocket::DispatchWindowMessage(TMessage& Msg) {
    if (Msg.Msg == WM_SOCKET_RELEASE && Frames == 0) {
        delete this;
        return;
    }
    TFrame frame(*this);
    HandleWindowMessage(Msg);
}

TCustomWSocket::TFrame::~TFrame() {
    // The last frame is gone: a release that came meanwhile is posted anew, and so runs from
    // the message loop with nothing of this socket on the stack.
    if (--Socket_.Frames == 0 && Socket_.ReleasePending) {
        Socket_.ReleasePending = false;
        Socket_.Release();
    }
}

void TCustomWSocket::HandleWindowMessage(TMessage& Msg) {
    try {
        switch (Msg.Msg) {
        case WM_SOCKET_SELECT: {
            if (Msg.WParam != Handle && !IsRaceAttempt(Msg.WParam)) return;
            // The outcome of one attempt among several: only the one that connects, or the
            // last to fail, is the owner's.
            if (Racing() && (winsock::WSAGETSELECTEVENT(Msg.LParam) & winsock::FD_CONNECT) &&
                !SettleAttempt(Msg))
                return;
            if (Msg.WParam != Handle) return;
            if (Paused) {
                // The outcome of a connect comes only once; Resume delivers it.
                if (winsock::WSAGETSELECTEVENT(Msg.LParam) & winsock::FD_CONNECT) {
                    ConnectHeld = true;
                    HeldConnect = Msg;
                }
                return;
            }
            if (ConnectHeld) {
                // Reported before this notification, which may have overtaken it.
                ConnectHeld = false;
                TMessage held = HeldConnect;
                if (held.WParam == Handle) HandleConnectEvent(held);
            }
            // Each bit in a fixed order: a connect before data, data before the close; the
            // rest is dropped once a handler has closed or replaced the connection.
            const auto bits = winsock::WSAGETSELECTEVENT(Msg.LParam);
            const auto still = [&](long bit) {
                return (bits & bit) && Msg.WParam == Handle && !Paused;
            };
            if (still(winsock::FD_CONNECT)) HandleConnectEvent(Msg);
            if (still(winsock::FD_READ)) HandleReadEvent(Msg);
            if (still(winsock::FD_WRITE)) HandleWriteEvent(Msg);
            if (still(winsock::FD_ACCEPT)) HandleAcceptEvent(Msg);
            if (still(winsock::FD_CLOSE)) HandleCloseEvent(Msg);
            return;
        }
        case WM_SOCKET_HOSTBYNAME: HandleLookupReply(Msg, true); return;
        case WM_SOCKET_HOSTBYADDR: HandleLookupReply(Msg, false); return;
        case WM_SOCKET_CLOSE_DELAYED: Close(); return;
        case WM_SOCKET_RELEASE:
            // A frame of this socket is on the stack (a handler that released the socket and
            // then ran a modal dialog, say): deleted once the last frame has returned.
            if (Frames > 1) ReleasePending = true;
            else delete this;
            return;
        case WM_SOCKET_TEST_EXCEPTION: throw ESocketException("Test exception in WSocket");
        default:
            Msg.Result = msgwindow::DefWindowProc(WindowHandle, Msg.Msg, Msg.WParam, Msg.LParam);
        }
    } catch (const std::exception& E) {
        HandleEventException(E);
    }
}

void TCustomWSocket::ChangeState(TSocketState NewState) {
    const TSocketState old = State_;
    State_ = NewState;
    if (old != NewState) FireChangeState(old, NewState);
}

void TCustomWSocket::ResetToDefaults() {
    PeerAddress = {};
    PeerAddress.sin_family = winsock::AF_INET;
    AddressFamily = winsock::AF_INET;
    PeerAddress6 = {};
    EndRace();
    PortAssigned = AddrAssigned = AddrResolved = PortResolved = ProtoResolved = false;
    LocalPortResolved = false;
    ProtoAssigned = true;
    Protocol = winsock::IPPROTO_TCP;
    ProtoText = "tcp";
    SocketType = winsock::SOCK_STREAM;
    LocalPortText.assign(1, '0');  // (not = "0": GCC 12 warns falsely about that form here)
    LocalAddrText = "0.0.0.0";
    LingerOnOff_ = wsLingerOn;
    LingerTimeout_ = 0;
    Handle = winsock::INVALID_SOCKET;
    EventMask = 0;
    State_ = wsClosed;
    AllSent = true;
    Paused = false;
    ConnectHeld = false;
    ReadCount_ = 0;
    CloseReported = false;
    FlushTimeout_ = 60;
}

// Events: raised only when assigned, with this object as Sender.
// Each handler runs inside a frame, so that a Release it makes waits for the socket's code
// around it to return.
bool TCustomWSocket::FireDataAvailable(uint16_t Error) {
    if (!OnDataAvailable) return false;
    TFrame frame(*this);
    OnDataAvailable(this, Error);
    return true;
}
void TCustomWSocket::FireSessionAvailable(uint16_t Error) {
    TFrame frame(*this);
    if (OnSessionAvailable) OnSessionAvailable(this, Error);
}
void TCustomWSocket::FireSessionConnected(uint16_t Error) { FireSessionConnectedEvent(Error); }
void TCustomWSocket::FireSessionConnectedEvent(uint16_t Error) {
    TFrame frame(*this);
    if (OnSessionConnected) OnSessionConnected(this, Error);
}
void TCustomWSocket::FireSessionClosed(uint16_t Error) {
    TFrame frame(*this);
    if (OnSessionClosed) OnSessionClosed(this, Error);
}
void TCustomWSocket::FireDataSent(uint16_t Error) {
    TFrame frame(*this);
    if (OnDataSent) OnDataSent(this, Error);
}
void TCustomWSocket::FireChangeState(TSocketState OldState, TSocketState NewState) {
    TFrame frame(*this);
    if (OnChangeState) OnChangeState(this, OldState, NewState);
}
void TCustomWSocket::FireDnsLookupDone(uint16_t Error) {
    TFrame frame(*this);
    if (OnDnsLookupDone) OnDnsLookupDone(this, Error);
}
void TCustomWSocket::FireError() {
    TFrame frame(*this);
    if (OnError) OnError(this);
}
void TCustomWSocket::FireSendData(int Count) {
    TFrame frame(*this);
    if (OnSendData) OnSendData(this, Count);
}

// Addr, Port and Proto: a value equal to the stored one is no change in any state.
void TCustomWSocket::SetAddr(const std::string& Value) {
    if (AddrAssigned && Value == AddrText) return;
    if (State_ != wsClosed) return ReportError("Cannot change Addr if not closed");
    AddrText = TrimBlanks(Value);
    AddrAssigned = !AddrText.empty();
    if (AddrAssigned) AddrResolved = false;
}

void TCustomWSocket::SetPort(const std::string& Value) {
    if (PortAssigned && Value == PortText) return;
    if (State_ != wsClosed) return ReportError("Cannot change Port if not closed");
    PortText = TrimBlanks(Value);
    PortAssigned = !PortText.empty();
    if (PortAssigned) PortResolved = false;
}

void TCustomWSocket::SetProto(const std::string& Value) {
    if (ProtoAssigned && Value == ProtoText) return;
    if (State_ != wsClosed) return ReportError("Cannot change Proto if not closed");
    ProtoText = TrimBlanks(Value);
    ProtoAssigned = !ProtoText.empty();
    if (ProtoAssigned) ProtoResolved = false;
}

void TCustomWSocket::SetLocalPort(const std::string& Value) {
    if (State_ != wsClosed) return ReportError("Cannot change LocalPort if not closed");
    LocalPortText = Value;
    LocalPortResolved = false;
}

void TCustomWSocket::SetLocalAddr(const std::string& Value) {
    if (State_ != wsClosed) return ReportError("Cannot change LocalAddr if not closed");
    LocalAddrText = Value.empty() ? "0.0.0.0" : Value;
}

uint8_t TCustomWSocket::ReqVerLow() const { return ReqVerLowStorage(); }
uint8_t TCustomWSocket::ReqVerHigh() const { return ReqVerHighStorage(); }

void TCustomWSocket::SetReqVerLow(uint8_t Value) {
    if (Value == ReqVerLowStorage()) return;
    if (WinsockLoaded())
        return ReportSocketError("SetReqVerLow: WinSock version can't be changed now");
    ReqVerLowStorage() = Value;
}

void TCustomWSocket::SetReqVerHigh(uint8_t Value) {
    if (Value == ReqVerHighStorage()) return;
    if (WinsockLoaded())
        return ReportSocketError("SetReqVerHigh: WinSock version can't be changed now");
    ReqVerHighStorage() = Value;
}

TSocketSendFlags TCustomWSocket::SendFlags() {
    switch (SendFlagsValue) {
    case 0: return wsSendNormal;
    case winsock::MSG_OOB: return wsSendUrgent;
    }
    ReportError("Invalid internal SendFlags");
    return wsSendNormal;
}

void TCustomWSocket::SetSendFlags(TSocketSendFlags Value) {
    switch (Value) {
    case wsSendNormal: SendFlagsValue = 0; return;
    case wsSendUrgent: SendFlagsValue = winsock::MSG_OOB; return;
    }
    ReportError("Invalid SendFlags");
}

bool TCustomWSocket::TimerIsSet(TTimeVal& T) { return T.Sec != 0 || T.USec != 0; }
void TCustomWSocket::TimerClear(TTimeVal& T) { T = {}; }
bool TCustomWSocket::TimerCmp(TTimeVal& T, TTimeVal& U, bool IsEqual) {
    const bool equal = T.Sec == U.Sec && T.USec == U.USec;
    return IsEqual ? equal : !equal;
}
