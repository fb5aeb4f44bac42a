#include "winsock_binding.h"

#include "socket_exception.h"

#include <array>
#include <atomic>
#include <mutex>

namespace {

const char* const Wsock32Name = "wsock32.dll";
const char* const Ws2_32Name = "ws2_32.dll";

const char* const EntryNames[] = {
#define KORVEL_ENTRY_NAME(n) #n,
    KORVEL_WINSOCK_ENTRIES(KORVEL_ENTRY_NAME)
#undef KORVEL_ENTRY_NAME
};
constexpr std::size_t EntryCount = std::size(EntryNames);

struct Binding {
    library::HMODULE Wsock32 = nullptr;
    library::HMODULE Ws2_32 = nullptr;
    std::array<std::atomic<library::FARPROC>, EntryCount> Cache{};
    winsock::WSADATA StartupData{};
};

Binding& binding() {
    static Binding b;
    return b;
}

std::string lastErrorText() { return std::to_string(library::GetLastError()); }

// Step 1 of every resolution: load and start wsock32 once per binding. A failed start-up is
// not retried until the library has been released.
void loadWsock32(Binding& b) {
    if (b.Wsock32) return;
    b.Wsock32 = library::LoadLibrary(Wsock32Name);
    if (!b.Wsock32)
        throw ESocketException(std::string("Unable to load ") + Wsock32Name + " Error #" +
                               lastErrorText());
    auto startup = reinterpret_cast<decltype(&winsock::WSAStartup)>(
        library::GetProcAddress(b.Wsock32, "WSAStartup"));
    const int rc = startup ? startup(winsock::MAKEWORD(ReqVerLowStorage(), ReqVerHighStorage()),
                                     &b.StartupData)
                           : winsock::WSASYSNOTREADY;
    if (rc != 0)
        throw ESocketException(std::string(Wsock32Name) + ": WSAStartup error #" +
                               std::to_string(rc));
}

library::FARPROC resolve(library::HMODULE module, const char* moduleName, const std::string& name) {
    library::FARPROC p = library::GetProcAddress(module, name.c_str());
    if (!p)
        throw ESocketException("Procedure " + name + " not found in " + moduleName + " Error #" +
                               lastErrorText());
    return p;
}

}  // namespace

TCriticalSection& WinsockLock() {
    static TCriticalSection lock;
    return lock;
}

TCriticalSection& WindowClassLock() {
    static TCriticalSection lock;
    return lock;
}

int& SocketObjectCount() {
    static int count = 0;
    return count;
}

uint8_t& ReqVerLowStorage() {
    static uint8_t v = 1;
    return v;
}

uint8_t& ReqVerHighStorage() {
    static uint8_t v = 1;
    return v;
}

bool WinsockLoaded() {
    std::lock_guard lock(WinsockLock());
    return binding().Wsock32 != nullptr;
}

bool Winsock2Loaded() {
    std::lock_guard lock(WinsockLock());
    return binding().Ws2_32 != nullptr;
}

library::FARPROC GetWinsockProc(const std::string& Name) {
    std::lock_guard lock(WinsockLock());
    Binding& b = binding();
    loadWsock32(b);
    if (Name.empty()) return nullptr;
    return resolve(b.Wsock32, Wsock32Name, Name);
}

library::FARPROC GetWinsock2Proc(const std::string& Name) {
    std::lock_guard lock(WinsockLock());
    Binding& b = binding();
    loadWsock32(b);
    if (!b.Ws2_32) {
        b.Ws2_32 = library::LoadLibrary(Ws2_32Name);
        if (!b.Ws2_32)
            throw ESocketException(std::string("Unable to load ") + Ws2_32Name + " Error #" +
                                   lastErrorText());
    }
    return resolve(b.Ws2_32, Ws2_32Name, Name);
}

void UnloadWinsock() {
    std::lock_guard lock(WinsockLock());
    Binding& b = binding();
    if (!b.Wsock32 || SocketObjectCount() != 0) return;
    if (auto cleanup = reinterpret_cast<decltype(&winsock::WSACleanup)>(
            library::GetProcAddress(b.Wsock32, "WSACleanup")))
        cleanup();
    if (b.Ws2_32) {
        library::FreeLibrary(b.Ws2_32);
        b.Ws2_32 = nullptr;
    }
    library::FreeLibrary(b.Wsock32);
    b.Wsock32 = nullptr;
    for (auto& entry : b.Cache) entry.store(nullptr);
}

library::FARPROC WinsockEntryPoint(WinsockEntry Entry) {
    const auto i = static_cast<std::size_t>(Entry);
    Binding& b = binding();
    // The cache is read without the lock: every call of the layer passes here.
    if (library::FARPROC p = b.Cache[i].load(std::memory_order_acquire)) return p;
    std::lock_guard lock(WinsockLock());
    // The calls of later versions (IPv6 among them) live in ws2_32.
    library::FARPROC p = Entry >= WinsockEntry::WSAIoctl ? GetWinsock2Proc(EntryNames[i])
                                                         : GetWinsockProc(EntryNames[i]);
    b.Cache[i].store(p, std::memory_order_release);
    return p;
}

namespace {
// Holds SocketObjectCount up for the duration of one call.
struct CallGuard {
    CallGuard() {
        std::lock_guard lock(WinsockLock());
        ++SocketObjectCount();
    }
    ~CallGuard() {
        std::lock_guard lock(WinsockLock());
        --SocketObjectCount();
    }
};
}  // namespace

int GuardedGetsockopt(winsock::SOCKET s, int level, int optName, char* optVal, int* optLen) {
    CallGuard guard;
    return WS(getsockopt)(s, level, optName, optVal, optLen);
}

std::string GuardedInetNtoa(winsock::in_addr Addr) {
    CallGuard guard;
    return WS(inet_ntoa)(Addr);
}
