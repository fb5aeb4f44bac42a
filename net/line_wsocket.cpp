// Line assembly. In line mode every read from the platform is appended to the line buffer, the
// buffer is searched for LineEnd, and each line found is offered to the data handler until the
// handler has read all of it with Receive; what follows stays held for the next read.
#include "line_wsocket.h"

#include "flag_scope.h"
#include "winsock_binding.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <string_view>
#include <utility>

namespace {
// The most one pass reads from the platform. It also bounds what is read ahead while a line
// waits for the owner to read it: beyond this much held, the platform keeps the rest (and TCP's
// window holds the peer back) until the owner takes its lines.
constexpr int MaxLineRead = 64 * 1024;
constexpr unsigned SliceCheckLines = 16;
}  // namespace

TCustomLineWSocket::TCustomLineWSocket(QObject* Owner) : TCustomTlsWSocket(Owner) {}

void TCustomLineWSocket::SetLineMode(bool Value) {
    if (Value == LineMode_) return;
    LineMode_ = Value;
    // Bytes held while line mode was off were never searched for line ends.
    if (Value) SearchFrom = 0;
    // Held bytes are delivered in the new mode from the message loop, not from inside the
    // caller, which may be a data handler in the middle of a dispatch.
    if (LineHeld > 0 || LineLength > 0)
        msgwindow::PostMessage(WindowHandle, WM_SOCKET_REDISPATCH, 0, 0);
}

void TCustomLineWSocket::HandleWindowMessage(TMessage& Msg) {
    if (Msg.Msg != WM_SOCKET_REDISPATCH) return TCustomTlsWSocket::HandleWindowMessage(Msg);
    // Held bytes go to the data handler as from the receive loop, which swallows what the
    // handler raises: it never aborts the connection (by the time the exception arrives that
    // may be another one, which a handler of the held lines started).
    try {
        Redispatch();
    } catch (...) {
    }
}

int TCustomLineWSocket::GetRcvdCount() {
    if (LineMode_) return LineLength;
    // Bytes held from line mode are what the next Receive returns.
    if (LineHeld > 0) return LineHeld;
    return TCustomTlsWSocket::GetRcvdCount();
}

int TCustomLineWSocket::WriteLine(const std::string& Str) {
    if (Str.empty()) return 0;
    // One send of the text and its line end: nothing can stay queued behind an empty LineEnd.
    const std::string line = Str + LineEnd_;
    return Send(line.data(), static_cast<int>(line.size()));
}

// --- Reading ------------------------------------------------------------------------------

int TCustomLineWSocket::RecvRaw(void* Buffer, int Len, int Flags) {
    if (Len > 0 && LineMode_ && LineLength > 0) {
        // The line that is ready, or the next part of it for a smaller buffer.
        const int n = std::min(Len, LineLength);
        std::memcpy(Buffer, Held(), static_cast<size_t>(n));
        DropHeld(n);
        LineLength -= n;
        // Read outside a delivery (the owner deferred it and reads it now): the lines held
        // behind it are offered from the message loop, as new data would be, and reading from
        // the platform resumes if it waited for this line.
        if (LineLength == 0 && Delivering == 0) {
            if (LineHeld > 0)
                msgwindow::PostMessage(WindowHandle, WM_SOCKET_REDISPATCH, 0, 0);
            else if (std::exchange(ReadHeldBack, false))
                PostOwnNotification(winsock::FD_READ);
        }
        return n;
    }
    if (Len > 0 && !LineMode_ && LineHeld > 0) {
        // Bytes left over from line mode come before anything new from the platform.
        const int n = std::min(Len, LineHeld);
        std::memcpy(Buffer, Held(), static_cast<size_t>(n));
        DropHeld(n);
        return n;
    }
    return TCustomTlsWSocket::RecvRaw(Buffer, Len, Flags);
}

void TCustomLineWSocket::DropHeld(int Count) {
    Count = std::min(Count, LineHeld);
    if (Count <= 0) return;
    LineStart += Count;
    LineHeld -= Count;
    SearchFrom = std::max(0, SearchFrom - Count);
    if (LineHeld == 0) LineStart = 0;
    Held()[LineHeld] = 0;
}

void TCustomLineWSocket::CompactHeld() {
    if (LineStart == 0) return;
    std::memmove(LineBuffer.data(), Held(), static_cast<size_t>(LineHeld) + 1);
    LineStart = 0;
}

