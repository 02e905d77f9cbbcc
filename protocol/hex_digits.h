// Hexadecimal digits, the form in which the device is sent every byte that is
// not a command byte: PROM instructions, page data and gate-array blocks.
// Output digits are always upper case; input digits may be of either case.
#pragma once

#include <cstddef>

// The upper-case digit of the low 4 bits of value: "0" to "9", "A" to "F".
char NibbleToHexChar(unsigned value);

// The value of a digit of either case. No validation: c (taken unsigned),
// plus 9 when above 0x40, low 4 bits; so ":" gives 10 and "G" gives 0.
unsigned HexCharToNibble(int c);

// Makes the lower-case digits a to f among the first length characters of
// text upper case, as every digit the device is sent is; nothing else changes.
void UpperCaseHexDigits(char* text, std::size_t length);
