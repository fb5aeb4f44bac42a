#include "telnet_filter.h"

#include <cstring>

namespace {
// The position of the first Byte in Text from Start on, or Text.size().
std::size_t FindByte(std::string_view Text, std::size_t Start, uint8_t Byte) {
    const void* hit = std::memchr(Text.data() + Start, Byte, Text.size() - Start);
    return hit ? static_cast<std::size_t>(static_cast<const char*>(hit) - Text.data()) : Text.size();
}
}  // namespace

void TTelnetFilter::CollectSub(uint8_t Byte) {
    if (Sub.Payload.size() < MaxSubnegotiation)
        Sub.Payload.push_back(static_cast<char>(Byte));
    else
        Sub.Truncated = true;
}

void TTelnetFilter::Feed(std::string_view Input, std::string& Data,
                         std::vector<TSubnegotiation>& Done) {
    using namespace telnet;
    std::size_t i = 0;
    while (i < Input.size()) {
        switch (State) {
        case TState::Data: {
            // Data goes on as runs up to the next IAC.
            const std::size_t iac = FindByte(Input, i, IAC);
            Data.append(Input.data() + i, iac - i);
            i = iac;
            if (i < Input.size()) {
                State = TState::Command;
                ++i;
            }
            break;
        }
        case TState::Command: {
            const auto b = static_cast<uint8_t>(Input[i++]);
            if (b == IAC) {
                Data.push_back(static_cast<char>(IAC));
                State = TState::Data;
            } else if (b == SB) {
                State = TState::SubOption;
            } else if (b >= WILL && b <= DONT) {
                State = TState::Option;
            } else {
                // A two-byte command (NOP, GA, AYT, a stray SE, or no command at all): both
                // bytes are dropped.
                State = TState::Data;
            }
            break;
        }
        case TState::Option:
            // The client's answers to our offers. The server asks for nothing further, so
            // answers are taken as they come; never replying to them also rules out loops.
            ++i;
            State = TState::Data;
            break;
        case TState::SubOption:
            Sub = {};
            Sub.Option = static_cast<uint8_t>(Input[i++]);
            State = TState::SubData;
            break;
        case TState::SubData: {
            const std::size_t iac = FindByte(Input, i, IAC);
            const std::size_t room = MaxSubnegotiation - Sub.Payload.size();
            const std::size_t run = iac - i;
            Sub.Payload.append(Input.data() + i, run < room ? run : room);
            if (run > room) Sub.Truncated = true;
            i = iac;
            if (i < Input.size()) {
                State = TState::SubCommand;
                ++i;
            }
            break;
        }
        case TState::SubCommand: {
            const auto b = static_cast<uint8_t>(Input[i]);
            if (b == SE) {
                ++i;
                Done.push_back(std::move(Sub));
                Sub = {};
                State = TState::Data;
            } else if (b == IAC) {
                ++i;
                CollectSub(IAC);
                State = TState::SubData;
            } else {
                // Any other command means the subnegotiation was never closed: drop it and
                // read this byte as the command it is.
                Sub = {};
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
