#include "bench_telnet_naive.h"

#include <cstring>
#include <memory>

namespace {
constexpr uint8_t IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240,
                  EOR = 239;
}  // namespace

void TNaiveTelnet::Read(const uint8_t* Data, int Len) {
    for (int i = 0; i < Len; ++i) {
        const uint8_t b = Data[i];
        switch (State) {
        case TState::Data:
            if (b == IAC)
                State = TState::Command;
            else
                Collect(b);
            break;
        case TState::Command:
            State = TState::Data;
            switch (b) {
            case EOR: Event(TEvent::EndOfRecord); break;
            case SB: State = TState::Subnegotiation; break;
            case WILL: case WONT: case DO: case DONT:
                Verb = b;
                State = TState::Option;
                break;
            case IAC: Collect(IAC); break;
            default: break;
            }
            break;
        case TState::Option:
            State = TState::Data;
            Option(Verb, b);
            Verb = 0;
            Sub.clear();
            break;
        case TState::Subnegotiation:
            if (b == SE) {
                State = TState::Data;
                Subnegotiation();
                Sub.clear();
            } else if (Sub.size() < MaxSubnegotiation) {
                Sub.push_back(static_cast<char>(b));
            }
            break;
        }
    }
    Deliver();
}

void TNaiveTelnet::Collect(uint8_t B) {
    Collected[Count++] = static_cast<char>(B);
    if (Count == CollectSize) Deliver();
}

void TNaiveTelnet::Deliver() {
    if (Count <= 0) return;
    if (!OnData) {
        Count = 0;
        return;
    }
    const std::unique_ptr<char[]> copy(new char[static_cast<std::size_t>(Count) + 1]);
    const int n = Count;
    std::memcpy(copy.get(), Collected, static_cast<std::size_t>(n));
    copy[n] = 0;
    Count = 0;
    OnData(copy.get(), n);
}

void TNaiveTelnet::Option(uint8_t Verb, uint8_t Option) {
    const auto negotiate = [this](uint8_t V, uint8_t O) {
        Reply({static_cast<char>(IAC), static_cast<char>(V), static_cast<char>(O)});
    };
    switch (Option) {
    case 0: case 3:
        if (Verb == WILL) negotiate(DO, Option);
        return;
    case 1:
        if (Verb == WILL) {
            negotiate(DO, 1);
            LocalEcho = false;
        } else if (Verb == WONT) {
            LocalEcho = true;
        }
        Event(TEvent::LocalEcho);
        return;
    case 23:
        if (Verb == DO) {
            negotiate(WILL, 23);
            Event(TEvent::SendLoc);
            Reply(std::string{static_cast<char>(IAC), static_cast<char>(SB), 23} + Location +
                  std::string{static_cast<char>(IAC), static_cast<char>(SE)});
        }
        return;
    case 24: case 25:
        if (Verb == DO) negotiate(WILL, Option);
        return;
    default:
        negotiate(Verb == WILL ? DONT : WONT, Option);
        return;
    }
}

void TNaiveTelnet::Subnegotiation() {
    if (Sub.size() < 2 || static_cast<uint8_t>(Sub[0]) != 24 || Sub[1] != 1) return;
    Event(TEvent::TermType);
    Reply(std::string{static_cast<char>(IAC), static_cast<char>(SB), 24, 0} + TermType +
          std::string{static_cast<char>(IAC), static_cast<char>(SE)});
}

void TNaiveTelnet::Reply(const std::string& Bytes) {
    if (OnReply) OnReply(Bytes.data(), static_cast<int>(Bytes.size()));
}

void TNaiveTelnet::Event(TEvent E) {
    if (OnEvent) OnEvent(E);
}
