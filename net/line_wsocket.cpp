#include "line_wsocket.h"

TCustomLineWSocket::TCustomLineWSocket(QObject* Owner) : TCustomSocksWSocket(Owner) {}

void TCustomLineWSocket::HandleWindowMessage(TMessage& Msg) {
    TCustomSocksWSocket::HandleWindowMessage(Msg);
}
int TCustomLineWSocket::GetRcvdCount() { return TCustomSocksWSocket::GetRcvdCount(); }
bool TCustomLineWSocket::FireDataAvailable(uint16_t Error) {
    return TCustomSocksWSocket::FireDataAvailable(Error);
}
void TCustomLineWSocket::FireSessionClosed(uint16_t Error) {
    TCustomSocksWSocket::FireSessionClosed(Error);
}
int TCustomLineWSocket::RecvRaw(void* Buffer, int Len, int Flags) {
    return TCustomSocksWSocket::RecvRaw(Buffer, Len, Flags);
}
