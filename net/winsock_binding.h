#pragma once
// The process-wide binding of the Windows Sockets library: loaded by name at the first network
// call of any socket object, started with the requested version, released with the last socket
// object. Every call of the socket layer goes through the entry-point cache: WS(name)(args...).
#include "critical_section.h"
#include "library.h"
#include "winsock.h"

#include <cstdint>
#include <string>

TCriticalSection& WinsockLock();      // load/unload, the cache and SocketObjectCount
TCriticalSection& WindowClassLock();  // registration and removal of the window class
int& SocketObjectCount();             // live socket objects plus guarded calls in progress

// The version word passed to WSAStartup: ReqVerLow is its low byte, ReqVerHigh its high byte.
uint8_t& ReqVerLowStorage();
uint8_t& ReqVerHighStorage();

bool WinsockLoaded();   // "wsock32.dll" is loaded
bool Winsock2Loaded();  // "ws2_32.dll" is loaded

library::FARPROC GetWinsockProc(const std::string& Name);   // empty name: only load and start
library::FARPROC GetWinsock2Proc(const std::string& Name);
void UnloadWinsock();

// The entry points, one cache slot each.
#define KORVEL_WINSOCK_ENTRIES(X)                                                              \
    X(WSAStartup) X(WSACleanup) X(WSASetLastError) X(WSAGetLastError) X(WSACancelAsyncRequest) \
    X(WSAAsyncGetHostByName) X(WSAAsyncGetHostByAddr) X(WSAAsyncSelect) X(getservbyname)       \
    X(getprotobyname) X(gethostbyname) X(socket) X(shutdown) X(setsockopt) X(getsockopt)       \
    X(sendto) X(send) X(sendv) X(recv) X(recvfrom) X(ntohs) X(htons) X(listen) X(ioctlsocket)  \
    X(inet_ntoa) X(inet_addr) X(getsockname) X(getpeername) X(connect) X(closesocket) X(bind)  \
    X(accept) X(WSAIoctl) X(getaddrinfo) X(freeaddrinfo) X(inet_pton) X(inet_ntop)

enum class WinsockEntry {
#define KORVEL_ENTRY_ENUM(n) n,
    KORVEL_WINSOCK_ENTRIES(KORVEL_ENTRY_ENUM)
#undef KORVEL_ENTRY_ENUM
};

library::FARPROC WinsockEntryPoint(WinsockEntry Entry);  // cached; resolves on first use

template <typename Fn>
Fn* WinsockCall(WinsockEntry Entry) {
    return reinterpret_cast<Fn*>(WinsockEntryPoint(Entry));
}
#define WS(name) (WinsockCall<decltype(winsock::name)>(WinsockEntry::name))

// getsockopt and inet_ntoa run with SocketObjectCount raised, so that the library cannot be
// released while they run.
int GuardedGetsockopt(winsock::SOCKET s, int level, int optName, char* optVal, int* optLen);
std::string GuardedInetNtoa(winsock::in_addr Addr);
