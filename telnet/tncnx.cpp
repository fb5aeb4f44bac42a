#include "tncnx.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

namespace {

// Telnet commands and options.
constexpr uint8_t IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240,
                  EOR = 239;
constexpr uint8_t OptBinary = 0, OptEcho = 1, OptSuppressGoAhead = 3, OptSendLocation = 23,
                  OptTermType = 24, OptEndOfRecord = 25;
constexpr uint8_t TermTypeIs = 0, TermTypeSend = 1;

// The only subnegotiation answered is TERMINAL-TYPE SEND, two bytes; the rest is ignored. A peer
// that opens a subnegotiation and never ends it must not make us buffer without end, so only
// this many bytes of one are kept (far more than any option we would look at).
constexpr std::size_t MaxSubnegotiation = 256;

// Trace texts of the parser; they are not shown or kept anywhere.
void DebugTrace(const char*) {}

}  // namespace

TTnCnx::TTnCnx(QObject* Owner)
    : QObject(Owner), Collected_(new char[CollectSize + 1]), Spare_(new char[CollectSize + 1]) {
    Socket_ = new TWSocket(this);
    Socket_->OnSessionConnected = [this](QObject*, uint16_t e) { SocketSessionConnected(e); };
    Socket_->OnSessionClosed = [this](QObject*, uint16_t e) { SocketSessionClosed(e); };
    Socket_->OnDataAvailable = [this](QObject*, uint16_t) { SocketDataAvailable(); };
}

TTnCnx::~TTnCnx() {
    for (TFrame* f = Frames_; f; f = f->Outer) f->Destroyed = true;
    TWSocket* socket = Socket_.data();  // QPointer: null if the socket went first
    if (!socket) return;
    if (!socket->InFrame()) {
        delete socket;
        return;
    }
    // Destroyed from a handler that the socket called: the socket's code is still on the stack
    // below it. The socket hears nothing more from here, is closed, and deletes itself once
    // that code has returned.
    socket->OnSessionConnected = nullptr;
    socket->OnSessionClosed = nullptr;
    socket->OnDataAvailable = nullptr;
    socket->setParent(nullptr);
    try {
        socket->Close();
    } catch (...) {
    }
    socket->Release();
}

TCustomTlsWSocket::TTlsFailure TTnCnx::LastTlsFailure() const {
    return Socket_ ? Socket_->LastTlsFailure() : TCustomTlsWSocket::TTlsFailure{};
}

void TTnCnx::Connect() {
    if (!Socket_) return;
    if (Socket_->State() != wsClosed) Socket_->Close();
    // Each connection starts with a clean parser: a command cut off by the previous connection's
    // end must not swallow the first bytes of the next one.
    ResetParser();
    Socket_->SetProto("tcp");
    Socket_->SetPort(Port_);
    Socket_->SetAddr(Host_);
    // The socket forgets its proxy with every close: it is set again for each connection, and
    // cleared for a direct one (an attempt refused before it started closed nothing).
    Socket_->SetSocksServer(Proxy_.Level.empty() ? std::string() : Proxy_.Server);
    if (!Proxy_.Level.empty()) {
        Socket_->SetSocksPort(Proxy_.Port);
        Socket_->SetSocksLevel(Proxy_.Level);
        Socket_->SetSocksUsercode(Proxy_.Usercode);
        Socket_->SetSocksPassword(Proxy_.Password);
        const bool login = Proxy_.Level == "5" && !Proxy_.Usercode.empty();
        Socket_->SetSocksAuthentication(login ? socksAuthenticateUsercode : socksNoAuthentication);
    }
    Socket_->SetTls(Tls_);
    Socket_->SetTlsTrustedFingerprint(TlsTrustedFingerprint_);
    Socket_->Connect();
}

std::string TTnCnx::ProxyFailure() const {
    return Socket_ ? Socket_->LastSocksFailure().Text : std::string();
}

void TTnCnx::Close() {
    if (Socket_) Socket_->Close();
}

int TTnCnx::Send(const void* Data, int Len) { return Socket_ ? Socket_->Send(Data, Len) : -1; }

