#include "socks_wsocket.h"

void TCustomSocksWSocket::Connect() { TCustomWSocket::Connect(); }
void TCustomSocksWSocket::Listen() { TCustomWSocket::Listen(); }
void TCustomSocksWSocket::ResetToDefaults() { TCustomWSocket::ResetToDefaults(); }
int TCustomSocksWSocket::GetRcvdCount() { return TCustomWSocket::GetRcvdCount(); }
bool TCustomSocksWSocket::FireDataAvailable(uint16_t Error) {
    return TCustomWSocket::FireDataAvailable(Error);
}
void TCustomSocksWSocket::FireSessionConnected(uint16_t Error) {
    TCustomWSocket::FireSessionConnected(Error);
}
void TCustomSocksWSocket::FireSessionClosed(uint16_t Error) {
    TCustomWSocket::FireSessionClosed(Error);
}
int TCustomSocksWSocket::RecvRaw(void* Buffer, int Len, int Flags) {
    return TCustomWSocket::RecvRaw(Buffer, Len, Flags);
}
