#include "library.h"

#include "winsock.h"

#include <cstring>
#include <strings.h>
#include <mutex>
#include <string>

namespace library {

struct Export {
    const char* Name;
    FARPROC Proc;
};

struct Module {
    const char* Name;
    const Export* Exports;
    std::size_t Count;
};

namespace {

template <typename F>
FARPROC proc(F* f) {
    return reinterpret_cast<FARPROC>(f);
}

#define KORVEL_EXPORT(fn) Export{#fn, proc(&winsock::fn)}
const Export Wsock32Exports[] = {
    KORVEL_EXPORT(WSAStartup), KORVEL_EXPORT(WSACleanup), KORVEL_EXPORT(WSASetLastError),
    KORVEL_EXPORT(WSAGetLastError), KORVEL_EXPORT(WSACancelAsyncRequest),
    KORVEL_EXPORT(WSAAsyncGetHostByName), KORVEL_EXPORT(WSAAsyncGetHostByAddr),
    KORVEL_EXPORT(WSAAsyncSelect), KORVEL_EXPORT(getservbyname), KORVEL_EXPORT(getprotobyname),
    KORVEL_EXPORT(gethostbyname), KORVEL_EXPORT(socket), KORVEL_EXPORT(shutdown),
    KORVEL_EXPORT(setsockopt), KORVEL_EXPORT(getsockopt), KORVEL_EXPORT(sendto),
    KORVEL_EXPORT(send), KORVEL_EXPORT(sendv), KORVEL_EXPORT(recv), KORVEL_EXPORT(recvfrom),
    KORVEL_EXPORT(ntohs), KORVEL_EXPORT(htons), KORVEL_EXPORT(listen), KORVEL_EXPORT(ioctlsocket),
    KORVEL_EXPORT(inet_ntoa), KORVEL_EXPORT(inet_addr), KORVEL_EXPORT(getsockname),
    KORVEL_EXPORT(getpeername), KORVEL_EXPORT(connect), KORVEL_EXPORT(closesocket),
    KORVEL_EXPORT(bind), KORVEL_EXPORT(accept),
};
const Export Ws2_32Exports[] = {KORVEL_EXPORT(WSAIoctl), KORVEL_EXPORT(getaddrinfo),
                                KORVEL_EXPORT(freeaddrinfo), KORVEL_EXPORT(inet_pton),
                                KORVEL_EXPORT(inet_ntop)};
#undef KORVEL_EXPORT

const Module Modules[] = {
    {"wsock32.dll", Wsock32Exports, std::size(Wsock32Exports)},
    {"ws2_32.dll", Ws2_32Exports, std::size(Ws2_32Exports)},
};

std::mutex Lock;
int RefCount[std::size(Modules)] = {};
thread_local unsigned LastError = 0;

int indexOf(HMODULE m) {
    for (std::size_t i = 0; i < std::size(Modules); ++i)
        if (&Modules[i] == m) return static_cast<int>(i);
    return -1;
}

}  // namespace

HMODULE LoadLibrary(const char* name) {
    std::lock_guard lock(Lock);
    for (std::size_t i = 0; i < std::size(Modules); ++i) {
        if (name && strcasecmp(Modules[i].Name, name) == 0) {
            ++RefCount[i];
            return &Modules[i];
        }
    }
    LastError = ERROR_MOD_NOT_FOUND;
    return nullptr;
}

bool FreeLibrary(HMODULE module) {
    std::lock_guard lock(Lock);
    const int i = indexOf(module);
    if (i < 0 || RefCount[i] == 0) return false;
    --RefCount[i];
    return true;
}

FARPROC GetProcAddress(HMODULE module, const char* name) {
    if (module && name)
        for (std::size_t i = 0; i < module->Count; ++i)
            if (std::strcmp(module->Exports[i].Name, name) == 0) return module->Exports[i].Proc;
    LastError = ERROR_PROC_NOT_FOUND;
    return nullptr;
}

unsigned GetLastError() { return LastError; }

bool IsLoaded(const char* name) {
    std::lock_guard lock(Lock);
    for (std::size_t i = 0; i < std::size(Modules); ++i)
        if (strcasecmp(Modules[i].Name, name) == 0) return RefCount[i] > 0;
    return false;
}

}  // namespace library
