#pragma once
// The line-mode layer of the socket object. With line mode off it passes everything through.
#include "socks_wsocket.h"

class TCustomLineWSocket : public TCustomSocksWSocket {
public:
    explicit TCustomLineWSocket(QObject* Owner = nullptr);

    void HandleWindowMessage(TMessage& Msg) override;

protected:
    int GetRcvdCount() override;
    bool FireDataAvailable(uint16_t Error) override;
    void FireSessionClosed(uint16_t Error) override;
    int RecvRaw(void* Buffer, int Len, int Flags) override;
};

// Adds waiting for an operation to complete.
class TCustomSyncWSocket : public TCustomLineWSocket {
public:
    using TCustomLineWSocket::TCustomLineWSocket;
};

// The socket object that components create.
class TWSocket : public TCustomSyncWSocket {
public:
    using TCustomSyncWSocket::TCustomSyncWSocket;
    ~TWSocket() override { BeginDestroy(); }
};