int TTnCnx::SendStr(const std::string& Str) {
    return Send(Str.data(), static_cast<int>(Str.size()));
}

TSocketState TTnCnx::State() const { return Socket_ ? Socket_->State() : wsInvalidState; }

void TTnCnx::SocketSessionConnected(uint16_t Error) {
    if (OnSessionConnected) OnSessionConnected(this, Error);
}

void TTnCnx::SocketSessionClosed(uint16_t Error) {
    if (Socket_ && Socket_->State() != wsClosed) Socket_->Close();
    // Reads still waiting come first: behind the parse that a handler interrupted, whose drain
    // then reports the close, or left by one that threw, whose posted drain reports it (never
    // from inside the caller of Close).
    if (Frames_ || !Backlog_.empty()) {
        CloseHeld_ = true;
        HeldCloseError_ = Error;
        return;
    }
    if (OnSessionClosed) OnSessionClosed(this, Error);
}

void TTnCnx::SocketDataAvailable() {
    if (!Socket_) return;
    uint8_t buffer[ReadSize];
    const int n = Socket_->Receive(buffer, ReadSize);
    if (n == 0) {
        if (OnDisplay) OnDisplay(this, "\r\n**** Remote has closed ****\r\n");
        return;
    }
    if (n < 0) {
        const int err = Socket_->LastError();
        if (err != winsock::WSAEWOULDBLOCK && OnDisplay)
            OnDisplay(this, "\r\n**** ERROR: " + std::to_string(err) + " ****\r\n");
        return;
    }
    // Every read joins the backlog and is parsed from its front, so reads keep their order
    // whatever a handler does. A handler of ours that runs the event loop in the middle of a
    // parse: the drain below it takes this read in turn.
    Backlog_.emplace_back(reinterpret_cast<const char*>(buffer), static_cast<size_t>(n));
    if (!Frames_) DrainBacklog();
}

// Parses the backlog from its front, then reports a close that came behind it. A handler that
// runs the event loop meanwhile only adds to the backlog, which this loop then takes in turn.
// One that throws leaves the component consistent: the rest of its read goes back to the front
// of the backlog, a posted drain delivers what is left without waiting for more data, and the
// exception goes on to the caller.
void TTnCnx::DrainBacklog() {
    TFrame frame(this);
    const unsigned generation = ParserGeneration_;
    std::string read;
    int done = 0;
    try {
        while (!Backlog_.empty() || CloseHeld_) {
            read.clear();
            done = 0;
            if (Backlog_.empty()) {
                CloseHeld_ = false;
                if (OnSessionClosed) OnSessionClosed(this, HeldCloseError_);
                if (frame.Destroyed) return;
                continue;
            }
            read = std::move(Backlog_.front());
            Backlog_.pop_front();
            const auto* bytes = reinterpret_cast<const uint8_t*>(read.data());
            if (!Parse(bytes, static_cast<int>(read.size()), &done) || !DeliverCollected()) return;
        }
    } catch (...) {
        if (!frame.Destroyed) {
            // A handler that connected anew has dropped the old connection's reads.
            if (generation == ParserGeneration_ && done < static_cast<int>(read.size()))
                Backlog_.push_front(read.substr(static_cast<size_t>(done)));
            if (!Backlog_.empty() || CloseHeld_) PostDrain();
        }
        throw;
    }
}

void TTnCnx::PostDrain() {
    if (std::exchange(DrainPosted_, true)) return;
    // Dropped with the component.
    QMetaObject::invokeMethod(
        this,
        [this] {
            DrainPosted_ = false;
            // A drain on the stack (its handler runs the event loop) takes the backlog itself.
            if (Frames_) return;
            // No exception may cross the event loop: one from a handler ends this drain as the
            // socket's receive loop ends a read, and what is left goes on with a drain posted
            // again.
            try {
                DrainBacklog();
            } catch (...) {
            }
        },
        Qt::QueuedConnection);
}

void TTnCnx::ResetParser() {
    ParseState_ = TParseState::Data;
    PendingVerb_ = 0;
    SubBytes_.clear();
    CollectedCount_ = 0;
    Backlog_.clear();
    CloseHeld_ = false;
    ++ParserGeneration_;
}

