// What the emulated device should hold after an update with given image
// texts, worked out from the texts alone, independently of the stages and
// of the emulator: the tests compare it with what the device ended up with.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The 64 KiB processor memory the Intel HEX text describes: data records
// at the base of the last extended segment (02) or linear (04) address
// record, 16-bit offsets wrapping within a segment; 0xFF where nothing is
// written, and bytes at 0x10000 or above dropped, as the loader does.
std::vector<std::uint8_t> ProcessorImage(const std::string& hexText);

// The PROM from address 0, one line of hexadecimal text per 256-byte page
// (CR LF, LF or CR ends a line), each page filled up with 0xFF, the erased
// byte, where its line is shorter.
std::vector<std::uint8_t> PromImage(const std::string& hexText);
