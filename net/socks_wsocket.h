#pragma once
// The SOCKS client layer of the socket object. Without a SOCKS server configured it passes
// everything through to the plain socket.
#include "wsocket.h"

class TCustomSocksWSocket : public TCustomWSocket {
public:
    using TCustomWSocket::TCustomWSocket;

    void Connect() override;
    void Listen() override;

protected:
    void ResetToDefaults() override;
    int GetRcvdCount() override;
    bool FireDataAvailable(uint16_t Error) override;
    void FireSessionConnected(uint16_t Error) override;
    void FireSessionClosed(uint16_t Error) override;
    int RecvRaw(void* Buffer, int Len, int Flags) override;
};
