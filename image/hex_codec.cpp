#include "image/hex_codec.h"

std::uint16_t g_runningChecksum = 0;

unsigned ReadHexByte(std::FILE* file) {
    int first = std::fgetc(file);
    if (first == EOF) return 0;
    unsigned high = HexCharToNibble(first);
    int second = std::fgetc(file);
    if (second == EOF) return high * 16;
    unsigned byte = high * 16 + HexCharToNibble(second);
    g_runningChecksum = static_cast<std::uint16_t>(((g_runningChecksum & 0xFFu) + byte) % 256);
    return byte;
}

unsigned ReadHexWord(std::FILE* file) {
    unsigned high = ReadHexByte(file);
    unsigned low = ReadHexByte(file);
    return high * 256 + low;
}

void WriteHexByte(unsigned value, std::FILE* file) {
    std::fputc(NibbleToHexChar(value >> 4), file);
    std::fputc(NibbleToHexChar(value), file);
}

void WriteHexWord(unsigned value, std::FILE* file) {
    WriteHexByte((value >> 8) & 0xFFu, file);
    WriteHexByte(value & 0xFFu, file);
}

void ResetHexCodec() { g_runningChecksum = 0; }
