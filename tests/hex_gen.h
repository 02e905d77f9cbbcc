// Generated Intel HEX firmware files for the record-splitting tests and the
// conversion benchmark: pseudo-random data in runs at pseudo-random
// addresses, an extended linear address record before each 64 KiB segment,
// no record across a 64 KiB boundary, and the end-of-file record last.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct HexGenOptions {
    std::uint32_t seed = 1;
    std::size_t textBytes = 4096;  // stop once the text is this long
    unsigned minRecord = 1;        // data bytes per record
    unsigned maxRecord = 16;
    // One run of records from startAddress on (across a 64 KiB boundary it
    // goes on at startAddress in the next segment); otherwise runs of up
    // to 40 records with gaps of up to 300 bytes between them.
    bool contiguous = false;
    std::uint32_t startAddress = 0;
    bool lowerCase = false;
    std::string lineEnd = "\r\n";
};

std::string GenerateIntelHex(const HexGenOptions& options);

// One record as text (upper case, with a correct checksum, no line end).
std::string HexRecord(std::uint32_t address, unsigned type, const std::string& data);
