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

// A plain text file's bytes: Windows-1252, which readers of such files expect, unless the text
// holds a character Windows-1252 cannot carry, or its Windows-1252 bytes are valid UTF-8 that a
// reader would take for other text ("Ã©" is the UTF-8 of "é"); then UTF-8 behind a byte order
// mark, which tells every reader so. Utf8 says which.
std::string ToTextFile(const QString& Text, bool* Utf8);
