#include "image/hex_codec.h"

#include "device/status.h"

std::uint16_t g_runningChecksum = 0;

char NibbleToHexChar(unsigned value) {
    unsigned nibble = value & 0x0Fu;
    return static_cast<char>(nibble < 10 ? '0' + nibble : 'A' + (nibble - 10));
}

unsigned HexCharToNibble(int c) {
    unsigned code = static_cast<unsigned char>(c);
    if (code > 0x40) code += 9;
    return code & 0x0Fu;
}

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

int CloseImageFile(std::FILE* file) {
    if (std::fclose(file) != 0) {
        std::printf("error closing file\n");
        return FILE_CLOSE_FAILURE;
    }
    return 0;
}

void ResetHexCodec() { g_runningChecksum = 0; }