// Runs of plain data are copied whole up to the next IAC; everything else goes byte by byte.
bool TTnCnx::Parse(const uint8_t* Data, int Len, int* Done) {
    TFrame frame(this);
    const uint8_t* p = Data;
    const uint8_t* const end = Data + Len;
    auto taken = [&] {
        if (Done) *Done = static_cast<int>(p - Data);
    };
    while (p < end) {
        if (ParseState_ != TParseState::Data) {
            ++p;
            taken();
            ParseByte(p[-1]);
            if (frame.Destroyed) return false;
            continue;
        }
        const auto* iac = static_cast<const uint8_t*>(std::memchr(p, IAC, static_cast<size_t>(end - p)));
        const uint8_t* const runEnd = iac ? iac : end;
        // The bytes 244 to 248 inside a run stay data; the parser only traces them.
        while (p < runEnd) {
            if (CollectedCount_ >= CollectSize) {
                if (!DeliverCollected()) return false;
                if (CollectedCount_ >= CollectSize) {
                    p = runEnd;  // could not be handed over: dropped rather than overrun
                    break;
                }
            }
            const auto take = std::min<std::ptrdiff_t>(CollectSize - CollectedCount_, runEnd - p);
            std::memcpy(Collected_.get() + CollectedCount_, p, static_cast<size_t>(take));
            CollectedCount_ += static_cast<int>(take);
            p += take;
            taken();
            if (CollectedCount_ == CollectSize && !DeliverCollected()) return false;
        }
        if (iac) {
            ParseState_ = TParseState::Command;
            ++p;
        }
    }
    taken();
    return true;
}

void TTnCnx::ParseByte(uint8_t B) {
    switch (ParseState_) {
    case TParseState::Option: {
        // Nothing of ours is touched after a handler ran: it may have destroyed us.
        ParseState_ = TParseState::Data;
        const uint8_t verb = std::exchange(PendingVerb_, 0);
        SubBytes_.clear();
        HandleOption(verb, B);
        return;
    }
    case TParseState::Subnegotiation:
        // Everything up to SE is collected, the IAC before it too; a lone SE also ends it.
        if (B == SE) {
            ParseState_ = TParseState::Data;
            const std::string bytes = std::move(SubBytes_);
            SubBytes_.clear();
            HandleSubnegotiation(bytes);
        } else if (SubBytes_.size() < MaxSubnegotiation) {
            SubBytes_.push_back(static_cast<char>(B));
        }
        return;
    case TParseState::Command:
        ParseState_ = TParseState::Data;
        HandleCommand(B);
        return;
    case TParseState::Data:
        switch (B) {
        case IAC: ParseState_ = TParseState::Command; return;
        case 244: DebugTrace("TNCH_IP\r\n"); break;
        case 245: DebugTrace("TNCH_AO\r\n"); break;
        case 246: DebugTrace("TNCH_AYT\r\n"); break;
        case 247: DebugTrace("TNCH_EC\r\n"); break;
        case 248: DebugTrace("TNCH_EL\r\n"); break;
        }
        CollectByte(B);
        return;
    }
}

void TTnCnx::HandleCommand(uint8_t B) {
    switch (B) {
    case EOR:
        DebugTrace("TNCH_EOR\r\n");
        if (OnEndOfRecord) OnEndOfRecord(this);
        return;
    case SB:
        ParseState_ = TParseState::Subnegotiation;
        return;
    case WILL: case WONT: case DO: case DONT:
        PendingVerb_ = B;
        ParseState_ = TParseState::Option;
        return;
    case IAC:
        CollectByte(IAC);  // an escaped data byte
        return;
    default:
        // NOP, GA, data mark, break and the rest: the command is dropped.
        DebugTrace("Unknown command");
        return;
    }
}

