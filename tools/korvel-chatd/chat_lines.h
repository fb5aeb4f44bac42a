#pragma once
// The chat protocol's lines as the server reads and writes them: what a client's line is, the
// user list in comma text, and data bytes made safe for a telnet stream.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

enum class TClientLineKind : uint8_t {
    Login,  // "~SC=" call "-" name
    Chat,   // "&<" sender ">" "<" text ">"
    Exit,   // "~Exit=KORVEL"
    Other,
};

struct TClientLine {
    TClientLineKind Kind = TClientLineKind::Other;
    std::string_view Name;  // Login: the user's name (call "-" name); Chat: the sender
};

// Reads one line, given without its line end.
TClientLine ClassifyLine(std::string_view Line);

// One entry of a comma text: quoted when it holds a blank, comma, double quote or control
// character, with each double quote inside doubled.
std::string CommaTextEntry(std::string_view Entry);

// The user-list line: "~", the users as comma text in the given order, CR LF.
std::string UserListLine(const std::vector<std::string>& Users);

// Data for a telnet stream: each byte 255 doubled, so that no data byte reads as a command.
std::string EscapeIac(std::string_view Data);

// Text fit for one log line: bytes outside printable ASCII as \xNN, at most MaxBytes of Text.
std::string Printable(std::string_view Text, std::size_t MaxBytes = 80);
