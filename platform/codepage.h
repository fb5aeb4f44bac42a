#pragma once
// Windows-1252 ("ANSI") text at the wire and file boundaries; Unicode on screen.
#include <QString>

#include <string>
#include <string_view>

QString FromAnsi(std::string_view Bytes);  // every byte maps to a character
std::string ToAnsi(const QString& Text);   // characters outside Windows-1252 become '?'
// The characters of Text that Windows-1252 cannot carry, each once, in order of appearance.
QString NotInAnsi(const QString& Text);

// A received line: as UTF-8 when it is valid UTF-8 (other text almost never is), otherwise as
// Windows-1252, so text in any script and text from older clients both read right.
QString FromWireLine(std::string_view Bytes);
