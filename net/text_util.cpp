#include "text_util.h"

#include <algorithm>

std::string TrimBlanks(const std::string& Text) {
    auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
    auto first = std::find_if_not(Text.begin(), Text.end(), blank);
    auto last = std::find_if_not(Text.rbegin(), Text.rend(), blank).base();
    return first < last ? std::string(first, last) : std::string();
}

std::string LowerCase(std::string Text) {
    for (char& c : Text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return Text;
}
