#pragma once
// TCustomWSocket: one non-blocking IPv4 or IPv6 socket turned into events. Every notification arrives
// as a message to the object's hidden window and is handled on the thread that created it.
#include "buffer.h"
#include "socket_address.h"
#include "winsock.h"
#include "wsocket_types.h"

#include <chrono>
#include <deque>
#include <initializer_list>
#include <memory>
#include <string>
#include <variant>
#include <vector>

using winsock::SOCKET;

// One argument of ReportErrorFmt: "%d" takes a number, "%s" a text.
using TFormatArg = std::variant<long long, std::string>;
std::string FormatText(const std::string& Format, std::initializer_list<TFormatArg> Args);

std::string WinsockErrorText(int Code);

class TCustomWSocket : public QObject {
public:
    explicit TCustomWSocket(QObject* Owner = nullptr);
    ~TCustomWSocket() override;

    // Window message handling (the hidden window's procedure ends here).
    virtual void HandleWindowMessage(TMessage& Msg);
    // What the hidden window calls: HandleWindowMessage inside a frame of this socket, and the
    // deferred deletion of Release once no frame is left on the stack.
    void DispatchWindowMessage(TMessage& Msg);
    // An event handler or a message of this socket is on the stack: deleting the object now
    // would pull it from under that frame (Release waits for the frames to return).
    bool InFrame() const { return Frames > 0; }

    // Connection set-up and the server side.
    virtual void Connect();
    virtual void Listen();
    virtual SOCKET Accept();
    virtual void Dup(SOCKET NewHandle);
    virtual void DnsLookup(const std::string& HostName);
    virtual void ReverseDnsLookup(const std::string& HostAddr);
    virtual void CancelDnsLookup();

    // Receiving and sending.
    virtual int Receive(void* Buffer, int Len);
    virtual std::string ReceiveStr();
    virtual int ReceiveFrom(void* Buffer, int Len, winsock::sockaddr_in& From, int& FromLen);
    virtual int Send(const void* Data, int Len);
    virtual int SendTo(const winsock::sockaddr_in& Dest, int DestLen, const void* Data, int Len);
    virtual int SendStr(const std::string& Text);
    virtual void Flush();

    // Closing.
    virtual void Close();
    virtual void CloseDelayed();
    virtual void Release();
    virtual void Abort();
    virtual void WaitForClose();
    virtual void Shutdown(int How);

    // Notifications and the message loop.
    virtual int Pause();
    virtual int Resume();
    virtual void PumpMessages();

    // Addresses.
    virtual std::string GetPeerAddr();
    virtual std::string GetPeerPort();
    virtual int GetPeerName(winsock::sockaddr_in& Name, int NameLen);
    virtual std::string GetBoundPort();
    virtual std::string GetBoundAddr();
    virtual int GetLocalName(winsock::sockaddr_in& Name, int& NameLen);

    // Seconds/microseconds pairs.
    struct TTimeVal { long Sec = 0; long USec = 0; };
    virtual bool TimerIsSet(TTimeVal& T);
    virtual void TimerClear(TTimeVal& T);
    virtual bool TimerCmp(TTimeVal& T, TTimeVal& U, bool IsEqual);

