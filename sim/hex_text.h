// Hexadecimal text as the device's processor reads it: digits of either
// case, two to a byte. Every byte the device takes in passes here, so the
// digits' values come from a table.
#pragma once

#include <array>
#include <cstdint>

namespace sim {

// The value of each character as a hexadecimal digit, -1 for a character
// that is none.
inline constexpr std::array<std::int8_t, 256> kHexDigitValues = [] {
    std::array<std::int8_t, 256> values{};
    values.fill(-1);
    for (int c = '0'; c <= '9'; ++c) values[c] = static_cast<std::int8_t>(c - '0');
    for (int c = 'A'; c <= 'F'; ++c) values[c] = values[c + 'a' - 'A'] = static_cast<std::int8_t>(c - 'A' + 10);
    return values;
}();

inline int HexDigitValue(char c) { return kHexDigitValues[static_cast<unsigned char>(c)]; }

}  // namespace sim
