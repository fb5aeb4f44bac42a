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

// What the filter took out of the stream besides data.
struct TTelnetItem {
    enum class TKind : uint8_t {
        Subnegotiation,  // one the client completed (IAC SB option ... IAC SE)
        Abandoned,       // a subnegotiation given up on: never closed, or longer than the bound
        Command,         // a two-byte command (NOP, GA, AYT ...), dropped
    };
    TKind Kind = TKind::Subnegotiation;
    uint8_t Code = 0;         // the option (the command byte for Command)
    std::string Payload;      // Subnegotiation: the bytes between the option and IAC SE, IAC IAC undone
    std::size_t Dropped = 0;  // Abandoned: the bytes dropped, from its IAC SB on
};

// Takes the client's telnet commands out of its stream. Until the client's first line end (the
// initial negotiation) every command is taken as one, as a telnet client sends them then. After
// it, the client sends the user's bytes unchanged, so a byte 255 is a command only when what
// follows is one the client can mean: IAC IAC (one data byte 255), an answer about one of the
// options this server negotiates, or a subnegotiation of the terminal type or the location.
// Any other IAC is data: the byte 255 and what follows stay in the text.
class TTelnetFilter {
public:
    // Clients answer with a terminal type or a location of a few dozen bytes. A subnegotiation
    // longer than this is given up and the bytes after it are data again, so a client that never
    // sends IAC SE loses at most this much and cannot grow the server's memory.
    static constexpr std::size_t MaxSubnegotiation = 256;

    // Appends the data bytes of Input to Data and what else it took out to Items.
    void Feed(std::string_view Input, std::string& Data, std::vector<TTelnetItem>& Items);
    // Bytes of a command or subnegotiation not yet complete.
    std::size_t Pending() const;

private:
    enum class TState : uint8_t {
        Data,            // plain data
        Command,         // after IAC
        Option,          // after IAC WILL/WONT/DO/DONT: the option byte follows
        SubOption,       // after IAC SB: the option byte follows
        SubData,         // inside a subnegotiation
        SubCommand,      // after IAC inside a subnegotiation
    };
    void Abandon(std::vector<TTelnetItem>& Items);

    TState State = TState::Data;
    bool Initial = true;  // no line end has passed yet
    uint8_t Verb = 0;     // Option: the verb before it
    TTelnetItem Sub;      // the subnegotiation being read; Dropped counts its bytes so far
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
