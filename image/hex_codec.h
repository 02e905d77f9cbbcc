// Hexadecimal text helpers: digits to values and back, hex bytes and words
// on buffered file streams, the running checksum of what was read, and the
// uniform close of an image file.
#pragma once

#include <cstdint>
#include <cstdio>

// Process-wide running checksum: ReadHexByte adds every byte it reads in
// full (mod 256); record splitting sets it and takes checksums from it.
extern std::uint16_t g_runningChecksum;

// The upper-case digit of the low 4 bits of value.
char NibbleToHexChar(unsigned value);
// Either case; no validation: c (unsigned), plus 9 when above 0x40, low 4 bits.
unsigned HexCharToNibble(int c);
// Two digits to a byte; 0 at end of file, high nibble * 16 with one digit
// left; the checksum changes only for a byte read in full.
unsigned ReadHexByte(std::FILE* file);
// A high and a low byte, through ReadHexByte.
unsigned ReadHexWord(std::FILE* file);
void WriteHexByte(unsigned value, std::FILE* file);
// The low 16 bits as four digits, most significant first.
void WriteHexWord(unsigned value, std::FILE* file);
// Closes file; on failure prints "error closing file", FILE_CLOSE_FAILURE.
int CloseImageFile(std::FILE* file);

void ResetHexCodec();
