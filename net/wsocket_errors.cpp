// Failure reporting of the socket layer: the message texts and the two reporting paths
// (ESocketException, or OnError when it is assigned).
#include "socket_exception.h"
#include "winsock_binding.h"
#include "wsocket.h"

#include <cstring>

std::string FormatText(const std::string& Format, std::initializer_list<TFormatArg> Args) {
    std::string out;
    auto arg = Args.begin();
    for (std::size_t i = 0; i < Format.size(); ++i) {
        const char c = Format[i];
        if (c != '%' || i + 1 == Format.size()) {
            out += c;
            continue;
        }
        const char conversion = Format[++i];
        if (conversion == '%') {
            out += '%';
        } else if ((conversion == 'd' || conversion == 's') && arg != Args.end()) {
            if (auto* n = std::get_if<long long>(&*arg))
                out += std::to_string(*n);
            else
                out += std::get<std::string>(*arg);
            ++arg;
        } else {
            out += '%';
            out += conversion;
        }
    }
    return out;
}

std::string WinsockErrorText(int Code) {
    struct Entry {
        int Code;
        const char* Text;
    };
    static const Entry Table[] = {
        {0, "No Error"},
        {10004, "Interrupted system call"},
        {10009, "Bad file number"},
        {10013, "Permission denied"},
        {10014, "Bad address"},
        {10022, "Invalid argument"},
        {10024, "Too many open files"},
        {10035, "Operation would block"},
        {10036, "Operation now in progress"},
        {10037, "Operation already in progress"},
        {10038, "Socket operation on non-socket"},
        {10039, "Destination address required"},
        {10040, "Message too long"},
        {10041, "Protocol wrong type for socket"},
        {10042, "Protocol not available"},
        {10043, "Protocol not supported"},
        {10044, "Socket type not supported"},
        {10045, "Operation not supported on socket"},
        {10046, "Protocol family not supported"},
        {10047, "Address family not supported by protocol family"},
        {10048, "Address already in use"},
        {10049, "Address not available"},
        {10050, "Network is down"},
        {10051, "Network is unreachable"},
        {10052, "Network dropped connection on reset"},
        {10053, "Connection aborted"},
        {10054, "Connection reset by peer"},
        {10055, "No buffer space available"},
        {10056, "Socket is already connected"},
        {10057, "Socket is not connected"},
        {10058, "Can't send after socket shutdown"},
        {10059, "Too many references: can't splice"},
        {10060, "Connection timed out"},
        {10061, "Connection refused"},
        {10062, "Too many levels of symbolic links"},
        {10063, "File name too long"},
        {10064, "Host is down"},
        {10065, "No route to host"},
        {10066, "Directory not empty"},
        {10067, "Too many processes"},
        {10068, "Too many users"},
        {10069, "Disc quota exceeded"},
        {10070, "Stale NFS file handle"},
        {10071, "Too many levels of remote in path"},
        {10091, "Network sub-system is unusable"},
        {10092, "WinSock DLL cannot support this application"},
        {10093, "WinSock not initialized"},
        {11001, "Host not found"},
        {11002, "Non-authoritative host not found"},
        {11003, "Non-recoverable error"},
        {11004, "No Data"},
    };
    for (const auto& e : Table)
        if (e.Code == Code) return e.Text;
    return "Not a WinSock error";
}

void TCustomWSocket::ReportError(const std::string& Text) {
    if (OnError) {
        FireError();
        return;
    }
    throw ESocketException(Text);
}

void TCustomWSocket::ReportErrorFmt(const std::string& Format,
                                    std::initializer_list<TFormatArg> Args) {
    ReportError(FormatText(Format, Args));
}

void TCustomWSocket::ReportSocketError(const std::string& FunctionText) {
    const int err = WS(WSAGetLastError)();
    const std::string text = "Error " + std::to_string(err) + " in function " + FunctionText +
                             "\r\n" + WinsockErrorText(err);
    if (err == winsock::WSAECONNRESET || err == winsock::WSAENOTCONN) {
        if (Handle != winsock::INVALID_SOCKET) WS(closesocket)(Handle);
        Handle = winsock::INVALID_SOCKET;
        if (State_ != wsClosed && !CloseReported) {
            CloseReported = true;
            FireSessionClosed(static_cast<uint16_t>(err));
        }
        ChangeState(wsClosed);
    }
    LastError_ = err;
    ReportError(text);
}

void TCustomWSocket::HandleEventException(const std::exception& E) {
    bool canClose = true;
    if (OnBgException) {
        try {
            OnBgException(this, E, canClose);
        } catch (...) {
        }
    }
    if (canClose) {
        try {
            Abort();
        } catch (...) {
        }
    }
}
