#include "protocol/hex_digits.h"

char NibbleToHexChar(unsigned value) {
    unsigned nibble = value & 0x0Fu;
    return static_cast<char>(nibble < 10 ? '0' + nibble : 'A' + (nibble - 10));
}

unsigned HexCharToNibble(int c) {
    unsigned code = static_cast<unsigned char>(c);
    if (code > 0x40) code += 9;
    return code & 0x0Fu;
}

void UpperCaseHexDigits(char* text, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i)
        if (text[i] >= 'a' && text[i] <= 'f') text[i] = static_cast<char>(text[i] - 'a' + 'A');
}
