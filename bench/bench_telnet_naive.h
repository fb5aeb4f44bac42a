#pragma once
// The baseline parser of the telnet benchmark: the telnet component's receive rules written the
// plain way, one switch per byte, with the same collect buffer, the same chunk delivery (one
// zero-terminated copy per read, and at once when 2049 bytes are collected), the same replies
// and the same events in the same order. The benchmark checks that both give the same transcript.
#include <cstdint>
#include <functional>
#include <string>

class TNaiveTelnet {
public:
    enum class TEvent : uint8_t { LocalEcho, SendLoc, TermType, EndOfRecord };

    std::function<void(const char* Data, int Len)> OnData;   // Data[Len] is 0
    std::function<void(const char* Bytes, int Len)> OnReply;  // one send
    std::function<void(TEvent Event)> OnEvent;

    std::string Location = "TNCNX";
    std::string TermType = "VT100";
    bool LocalEcho = false;

    // One socket read: every byte through the parser, then the collected data delivered.
    void Read(const uint8_t* Data, int Len);

private:
    enum class TState : uint8_t { Data, Command, Option, Subnegotiation };

    void Collect(uint8_t B);
    void Deliver();
    void Option(uint8_t Verb, uint8_t Option);
    void Subnegotiation();
    void Reply(const std::string& Bytes);
    void Event(TEvent E);

    static constexpr int CollectSize = 2049;
    static constexpr std::size_t MaxSubnegotiation = 256;
    char Collected[CollectSize] = {};
    int Count = 0;
    TState State = TState::Data;
    uint8_t Verb = 0;
    std::string Sub;
};