void TCustomLineWSocket::FreeLineBuffer() {
    LineBuffer.clear();
    LineBuffer.shrink_to_fit();
    LineStart = 0;
    LineHeld = 0;
    LineLength = 0;
    SearchFrom = 0;
    ReadHeldBack = false;
    ++LineBufferGeneration;
}

bool TCustomLineWSocket::FireDataAvailable(uint16_t Error) {
    if (!LineMode_ || LineEnd_.empty() || Negotiating())
        return TCustomTlsWSocket::FireDataAvailable(Error);

    int count = 0;
    if (LineLength > 0 && LineHeld >= MaxLineRead) {
        // The owner has left a line unread and enough is held behind it: its lines are offered
        // again, but nothing more is read until it takes them.
        ReadHeldBack = true;
    } else {
        // One read from the platform per pass, sized by what is pending there, up to a bound:
        // a flood is taken in passes that reuse one buffer of bounded size, not in one
        // allocation as large as the flood.
        int pending = TCustomTlsWSocket::GetRcvdCount();
        if (pending < 0) return true;
        if (pending == 0) pending = 255;
        pending = std::min(pending, MaxLineRead);
        CompactHeld();
        const size_t needed = static_cast<size_t>(LineHeld) + static_cast<size_t>(pending) + 1;
        if (LineBuffer.size() < needed) LineBuffer.resize(needed);
        // Read below this layer: ReadCount counts what the owner receives, not the assembly.
        count = TCustomTlsWSocket::RecvRaw(LineBuffer.data() + LineHeld, pending, 0);
        if (count < 0) LastError_ = WS(WSAGetLastError)();
        if (count < 1) {
            if (LineHeld == 0) return true;
            count = 0;  // search the held bytes again
        }
    }

    const unsigned generation = LineBufferGeneration;
    if (count > 0) {
        if (LineEdit_)
            ApplyLineEditing(count);  // echoes too
        else if (LineEcho_)
            Send(LineBuffer.data() + LineHeld, count);
        // An echo that failed has closed the session and freed the buffer.
        if (generation != LineBufferGeneration) return true;
    }
    // A line end split across two reads starts before the new bytes; editing may have
    // rewritten held bytes too.
    SearchFrom = std::min(SearchFrom, std::max(0, LineHeld - static_cast<int>(LineEnd_.size()) + 1));
    LineHeld += count;
    LineBuffer[static_cast<size_t>(LineHeld)] = 0;

    const TDelivery delivery = DeliverLines(TSlice::Yield);
    if (delivery == TDelivery::Closed) return true;
    CheckLineLimit(delivery);
    // The owner has taken the line that held reading back: what the platform kept comes now.
    if (generation == LineBufferGeneration && LineLength == 0 && std::exchange(ReadHeldBack, false))
        PostOwnNotification(winsock::FD_READ);
    return true;
}

// Offers every complete line in the buffer, each until the handler has read all of it.
TCustomLineWSocket::TDelivery TCustomLineWSocket::DeliverLines(TSlice Slice) {
    const unsigned generation = LineBufferGeneration;
    ++Delivering;
    // A handler that throws ends the pass (the exception goes on to the receive loop, which
    // swallows it); the lines still held are offered again from the message loop, since no
    // new data may ever come to announce them.
    struct TLeave {
        TCustomLineWSocket& Socket;
        unsigned Generation;
        int Unwinding = std::uncaught_exceptions();
        ~TLeave() {
            --Socket.Delivering;
            if (std::uncaught_exceptions() > Unwinding && Generation == Socket.LineBufferGeneration &&
                Socket.LineHeld > 0)
                msgwindow::PostMessage(Socket.WindowHandle, WM_SOCKET_REDISPATCH, 0, 0);
        }
    } leave{*this, generation};
    while (LineMode_ && !LineEnd_.empty()) {
        // A line that the handler left unread is offered again before any search.
        if (LineLength == 0 && !FindLine()) return TDelivery::NoLineEnd;
        LineFound = true;
        // A call that takes nothing ends the pass: the handler is offered the line again with
        // the next notification (new data, Resume, or a line it reads itself).
        while (LineMode_ && LineLength > 0) {
            if (Paused) return TDelivery::Held;
            const int before = LineLength;
            if (!TCustomTlsWSocket::FireDataAvailable(0)) {
                DropHeld(LineLength);  // nobody takes lines: dropped
                LineLength = 0;
            }
            if (generation != LineBufferGeneration) return TDelivery::Closed;
            if (Paused || LineLength == before) return TDelivery::Held;
        }
        if (!LineMode_) {
            // A handler switched line mode off: the unread rest of its line and everything
            // behind it go out raw, in order.
            LineLength = 0;
            while (!LineMode_ && LineHeld > 0) {
                const int before = LineHeld;
                if (!TCustomTlsWSocket::FireDataAvailable(0)) DropHeld(LineHeld);
                if (generation != LineBufferGeneration) return TDelivery::Closed;
                if (Paused || LineHeld == before) return TDelivery::Held;
            }
        }
        if (Slice == TSlice::Yield && LineHeld > 0 && ++LinesSinceSliceCheck % SliceCheckLines == 0 &&
            SliceOver()) {
            // Other events get their turn; the rest comes with a posted FD_READ.
            PostOwnNotification(winsock::FD_READ);
            return TDelivery::Held;
        }
    }
    return TDelivery::Held;
}

