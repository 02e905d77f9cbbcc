#include "image/hex_codec.h"

std::uint16_t g_runningChecksum = 0;

unsigned ReadHexByte(TextReader& in) {
    int first = NextChar(in);
    if (first == EOF) return 0;
    unsigned high = HexCharToNibble(first);
    int second = NextChar(in);
    if (second == EOF) return high * 16;
    unsigned byte = high * 16 + HexCharToNibble(second);
    g_runningChecksum = static_cast<std::uint16_t>(((g_runningChecksum & 0xFFu) + byte) % 256);
    return byte;
}

unsigned ReadHexWord(TextReader& in) {
    unsigned high = ReadHexByte(in);
    unsigned low = ReadHexByte(in);
    return high * 256 + low;
}

void WriteHexByte(unsigned value, std::string& out) {
    out += NibbleToHexChar(value >> 4);
    out += NibbleToHexChar(value);
}

void WriteHexWord(unsigned value, std::string& out) {
    WriteHexByte((value >> 8) & 0xFFu, out);
    WriteHexByte(value & 0xFFu, out);
}

void ResetHexCodec() { g_runningChecksum = 0; }