    // Published properties.
    std::string Addr() const { return AddrText; }
    void SetAddr(const std::string& Value);
    std::string Port() const { return PortText; }
    virtual void SetPort(const std::string& Value);
    std::string Proto() const { return ProtoText; }
    virtual void SetProto(const std::string& Value);
    std::string LocalAddr() const { return LocalAddrText; }
    void SetLocalAddr(const std::string& Value);
    std::string LocalPort() const { return LocalPortText; }
    void SetLocalPort(const std::string& Value);
    std::string PeerPort() { return GetPeerPort(); }
    std::string PeerAddr() { return GetPeerAddr(); }
    std::string DnsResult() const { return DnsResult_; }
    const std::vector<std::string>& DnsResultList() const { return DnsResultList_; }
    TSocketState State() const { return State_; }
    // Bytes the owner received on this connection, a 32-bit count that wraps around.
    int ReadCount() const { return static_cast<int>(ReadCount_); }
    int RcvdCount() { return GetRcvdCount(); }
    int LastError() const { return LastError_; }
    bool MultiThreaded() const { return MultiThreaded_; }
    void SetMultiThreaded(bool Value) { MultiThreaded_ = Value; }
    bool MultiCast() const { return MultiCast_; }
    void SetMultiCast(bool Value) { MultiCast_ = Value; }
    std::string MultiCastAddrStr() const { return MultiCastAddrStr_; }
    void SetMultiCastAddrStr(const std::string& Value) { MultiCastAddrStr_ = Value; }
    int MultiCastIpTTL() const { return MultiCastIpTTL_; }
    void SetMultiCastIpTTL(int Value) { MultiCastIpTTL_ = Value; }
    bool ReuseAddr() const { return ReuseAddr_; }
    void SetReuseAddr(bool Value) { ReuseAddr_ = Value; }
    TWSocketOptions ComponentOptions() const { return ComponentOptions_; }
    void SetComponentOptions(TWSocketOptions Value) { ComponentOptions_ = Value; }
    int ListenBacklog() const { return ListenBacklog_; }
    void SetListenBacklog(int Value) { ListenBacklog_ = Value; }
    uint8_t ReqVerLow() const;
    void SetReqVerLow(uint8_t Value);
    uint8_t ReqVerHigh() const;
    void SetReqVerHigh(uint8_t Value);
    int FlushTimeout() const { return FlushTimeout_; }
    void SetFlushTimeout(int Value) { FlushTimeout_ = Value; }
    TSocketSendFlags SendFlags();
    void SetSendFlags(TSocketSendFlags Value);
    TSocketLingerOnOff LingerOnOff() const { return LingerOnOff_; }
    void SetLingerOnOff(TSocketLingerOnOff Value) { LingerOnOff_ = Value; }
    int LingerTimeout() const { return LingerTimeout_; }
    void SetLingerTimeout(int Value) { LingerTimeout_ = Value; }

    // Events, in declaration order.
    TSessionAvailable OnSessionAvailable;
    TSessionConnected OnSessionConnected;
    TSessionClosed OnSessionClosed;
    TChangeState OnChangeState;
    TDataAvailable OnDataAvailable;
    TDataSent OnDataSent;
    TSendData OnSendData;
    TDnsLookupDone OnDnsLookupDone;
    TNotifyEvent OnError;
    TBgExceptionEvent OnBgException;

protected:
    virtual bool CreateHiddenWindow();
    virtual void DestroyHiddenWindow();
    virtual void TryToSend();
    virtual void ResetToDefaults();
    virtual void DoClose(bool ShutFirst, uint16_t Error);
    virtual void DoAbort(uint16_t Error);
    virtual int GetRcvdCount();
    virtual void BindLocal();
    // One send() (sendto() for a datagram socket), then OnSendData for what it took.
    virtual int RawSend(const void* Data, int Len);
    // The send chain's transmit steps, raising no events: one send() or sendto() of one block,
    // and one gathering send of several blocks of a stream.
    virtual int RawTransmit(const void* Data, int Len);
    virtual int RawSendBlocks(const winsock::WSABUF* Pieces, int Count);
    virtual void ReportErrorFmt(const std::string& Format, std::initializer_list<TFormatArg> Args);
    virtual void ReportError(const std::string& Text);
    virtual void HandleEventException(const std::exception& E);
    virtual bool FireDataAvailable(uint16_t Error);
    virtual void FireSessionAvailable(uint16_t Error);
    virtual void FireSessionConnected(uint16_t Error);
    virtual void FireSessionConnectedEvent(uint16_t Error);
    virtual void FireSessionClosed(uint16_t Error);
    virtual void FireDataSent(uint16_t Error);
    virtual void FireChangeState(TSocketState OldState, TSocketState NewState);
    virtual void FireDnsLookupDone(uint16_t Error);
    virtual void FireError();
    virtual int RecvRaw(void* Buffer, int Len, int Flags);
    virtual int RecvFromRaw(SOCKET H, void* Buffer, int Len, int Flags, winsock::sockaddr_in& From,
                            int& FromLen);
    virtual void HandleConnectEvent(TMessage& Msg);
    virtual void HandleReadEvent(TMessage& Msg);
    virtual void HandleWriteEvent(TMessage& Msg);
    virtual void HandleAcceptEvent(TMessage& Msg);
    virtual void HandleCloseEvent(TMessage& Msg);
    virtual void DupDone();
    virtual void QueueSendData(const void* Data, int Len);
    // Asks the platform to look HostName up; the reply comes as message 1026 for the handle
    // returned (0 when the request could not be made).
    virtual winsock::HANDLE StartHostByName(const std::string& HostName);
    // The addresses Connect may use for Host, in the order to try them (blocking look-up).
    virtual std::vector<TSocketAddress> ResolvePeerAddresses(const std::string& Host);
    // The peer address is the first of Addresses; a stream connection may go on to the others.
    void UsePeerAddresses(std::vector<TSocketAddress> Addresses);
    // The socket address connect, sendto and bind of a listener use (PeerAddress or its IPv6
    // counterpart, with PeerAddress's port).
    TSocketAddress PeerSocketAddress() const;

