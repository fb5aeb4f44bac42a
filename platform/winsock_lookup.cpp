// Host, service and protocol look-ups, blocking and asynchronous, with Windows records.
#include "posix_net.h"
#include "winsock.h"

#include <QThreadPool>


#include <cctype>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace winsock {
namespace {

struct HostData {
    int Error = 0;
    std::string Name;
    std::vector<std::string> Aliases;
    std::vector<u_long> Addresses;  // network byte order
};

int errorFromGai(int rc) {
    switch (rc) {
    case EAI_NONAME: return WSAHOST_NOT_FOUND;
    case EAI_AGAIN: return WSATRY_AGAIN;
    case EAI_NODATA: return WSANO_DATA;
    case EAI_ADDRFAMILY: return WSANO_DATA;
    default: return WSANO_RECOVERY;
    }
}

// Names under the reserved top-level domain "invalid" never exist (RFC 6761): they are answered
// here, without a query to any name server.
bool reservedInvalid(std::string name) {
    while (!name.empty() && std::isspace(static_cast<unsigned char>(name.back()))) name.pop_back();
    if (!name.empty() && name.back() == '.') name.pop_back();
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::string tld = "invalid";
    return name == tld || (name.size() > tld.size() &&
                           name.compare(name.size() - tld.size() - 1, std::string::npos, "." + tld) == 0);
}

HostData resolveName(const std::string& name) {
    HostData d;
    if (reservedInvalid(name)) {
        d.Error = WSAHOST_NOT_FOUND;
        return d;
    }
    ::addrinfo hints{};
    hints.ai_family = posix::af_inet;
    hints.ai_socktype = ::SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    ::addrinfo* list = nullptr;
    const int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &list);
    if (rc != 0) {
        d.Error = errorFromGai(rc);
        return d;
    }
    d.Name = list->ai_canonname ? list->ai_canonname : name;
    for (::addrinfo* a = list; a; a = a->ai_next) {
        const u_long addr = reinterpret_cast<::sockaddr_in*>(a->ai_addr)->sin_addr.s_addr;
        bool seen = false;
        for (u_long known : d.Addresses) seen = seen || known == addr;
        if (!seen) d.Addresses.push_back(addr);
    }
    ::freeaddrinfo(list);
    return d;
}

HostData resolveAddress(u_long addr) {
    HostData d;
    ::sockaddr_in a{};
    a.sin_family = posix::af_inet;
    a.sin_addr.s_addr = addr;
    char host[NI_MAXHOST];
    const int rc = ::getnameinfo(reinterpret_cast<::sockaddr*>(&a), sizeof a, host, sizeof host,
                                 nullptr, 0, NI_NAMEREQD);
    if (rc != 0) {
        d.Error = errorFromGai(rc);
        return d;
    }
    d.Name = host;
    d.Addresses.push_back(addr);
    return d;
}

// Lays a host record out in a buffer, every pointer pointing inside it; returns the length
// needed, and writes only when the buffer (pointer-aligned) holds that many bytes.
int layoutHost(const HostData& d, char* buf, int len) {
    const size_t ptr = sizeof(char*);
    size_t need = sizeof(hostent);
    const size_t aliasesAt = need;
    need += (d.Aliases.size() + 1) * ptr;
    const size_t listAt = need;
    need += (d.Addresses.size() + 1) * ptr;
    const size_t addrsAt = need;
    need += d.Addresses.size() * 4;
    const size_t stringsAt = need;
    need += d.Name.size() + 1;
    for (auto& a : d.Aliases) need += a.size() + 1;
    if (!buf || need > static_cast<size_t>(len)) return static_cast<int>(need);

    auto* h = reinterpret_cast<hostent*>(buf);
    auto** aliases = reinterpret_cast<char**>(buf + aliasesAt);
    auto** list = reinterpret_cast<char**>(buf + listAt);
    char* text = buf + stringsAt;
    h->h_name = text;
    std::memcpy(text, d.Name.c_str(), d.Name.size() + 1);
    text += d.Name.size() + 1;
    for (size_t i = 0; i < d.Aliases.size(); ++i) {
        aliases[i] = text;
        std::memcpy(text, d.Aliases[i].c_str(), d.Aliases[i].size() + 1);
        text += d.Aliases[i].size() + 1;
    }
    aliases[d.Aliases.size()] = nullptr;
    for (size_t i = 0; i < d.Addresses.size(); ++i) {
        list[i] = buf + addrsAt + 4 * i;
        std::memcpy(list[i], &d.Addresses[i], 4);
    }
    list[d.Addresses.size()] = nullptr;
    h->h_aliases = aliases;
    h->h_addr_list = list;
    h->h_addrtype = AF_INET;
    h->h_length = 4;
    return static_cast<int>(need);
}

