// Hexadecimal text in memory: hex bytes and words read from a text one
// character at a time and appended to a text, and the running checksum of
// what was read, from which record splitting takes the checksums of the
// records it builds. The digits themselves are protocol/hex_digits.h.
#pragma once

#include <cstdint>
#include <string>

#include "image/text_reader.h"
#include "protocol/hex_digits.h"

// Process-wide running checksum: ReadHexByte adds every byte it reads in
// full (mod 256); record splitting sets it and takes checksums from it.
extern std::uint16_t g_runningChecksum;

// Two digits to a byte; 0 at the end of the text, high nibble * 16 with one
// digit left; the checksum changes only for a byte read in full.
unsigned ReadHexByte(TextReader& in);
// A high and a low byte, through ReadHexByte.
unsigned ReadHexWord(TextReader& in);
void WriteHexByte(unsigned value, std::string& out);
// The low 16 bits as four digits, most significant first.
void WriteHexWord(unsigned value, std::string& out);

void ResetHexCodec();