// Sets LineLength to the first line of the held bytes; false when none is complete yet.
bool TCustomLineWSocket::FindLine() {
    const int endLength = static_cast<int>(LineEnd_.size());
    const int last = LineHeld - endLength;  // the last place a line end can start
    const char* held = Held();
    const char first = LineEnd_[0];
    for (int i = SearchFrom; i <= last; ++i) {
        // The first byte is found fast; only there is the rest of the sequence compared.
        const void* hit = std::memchr(held + i, first, static_cast<size_t>(last - i + 1));
        if (!hit) break;
        i = static_cast<int>(static_cast<const char*>(hit) - held);
        int k = 1;  // a line end is a byte or two: compared here, not by a library call
        while (k < endLength && held[i + k] == LineEnd_[static_cast<size_t>(k)]) ++k;
        if (k == endLength) {
            LineLength = i + endLength;
            SearchFrom = 0;
            return true;
        }
    }
    SearchFrom = std::max(SearchFrom, last + 1);
    return false;
}

// Where the bytes behind the last line end in the held bytes start; 0 when none ends there.
int TCustomLineWSocket::LineTailStart() const {
    const size_t at = std::string_view(Held(), static_cast<size_t>(LineHeld)).rfind(LineEnd_);
    return at == std::string_view::npos ? 0 : static_cast<int>(at + LineEnd_.size());
}

// The bytes behind the last line end are a line still coming in; more than LineLimit of them
// is an endless line, also when complete lines that the owner has not read yet wait in front
// of it. Only those bytes count, and only they are cleared: complete lines are never dropped.
void TCustomLineWSocket::CheckLineLimit(TDelivery Delivery) {
    if (!LineMode_ || LineLimit_ <= 0 || LineHeld <= LineLimit_) return;
    // A pass that found no line end has searched all the held bytes.
    const int tail = LineHeld - (Delivery == TDelivery::NoLineEnd ? 0 : LineTailStart());
    if (tail <= LineLimit_) return;
    bool clearData = true;
    const unsigned generation = LineBufferGeneration;
    {
        TFlagScope running(LineLimitRunning);
        FireLineLimitExceeded(tail, clearData);
    }
    if (generation != LineBufferGeneration || !clearData) return;
    // The handler may have read lines meanwhile: the end of the last one is found again.
    LineHeld = Delivery == TDelivery::NoLineEnd ? 0 : LineTailStart();
    SearchFrom = 0;
    if (!LineBuffer.empty()) Held()[LineHeld] = 0;
}

void TCustomLineWSocket::FireLineLimitExceeded(int RcvdLength, bool& ClearData) {
    if (OnLineLimitExceeded) OnLineLimitExceeded(this, RcvdLength, ClearData);
}