void TTnCnx::HandleOption(uint8_t Verb, uint8_t Option) {
    switch (Option) {
    case OptBinary:
    case OptSuppressGoAhead:
        if (Verb == WILL) return SendNegotiation(DO, Option);
        break;
    case OptEcho: {
        // The server echoing means the owner must not; DO and DONT change nothing. A send
        // that finds the connection lost reports the close, whose handler may destroy us.
        TFrame frame(this);
        if (Verb == WILL) {
            SendNegotiation(DO, OptEcho);
            if (frame.Destroyed) return;
            LocalEcho_ = false;
        } else if (Verb == WONT) {
            LocalEcho_ = true;
        }
        if (OnLocalEcho) OnLocalEcho(this);
        return;
    }
    case OptSendLocation:
        if (Verb == DO) {
            TFrame frame(this);
            SendNegotiation(WILL, OptSendLocation);
            if (frame.Destroyed) return;
            if (OnSendLoc) OnSendLoc(this);  // may still change Location
            if (frame.Destroyed) return;
            std::string sub = {char(IAC), char(SB), char(OptSendLocation)};
            sub += Location_;
            sub += {char(IAC), char(SE)};
            Reply(sub.data(), static_cast<int>(sub.size()));
            return;
        }
        break;
    case OptTermType:
    case OptEndOfRecord:
        if (Verb == DO) return SendNegotiation(WILL, Option);
        break;
    }
    // Every other offer is refused: WILL with DONT, the rest with WONT. Options listed above
    // that came with a verb they do not answer get no reply.
    switch (Option) {
    case OptBinary: case OptEcho: case OptSuppressGoAhead: case OptSendLocation:
    case OptTermType: case OptEndOfRecord:
        return;
    }
    if (Verb == WILL) return SendNegotiation(DONT, Option);
    if (Verb == WONT || Verb == DO || Verb == DONT) SendNegotiation(WONT, Option);
}

void TTnCnx::HandleSubnegotiation(const std::string& Bytes) {
    if (Bytes.size() < 2 || uint8_t(Bytes[0]) != OptTermType || uint8_t(Bytes[1]) != TermTypeSend)
        return;
    TFrame frame(this);
    if (OnTermType) OnTermType(this);  // may still change TermType
    if (frame.Destroyed) return;
    std::string reply = {char(IAC), char(SB), char(OptTermType), char(TermTypeIs)};
    reply += TermType_;
    reply += {char(IAC), char(SE)};
    Reply(reply.data(), static_cast<int>(reply.size()));
}

// The parser's own answers go out only while the session stands: data read before a close is
// still parsed after it (a handler ran the event loop meanwhile), and its negotiation has nobody
// to answer.
void TTnCnx::Reply(const char* Bytes, int Len) {
    if (Socket_ && Socket_->State() == wsConnected) Socket_->Send(Bytes, Len);
}

void TTnCnx::SendNegotiation(uint8_t Verb, uint8_t Option) {
    const char bytes[3] = {char(IAC), char(Verb), char(Option)};
    Reply(bytes, 3);
}

void TTnCnx::CollectByte(uint8_t B) {
    // Never written past its end: when the data could not be handed over, the byte is lost.
    if (CollectedCount_ >= CollectSize) return;
    Collected_[CollectedCount_++] = static_cast<char>(B);
    if (CollectedCount_ == CollectSize) DeliverCollected();
}

bool TTnCnx::DeliverCollected() {
    if (CollectedCount_ <= 0) return true;
    if (!OnDataAvailable) {
        CollectedCount_ = 0;
        return true;
    }
    // The owner gets the collect buffer itself, zero-terminated, and collecting goes on in the
    // spare: no copy and no allocation per read. The chunk belongs to this call until the handler
    // returns, so it stays valid for the whole handler, also when the handler runs the event
    // loop (more data is collected meanwhile, into the other buffer) or destroys the component.
    std::unique_ptr<char[]> next = std::move(Spare_);
    if (!next) {
        // A handler further up still holds the other buffer.
        next.reset(new (std::nothrow) char[CollectSize + 1]);
        if (!next) return true;  // kept for the next delivery
    }
    std::unique_ptr<char[]> chunk = std::exchange(Collected_, std::move(next));
    const int count = CollectedCount_;
    chunk[count] = 0;
    CollectedCount_ = 0;
    TFrame frame(this);
    OnDataAvailable(this, chunk.get(), count);
    if (frame.Destroyed) return false;
    if (!Spare_) Spare_ = std::move(chunk);
    return true;
}
