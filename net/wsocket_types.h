#pragma once
// Types shared by the layers of the socket object: states, options, the message record and the
// event types.
#include "msgwindow.h"

#include <QObject>

#include <cstdint>
#include <exception>
#include <functional>

enum TSocketState : uint8_t {
    wsInvalidState, wsOpened, wsBound, wsConnecting, wsSocksConnected, wsConnected, wsAccepting,
    wsListening, wsClosed
};
enum TSocketSendFlags : uint8_t { wsSendNormal, wsSendUrgent };
enum TSocketLingerOnOff : uint8_t { wsLingerOff, wsLingerOn, wsLingerNoSet };
enum TWSocketOption : uint8_t { wsoNoReceiveLoop, wsoTcpNoDelay, wsoSIO_RCVALL };

// A set of TWSocketOption, one bit each.
class TWSocketOptions {
public:
    constexpr TWSocketOptions() = default;
    constexpr TWSocketOptions(std::initializer_list<TWSocketOption> options) {
        for (auto o : options) Bits |= Bit(o);
    }
    constexpr bool Contains(TWSocketOption o) const { return Bits & Bit(o); }
    constexpr TWSocketOptions With(TWSocketOption o) const { return FromBits(Bits | Bit(o)); }
    constexpr TWSocketOptions Without(TWSocketOption o) const { return FromBits(Bits & ~Bit(o)); }
    constexpr bool operator==(const TWSocketOptions&) const = default;

private:
    static constexpr uint8_t Bit(TWSocketOption o) { return static_cast<uint8_t>(1u << o); }
    static constexpr TWSocketOptions FromBits(unsigned b) {
        TWSocketOptions r;
        r.Bits = static_cast<uint8_t>(b);
        return r;
    }
    uint8_t Bits = 0;
};

// A window message with its result, as the window procedure hands it on.
struct TMessage {
    msgwindow::UINT Msg = 0;
    msgwindow::WPARAM WParam = 0;
    msgwindow::LPARAM LParam = 0;
    msgwindow::LRESULT Result = 0;
};

constexpr msgwindow::UINT WM_SOCKET_SELECT = msgwindow::WM_USER + 1;          // 1025
constexpr msgwindow::UINT WM_SOCKET_HOSTBYNAME = msgwindow::WM_USER + 2;      // 1026
constexpr msgwindow::UINT WM_SOCKET_HOSTBYADDR = msgwindow::WM_USER + 3;      // 1027
constexpr msgwindow::UINT WM_SOCKET_CLOSE_DELAYED = msgwindow::WM_USER + 4;   // 1028
constexpr msgwindow::UINT WM_SOCKET_RELEASE = msgwindow::WM_USER + 5;         // 1029
constexpr msgwindow::UINT WM_SOCKET_TEST_EXCEPTION = msgwindow::WM_USER + 6;  // 1030

using TDataAvailable = std::function<void(QObject* Sender, uint16_t ErrCode)>;
using TDataSent = std::function<void(QObject* Sender, uint16_t ErrCode)>;
using TSessionClosed = std::function<void(QObject* Sender, uint16_t ErrCode)>;
using TSessionAvailable = std::function<void(QObject* Sender, uint16_t ErrCode)>;
using TSessionConnected = std::function<void(QObject* Sender, uint16_t ErrCode)>;
using TDnsLookupDone = std::function<void(QObject* Sender, uint16_t ErrCode)>;
using TSendData = std::function<void(QObject* Sender, int BytesSent)>;
using TChangeState =
    std::function<void(QObject* Sender, TSocketState OldState, TSocketState NewState)>;
using TBgExceptionEvent =
    std::function<void(QObject* Sender, const std::exception& E, bool& CanClose)>;
using TNotifyEvent = std::function<void(QObject* Sender)>;
