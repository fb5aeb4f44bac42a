#include "chat_lines.h"

#include <algorithm>
#include <cstdio>

TClientLine ClassifyLine(std::string_view Line) {
    if (Line == "~Exit=KORVEL") return {TClientLineKind::Exit, {}};
    if (Line.starts_with("~SC=")) return {TClientLineKind::Login, Line.substr(4)};
    // "&<" sender ">" "<" text ">": the sender ends at the first ">", the text at the last.
    if (Line.starts_with("&<")) {
        const std::size_t close = Line.find('>', 2);
        if (close != std::string_view::npos && close + 2 < Line.size() &&
            Line[close + 1] == '<' && Line.back() == '>')
            return {TClientLineKind::Chat, Line.substr(2, close - 2)};
    }
    return {};
}

std::string CommaTextEntry(std::string_view Entry) {
    const bool quote = std::any_of(Entry.begin(), Entry.end(), [](char c) {
        const auto b = static_cast<unsigned char>(c);
        return b <= ' ' || b == ',' || b == '"' || b == 127;
    });
    if (!quote) return std::string(Entry);
    std::string out = "\"";
    for (char c : Entry) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
    return out;
}

std::string UserListLine(const std::vector<std::string>& Users) {
    std::string line = "~";
    for (std::size_t i = 0; i < Users.size(); ++i) {
        if (i > 0) line += ',';
        line += CommaTextEntry(Users[i]);
    }
    line += "\r\n";
    return line;
}

std::string EscapeIac(std::string_view Data) {
    std::string out;
    out.reserve(Data.size());
    for (char c : Data) {
        out += c;
        if (static_cast<unsigned char>(c) == 255) out += c;
    }
    return out;
}

std::string Printable(std::string_view Text, std::size_t MaxBytes) {
    std::string out;
    for (std::size_t i = 0; i < Text.size() && i < MaxBytes; ++i) {
        const auto b = static_cast<unsigned char>(Text[i]);
        if (b >= ' ' && b < 127 && b != '\\') {
            out += static_cast<char>(b);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", b);
            out += hex;
        }
    }
    if (Text.size() > MaxBytes) out += "...";
    return out;
}