hostent* hostRecord(const HostData& d) {
    thread_local std::vector<std::uint64_t> storage;
    if (d.Error) {
        WSASetLastError(d.Error);
        return nullptr;
    }
    const int need = layoutHost(d, nullptr, 0);
    storage.assign(static_cast<size_t>(need) / 8 + 1, 0);
    layoutHost(d, reinterpret_cast<char*>(storage.data()), need);
    return reinterpret_cast<hostent*>(storage.data());
}

// Pending asynchronous requests. A request leaves the table when its reply is delivered or
// when it is cancelled; the reply is copied into the caller's buffer on the caller's thread,
// at delivery, so a cancelled request never writes into memory its caller has given up.
struct Request {
    HWND Window;
    unsigned Msg;
    char* Buffer;
    int Length;
};
std::mutex RequestLock;
std::map<HANDLE, Request> Requests;
HANDLE NextRequest = 1;

HANDLE startLookup(HWND window, unsigned msg, char* buf, int bufLen,
                   std::function<HostData()> work) {
    if (!IsStarted()) {
        WSASetLastError(WSANOTINITIALISED);
        return 0;
    }
    if (!msgwindow::IsWindow(window) || !buf || bufLen <= 0) {
        WSASetLastError(WSAEINVAL);
        return 0;
    }
    HANDLE id;
    {
        std::lock_guard lock(RequestLock);
        id = NextRequest++;
        Requests.emplace(id, Request{window, msg, buf, bufLen});
    }
    QThreadPool::globalInstance()->start([id, work = std::move(work)] {
        HostData data = work();
        std::lock_guard lock(RequestLock);
        auto it = Requests.find(id);
        if (it == Requests.end()) return;  // cancelled meanwhile
        const int need = layoutHost(data, nullptr, 0);
        int error = data.Error;
        if (!error && need > it->second.Length) error = WSAENOBUFS;
        const auto reply = WSAMAKESELECTREPLY(static_cast<std::uint16_t>(need),
                                              static_cast<std::uint16_t>(error));
        auto gate = [id, data = std::move(data), error](msgwindow::Delivery phase) {
            if (phase != msgwindow::Delivery::Starting) return true;
            std::lock_guard lock(RequestLock);
            auto it = Requests.find(id);
            if (it == Requests.end()) return false;  // cancelled before delivery
            if (!error) layoutHost(data, it->second.Buffer, it->second.Length);
            Requests.erase(it);
            return true;
        };
        if (!msgwindow::PostMessage(it->second.Window, it->second.Msg, id, reply, std::move(gate)))
            Requests.erase(it);
    });
    return id;
}

}  // namespace

hostent* gethostbyname(const char* name) {
    if (!IsStarted()) {
        WSASetLastError(WSANOTINITIALISED);
        return nullptr;
    }
    if (!name) {
        WSASetLastError(WSAEFAULT);
        return nullptr;
    }
    return hostRecord(resolveName(name));
}

servent* getservbyname(const char* name, const char* proto) {
    thread_local servent record;
    thread_local std::string recordName, recordProto;
    thread_local char* noAliases[1] = {nullptr};
    if (!IsStarted()) {
        WSASetLastError(WSANOTINITIALISED);
        return nullptr;
    }
    ::servent se, *res = nullptr;
    char buf[1024];
    if (!name || ::getservbyname_r(name, proto, &se, buf, sizeof buf, &res) != 0 || !res) {
        WSASetLastError(WSANO_DATA);
        return nullptr;
    }
    recordName = res->s_name;
    recordProto = res->s_proto;
    record.s_name = recordName.data();
    record.s_aliases = noAliases;
    record.s_port = static_cast<short>(res->s_port);  // network byte order, as on Windows
    record.s_proto = recordProto.data();
    return &record;
}

