#pragma once
// What the chat server does with the bytes a client sends, before they mean anything: the telnet
// filter takes telnet commands out of the stream, the line splitter cuts the data into lines.
// Both are pure byte parsers with no I/O; their state carries over from one read to the next.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace telnet {
constexpr uint8_t IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240;
constexpr uint8_t ECHO = 1, SUPPRESS_GO_AHEAD = 3, SEND_LOCATION = 23, TERMINAL_TYPE = 24;
constexpr uint8_t IS = 0, SEND = 1;
}  // namespace telnet

// One subnegotiation a client completed (IAC SB option ... IAC SE).
struct TSubnegotiation {
    uint8_t Option = 0;
    std::string Payload;     // the bytes between the option and IAC SE, IAC IAC undone
    bool Truncated = false;  // longer than MaxSubnegotiation: the rest was discarded
};

class TTelnetFilter {
public:
    // Clients answer with a terminal type or a location of a few dozen bytes; anything beyond
    // this is dropped, so a client that never sends IAC SE cannot grow the server's memory.
    static constexpr std::size_t MaxSubnegotiation = 256;

    // Appends the data bytes of Input to Data and the subnegotiations it completes to Done.
    void Feed(std::string_view Input, std::string& Data, std::vector<TSubnegotiation>& Done);

private:
    enum class TState : uint8_t {
        Data,            // plain data
        Command,         // after IAC
        Option,          // after IAC WILL/WONT/DO/DONT: the option byte follows
        SubOption,       // after IAC SB: the option byte follows
        SubData,         // inside a subnegotiation
        SubCommand,      // after IAC inside a subnegotiation
    };
    void CollectSub(uint8_t Byte);

    TState State = TState::Data;
    TSubnegotiation Sub;
};

// One line cut from the data stream, or the report of one line too long to keep.
struct TSplitLine {
    enum class TKind : uint8_t { Line, Overlong };
    TKind Kind = TKind::Line;
    std::string Bytes;      // Line: the line as received, with its CR LF or bare LF
    std::size_t Length = 0; // the line's length without its line end (also for Overlong)
};

class TLineSplitter {
public:
    // A line (without its line end) longer than this is dropped. Chat lines are typed by people;
    // the bound keeps one client's unfinished line from taking unbounded memory.
    static constexpr std::size_t MaxLine = 4096;

    // Appends to Out every line that Data completes. Lines end with LF (CR LF or a bare LF).
    void Feed(std::string_view Data, std::vector<TSplitLine>& Out);
    // Bytes of the current, unfinished line (also those of an over-long one being skipped).
    std::size_t Pending() const { return Skipping ? Skipped : Partial.size(); }

private:
    std::string Partial;  // never more than MaxLine + 1 bytes (the line and its CR)
    bool Skipping = false;
    std::size_t Skipped = 0;
    bool LastWasCr = false;  // the byte before the line end, when it was skipped
};
