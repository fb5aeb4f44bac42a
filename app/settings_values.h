#pragma once
// How settings are spelled in the settings file: integers, font styles and colours.
#include <QColor>
#include <QString>

#include <cstdint>

// Decimal, or hexadecimal after "0x"/"0X" (with at least one digit) or "$"; anything else, or a
// value outside 32 bits, gives Default. Hexadecimal covers the full 32 bits (0xFFFFFFFF is -1).
int32_t ParseSettingInteger(const QString& Text, int32_t Default);

// Font styles as bits: bold 1, italic 2, underline 4, strike-out 8.
QString FontStyleToText(int Style);
int TextToFontStyle(const QString& Text);

// Colours as 32-bit values: 0x00BBGGRR, or 0x80000000 plus a system colour index.
QColor ColorFromValue(int32_t Value);
int32_t ColorToValue(const QColor& Color);
constexpr int32_t SystemWindowColor = static_cast<int32_t>(0x80000005u);