// Backspace (8) removes the byte before it, also one held from an earlier read; tab (9) becomes
// blanks up to the next multiple of 8 (positions counted from the start of the buffer, which is
// the start of the current line). With LineEcho on, the peer gets what a terminal shows: each
// byte, blank for tab, and backspace-blank-backspace for an erase. Afterwards LineHeld is the
// lowest position the editing reached and Count the bytes from there on, so that the line end
// search looks at everything that changed.
void TCustomLineWSocket::ApplyLineEditing(int& Count) {
    const char* incoming = LineBuffer.data() + LineHeld;
    const bool editing = std::memchr(incoming, 8, static_cast<size_t>(Count)) ||
                         std::memchr(incoming, 9, static_cast<size_t>(Count));
    if (!editing) {
        if (LineEcho_) Send(incoming, Count);
        return;
    }
    std::string edited(LineBuffer.data(), static_cast<size_t>(LineHeld));
    std::string echo;
    size_t lowest = edited.size();
    for (int i = 0; i < Count; ++i) {
        const char c = incoming[i];
        switch (c) {
        case 8:
            if (edited.empty()) break;  // nothing to erase: dropped, not echoed
            if (LineEcho_) echo += "\b \b";
            edited.pop_back();
            lowest = std::min(lowest, edited.size());
            break;
        case 9:
            do {
                edited += ' ';
                if (LineEcho_) echo += ' ';
            } while (edited.size() % 8 != 0);
            break;
        default:
            edited += c;
            if (LineEcho_) echo += c;
        }
    }
    if (LineBuffer.size() < edited.size() + 1) LineBuffer.resize(edited.size() + 1);
    std::memcpy(LineBuffer.data(), edited.data(), edited.size());
    LineBuffer[edited.size()] = 0;
    LineHeld = static_cast<int>(lowest);
    Count = static_cast<int>(edited.size() - lowest);
    if (!echo.empty()) SendStr(echo);
}

// --- Closing and re-dispatch ----------------------------------------------------------------

void TCustomLineWSocket::FireSessionClosed(uint16_t Error) {
    if (!LineBuffer.empty()) {
        // The complete lines still held go out one by one, then the bytes without a line end
        // as the session's last line.
        // A handler that paused or declined on the way has ended the delivery: no later comes.
        // One that throws ends it too, as in the receive loop; the close is still reported.
        LastLinesOfClose = true;
        LastLinesCloseError = Error;
        // The session is over: proxy settings that a handler of its last lines makes are for
        // the next connection.
        if (!Negotiating()) {
            ClearSocksSettings();
            SocksSettingsCleared = true;
        }
        // A handler that waits in a nested loop may meet another close of this connection,
        // and a connection started from there: the buffer is then that one's, and stays.
        const unsigned generation = LineBufferGeneration;
        try {
            if (LineMode_ && LineHeld > 0 && !LineLimitRunning &&
                DeliverLines(TSlice::Ignore) == TDelivery::NoLineEnd && LineMode_ && LineHeld > 0) {
                LineLength = LineHeld;
                while (LineMode_ && LineLength > 0 && !Paused) {
                    const int before = LineLength;
                    if (!TCustomTlsWSocket::FireDataAvailable(0)) break;
                    if (generation != LineBufferGeneration || LineLength == before) break;
                }
            }
        } catch (...) {
        }
        if (generation == LineBufferGeneration) FreeLineBuffer();
        // A handler of the last lines started another connection, and heard of this close
        // before it did.
        if (!std::exchange(LastLinesOfClose, false)) return;
    }
    TCustomTlsWSocket::FireSessionClosed(Error);
}

void TCustomLineWSocket::Connect() {
    if (std::exchange(LastLinesOfClose, false)) {
        // The proxy settings now made are the new connection's: the old ones went before the
        // last lines did.
        SocksSettingsCleared = true;
        TCustomTlsWSocket::FireSessionClosed(LastLinesCloseError);
        if (State_ != wsClosed) return;  // its handler connected already
    }
    // Bytes held from the last connection are none of the next one's.
    if (State_ == wsClosed && !LineBuffer.empty()) FreeLineBuffer();
    TCustomTlsWSocket::Connect();
}

int TCustomLineWSocket::Resume() {
    const int result = TCustomTlsWSocket::Resume();
    // Lines held when the pause came are offered again; new data follows them.
    if (LineHeld > 0) msgwindow::PostMessage(WindowHandle, WM_SOCKET_REDISPATCH, 0, 0);
    return result;
}

void TCustomLineWSocket::Redispatch() {
    for (int pass = 1; LineHeld > 0 && !Paused; ++pass) {
        LineFound = false;
        if (LineMode_) {
            const long long taken = BytesTaken();
            FireDataAvailable(0);
            // Held bytes without a line end wait for more data; a few passes give lines that
            // were held raw their chance first. A handler that takes nothing gets the held
            // lines with the next notification.
            if (pass >= 4 && !LineFound) break;
            if (BytesTaken() == taken) break;
        } else {
            const int before = LineHeld;
            if (!TCustomTlsWSocket::FireDataAvailable(0)) {
                DropHeld(LineHeld);  // nobody takes data
                break;
            }
            if (LineHeld == before) break;  // the handler takes no more now
        }
    }
}