protoent* getprotobyname(const char* name) {
    thread_local protoent record;
    thread_local std::string recordName;
    thread_local char* noAliases[1] = {nullptr};
    if (!IsStarted()) {
        WSASetLastError(WSANOTINITIALISED);
        return nullptr;
    }
    ::protoent pe, *res = nullptr;
    char buf[1024];
    if (!name || ::getprotobyname_r(name, &pe, buf, sizeof buf, &res) != 0 || !res) {
        WSASetLastError(WSANO_DATA);
        return nullptr;
    }
    recordName = res->p_name;
    record.p_name = recordName.data();
    record.p_aliases = noAliases;
    record.p_proto = static_cast<short>(res->p_proto);
    return &record;
}

// The answers of getaddrinfo, each record with its address in one allocation.
namespace {
struct AddrInfoBlock {
    addrinfo Info{};
    sockaddr_in6 Address{};  // room for either family
};
}  // namespace

int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** result) {
    if (!IsStarted()) return WSANOTINITIALISED;
    if (!node || !result || service) return WSAEINVAL;
    *result = nullptr;
    const int family = hints ? hints->ai_family : AF_UNSPEC;
    if (family != AF_UNSPEC && family != AF_INET && family != AF_INET6) return WSAEAFNOSUPPORT;
    if (reservedInvalid(node)) return WSAHOST_NOT_FOUND;
    ::addrinfo h{};
    h.ai_family = family == AF_INET6 ? posix::af_inet6 : family == AF_INET ? posix::af_inet : 0;
    h.ai_socktype = hints && hints->ai_socktype == SOCK_DGRAM ? ::SOCK_DGRAM : ::SOCK_STREAM;
    ::addrinfo* list = nullptr;
    if (const int rc = ::getaddrinfo(node, nullptr, &h, &list)) return errorFromGai(rc);
    addrinfo** tail = result;
    for (::addrinfo* a = list; a; a = a->ai_next) {
        auto* block = new AddrInfoBlock;
        block->Info.ai_socktype = hints ? hints->ai_socktype : SOCK_STREAM;
        block->Info.ai_protocol = a->ai_protocol;
        block->Info.ai_addr = reinterpret_cast<sockaddr*>(&block->Address);
        if (a->ai_family == posix::af_inet6) {
            ::sockaddr_in6 in;
            std::memcpy(&in, a->ai_addr, sizeof in);
            block->Info.ai_family = AF_INET6;
            block->Info.ai_addrlen = sizeof(sockaddr_in6);
            block->Address.sin6_family = AF_INET6;
            std::memcpy(&block->Address.sin6_addr, &in.sin6_addr, 16);
            block->Address.sin6_scope_id = in.sin6_scope_id;
        } else {
            block->Info.ai_family = AF_INET;
            block->Info.ai_addrlen = sizeof(sockaddr_in);
            std::memcpy(&block->Address, a->ai_addr, sizeof(sockaddr_in));
        }
        *tail = &block->Info;
        tail = &block->Info.ai_next;
    }
    ::freeaddrinfo(list);
    return 0;
}

void freeaddrinfo(addrinfo* list) {
    while (list) {
        addrinfo* next = list->ai_next;
        delete reinterpret_cast<AddrInfoBlock*>(list);  // Info is the block's first member
        list = next;
    }
}

HANDLE WSAAsyncGetHostByName(HWND window, unsigned msg, const char* name, char* buf, int bufLen) {
    if (!name) {
        WSASetLastError(WSAEFAULT);
        return 0;
    }
    return startLookup(window, msg, buf, bufLen, [n = std::string(name)] { return resolveName(n); });
}

HANDLE WSAAsyncGetHostByAddr(HWND window, unsigned msg, const char* addr, int len, int type,
                             char* buf, int bufLen) {
    if (!addr || len != 4) {
        WSASetLastError(WSAEFAULT);
        return 0;
    }
    if (type != AF_INET) {
        WSASetLastError(WSAEAFNOSUPPORT);
        return 0;
    }
    u_long a;
    std::memcpy(&a, addr, 4);
    return startLookup(window, msg, buf, bufLen, [a] { return resolveAddress(a); });
}

int WSACancelAsyncRequest(HANDLE request) {
    std::lock_guard lock(RequestLock);
    if (Requests.erase(request) == 1) return 0;
    WSASetLastError(request != 0 && request < NextRequest ? WSAEALREADY : WSAEINVAL);
    return SOCKET_ERROR;
}

}  // namespace winsock