    void ChangeState(TSocketState NewState);
    void ReportSocketError(const std::string& FunctionText);
    virtual void FireSendData(int Count);
    // A send found the connection gone: it is closed, then the close is reported.
    virtual void ConnectionLost(int Error);
    void ClearSendChain();
    // Hands the chain's first blocks to RawSendBlocks in one call and drops what it took from the
    // chain; raises no OnSendData. Offered: the bytes offered.
    int SendBlocks(int& Offered);
    // Drops Count sent bytes from the head of the chain, freeing drained blocks but the last.
    void DropSent(int Count);
    // Slice: the loop yields once its time slice is over and resumes from a posted FD_READ.
    enum class TReceiveBound { Slice, UntilEmpty };
    void ReceiveLoop(uint16_t Error, TWSocketOptions Options,
                     TReceiveBound Bound = TReceiveBound::Slice);
    // Whether anything is left to read (Pending > 0), the platform's pending bytes and what a
    // layer holds in between; SOCKET_ERROR with the error left for WSAGetLastError.
    virtual int AnyPending(winsock::u_long& Pending);
    // The receive loop's time slice is used up: a layer that delivers several pieces per
    // platform read stops and leaves the rest to a posted FD_READ.
    bool SliceOver() const;
    // Counts a frame of this socket (a message being handled, an event handler running, the
    // socket's own message loop) for as long as it lives.
    class TFrame {
    public:
        explicit TFrame(TCustomWSocket& Socket) : Socket_(Socket) { ++Socket_.Frames; }
        ~TFrame();
        TFrame(const TFrame&) = delete;
        TFrame& operator=(const TFrame&) = delete;

    private:
        TCustomWSocket& Socket_;
    };
    // Posts FD_READ or FD_WRITE to the own window unless one is still undelivered.
    void PostOwnNotification(long Event);
    // A new handle: unsent bytes of the last connection are dropped, its report is done.
    void BeginConnection();
    // Bytes the owner received plus bytes taken from the platform: whether a handler call
    // consumed anything.
    long long BytesTaken() const { return ReadCount_ + PlatformBytesRead; }
    void SetLinger();
    bool Destroying() const { return Destroying_; }
    // Runs the part of destruction that needs the whole object: the most derived class calls
    // it first thing in its destructor, so that the close still reaches every layer.
    void BeginDestroy();

