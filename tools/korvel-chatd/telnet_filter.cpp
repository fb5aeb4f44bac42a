#include "telnet_filter.h"

#include <cstring>

namespace {
// The position of the first Byte in Text from Start on, or Text.size().
std::size_t FindByte(std::string_view Text, std::size_t Start, uint8_t Byte) {
    const void* hit = std::memchr(Text.data() + Start, Byte, Text.size() - Start);
    return hit ? static_cast<std::size_t>(static_cast<const char*>(hit) - Text.data()) : Text.size();
}

// The options this server negotiates: only answers about them are commands after the start.
bool Negotiated(uint8_t Option) {
    using namespace telnet;
    return Option == ECHO || Option == SUPPRESS_GO_AHEAD || Option == SEND_LOCATION ||
           Option == TERMINAL_TYPE;
}
// The options whose subnegotiations a client sends this server.
bool Subnegotiated(uint8_t Option) {
    return Option == telnet::SEND_LOCATION || Option == telnet::TERMINAL_TYPE;
}
}  // namespace

std::size_t TTelnetFilter::Pending() const {
    switch (State) {
    case TState::Data: return 0;
    case TState::Command: return 1;
    case TState::Option: case TState::SubOption: return 2;
    case TState::SubData: case TState::SubCommand: return Sub.Dropped;
    }
    return 0;
}

void TTelnetFilter::Abandon(std::vector<TTelnetItem>& Items) {
    Sub.Kind = TTelnetItem::TKind::Abandoned;
    Sub.Payload.clear();
    Items.push_back(std::move(Sub));
    Sub = {};
}

void TTelnetFilter::Feed(std::string_view Input, std::string& Data,
                         std::vector<TTelnetItem>& Items) {
    using namespace telnet;
    std::size_t i = 0;
    while (i < Input.size()) {
        switch (State) {
        case TState::Data: {
            // Data goes on as runs up to the next IAC.
            const std::size_t iac = FindByte(Input, i, IAC);
            const std::string_view run = Input.substr(i, iac - i);
            Data.append(run);
            if (Initial && run.find('\n') != std::string_view::npos) Initial = false;
            i = iac;
            if (i < Input.size()) {
                State = TState::Command;
                ++i;
            }
            break;
        }
        case TState::Command: {
            const auto b = static_cast<uint8_t>(Input[i]);
            if (b == IAC) {
                ++i;
                Data.push_back(static_cast<char>(IAC));
                State = TState::Data;
            } else if (b == SB) {
                ++i;
                State = TState::SubOption;
            } else if (b >= WILL && b <= DONT) {
                ++i;
                Verb = b;
                State = TState::Option;
            } else if (Initial) {
                // A two-byte command (NOP, GA, AYT, a stray SE, or no command at all): dropped.
                ++i;
                Items.push_back({TTelnetItem::TKind::Command, b, {}, 0});
                State = TState::Data;
            } else {
                // Not a command: the 255 is data, and so is this byte (read again as such).
                Data.push_back(static_cast<char>(IAC));
                State = TState::Data;
            }
            break;
        }
        case TState::Option: {
            // The client's answers to our offers. The server asks for nothing further, so
            // answers are taken as they come; never replying to them also rules out loops.
            const auto option = static_cast<uint8_t>(Input[i]);
            if (Initial || Negotiated(option)) {
                ++i;
            } else {
                Data.push_back(static_cast<char>(IAC));
                Data.push_back(static_cast<char>(Verb));
            }
            State = TState::Data;
            break;
        }
        case TState::SubOption: {
            const auto option = static_cast<uint8_t>(Input[i]);
            if (Initial || Subnegotiated(option)) {
                ++i;
                Sub = {};
                Sub.Code = option;
                Sub.Dropped = 3;
                State = TState::SubData;
            } else {
                Data.push_back(static_cast<char>(IAC));
                Data.push_back(static_cast<char>(SB));
                State = TState::Data;
            }
            break;
        }
        case TState::SubData: {
            const std::size_t iac = FindByte(Input, i, IAC);
            const std::size_t room = MaxSubnegotiation - Sub.Payload.size();
            const std::size_t run = iac - i;
            if (run > room) {
                // Too long for what a client answers: given up, the bytes after the bound are
                // data again.
                Sub.Dropped += room;
                i += room;
                Abandon(Items);
                State = TState::Data;
                break;
            }
            Sub.Payload.append(Input.data() + i, run);
            Sub.Dropped += run;
            i = iac;
            if (i < Input.size()) {
                State = TState::SubCommand;
                Sub.Dropped += 1;
                ++i;
            }
            break;
        }
        case TState::SubCommand: {
            const auto b = static_cast<uint8_t>(Input[i]);
            if (b == SE) {
                ++i;
                Sub.Kind = TTelnetItem::TKind::Subnegotiation;
                Sub.Dropped = 0;
                Items.push_back(std::move(Sub));
                Sub = {};
                State = TState::Data;
            } else if (b == IAC) {
                ++i;
                Sub.Dropped += 1;
                if (Sub.Payload.size() < MaxSubnegotiation) {
                    Sub.Payload.push_back(static_cast<char>(IAC));
                    State = TState::SubData;
                } else {
                    Abandon(Items);
                    State = TState::Data;
                }
            } else {
                // Any other command means the subnegotiation was never closed: give it up and
                // read this IAC again as the command it starts.
                Sub.Dropped -= 1;
                Abandon(Items);
                State = TState::Command;
            }
            break;
        }
        }
    }
}

void TLineSplitter::Feed(std::string_view Data, std::vector<TSplitLine>& Out) {
    std::size_t i = 0;
    while (i < Data.size()) {
        const std::size_t lf = FindByte(Data, i, '\n');
        const std::size_t run = lf - i;
        if (run > 0) LastWasCr = Data[lf - 1] == '\r';
        if (Skipping) {
            Skipped += run;
        } else if (Partial.size() + run > MaxLine + 1) {
            // Too long whatever follows: forget what is kept and only count until the line end.
            Skipping = true;
            Skipped = Partial.size() + run;
            std::string().swap(Partial);
        } else {
            Partial.append(Data.data() + i, run);
        }
        if (lf == Data.size()) return;
        i = lf + 1;

        if (Skipping) {
            Out.push_back({TSplitLine::TKind::Overlong, {}, Skipped - (LastWasCr ? 1 : 0)});
            Skipping = false;
            Skipped = 0;
            continue;
        }
        std::string line = std::move(Partial);
        Partial.clear();
        const std::size_t length = line.size() - (!line.empty() && line.back() == '\r' ? 1 : 0);
        if (length > MaxLine) {
            Out.push_back({TSplitLine::TKind::Overlong, {}, length});
            continue;
        }
        line.push_back('\n');
        Out.push_back({TSplitLine::TKind::Line, std::move(line), length});
    }
}
