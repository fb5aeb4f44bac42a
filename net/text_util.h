#pragma once
// Small text helpers of the socket layer (single-byte strings).
#include <string>

// Removes leading and trailing blanks and control characters.
std::string TrimBlanks(const std::string& Text);
std::string LowerCase(std::string Text);