    // Fields, in the order the layer declares them.
    std::string DnsResult_;
    std::vector<std::string> DnsResultList_;
    uint32_t SendFlagsValue = 0;
    int LastError_ = 0;
    msgwindow::HWND WindowHandle = 0;
    alignas(alignof(void*)) char LookupBuffer[1025] = {};
    bool LookupReplyEarly = false;
    TMessage LookupReplySaved;
    SOCKET Handle = winsock::INVALID_SOCKET;
    SOCKET AcceptedHandle = winsock::INVALID_SOCKET;
    std::string AddrText;
    bool AddrResolved = false;
    int AddressFamily = winsock::AF_INET;
    bool AddrAssigned = false;
    int Protocol = winsock::IPPROTO_TCP;
    bool ProtoAssigned = true;
    bool ProtoResolved = false;
    bool LocalPortResolved = false;
    std::string ProtoText = "tcp";
    std::string PortText;
    bool PortAssigned = false;
    bool PortResolved = false;
    int PortNumber = 0;
    std::string LocalPortText = "0";
    int LocalPortNumber = 0;
    std::string LocalAddrText = "0.0.0.0";
    int SocketType = winsock::SOCK_STREAM;
    std::deque<std::unique_ptr<TBuffer>> SendChain;
    int BlockSize = 1460;
    TSocketLingerOnOff LingerOnOff_ = wsLingerOn;
    int LingerTimeout_ = 0;
    int ListenBacklog_ = 5;
    bool AllSent = true;
    uint32_t ReadCount_ = 0;
    bool Paused = false;
    bool CloseReported = false;
    int FlushTimeout_ = 60;
    bool MultiThreaded_ = false;
    winsock::HANDLE LookupHandle = 0;
    bool MultiCast_ = false;
    std::string MultiCastAddrStr_;
    int MultiCastIpTTL_ = 1;
    bool ReuseAddr_ = false;
    TWSocketOptions ComponentOptions_;
    TSocketState State_ = wsClosed;
    bool Terminated = false;
    long EventMask = 0;
    int SendBufferSize = 0;
    winsock::sockaddr_in PeerAddress{};
    // The peer when AddressFamily is IPv6 (its port is PeerAddress's).
    winsock::in6_addr PeerAddress6{};
    // Further addresses of the peer a stream connection tries when the first does not answer
    // in time or fails (RFC 8305), in order.
    std::vector<TSocketAddress> PeerAddresses;

private:
    // The race of connection attempts (Happy Eyeballs). Handle is always one of the attempts in
    // flight; the others are RaceAttempts. Only the attempt that connects, or the last to fail,
    // is ever reported to the owner; the rest are closed without a word.
    struct TRaceAttempt {
        SOCKET Handle;
        TSocketAddress Target;
    };
    bool Racing() const { return !RaceAttempts.empty() || !PeerAddresses.empty(); }
    bool IsRaceAttempt(SOCKET H) const;
    void ArmRaceTimer();
    void StartNextAttempt();
    int OpenAttempt(const TSocketAddress& Target, SOCKET& Out);
    // An FD_CONNECT of an attempt: false when it is settled here and goes no further.
    bool SettleAttempt(TMessage& Msg);
    void AdoptAttempt(const TRaceAttempt& Attempt);
    void EndRace();
    std::vector<TRaceAttempt> RaceAttempts;
    class QTimer* RaceTimer = nullptr;

    void HandleLookupReply(TMessage& Msg, bool ByName);
    std::unique_ptr<TBuffer> NewBlock(int Wanted);  // an empty block for Wanted more bytes
    bool Gathers() const;  // blocks go out several at a time, unreported
    void DropFrontBlock();                // the drained first block leaves the chain
    std::vector<std::unique_ptr<TBuffer>> SpareBlocks;
    bool Destroying_ = false;
    // The connection whose TryToSend is running (OnSendData may be on the stack).
    SOCKET DrainingFor = winsock::INVALID_SOCKET;
    bool DrainAgain = false;  // an FD_WRITE came while that drain was running
    SOCKET OwnReadPostedFor = winsock::INVALID_SOCKET;
    SOCKET OwnWritePostedFor = winsock::INVALID_SOCKET;
    long long PlatformBytesRead = 0;
    int Frames = 0;
    bool ReleasePending = false;
    // An FD_CONNECT that came while paused: reported after Resume, ahead of any other
    // notification of its connection.
    bool ConnectHeld = false;
    TMessage HeldConnect{};
    // Until then the receive loop delivers; a loop that empties the socket has no end.
    std::chrono::steady_clock::time_point SliceEnd = std::chrono::steady_clock::time_point::max();
};
