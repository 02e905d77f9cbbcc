// Checks of the three image files before the device is touched: the
// processor firmware "gen.hex", the PROM image "genprom.hex" and the
// gate-array image "GEN.dat". Each checker looks at an image's bytes, held
// whole in memory (the update sends exactly those), and takes their SHA-256.
// Nothing is printed: the results come back.
//
// Lines of the text images end in CR LF, a lone LF or a lone CR; the last
// line may have none. A line longer than any valid line is a problem of its
// own, and only its first characters are looked at.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/limits.h"

// Problems on single lines listed per file; the rest are counted in one
// line after them. Problems of the whole file are always listed.
constexpr std::size_t kMaxListedProblems = 20;
// Summary lines listing the address ranges of gen.hex's data.
constexpr std::size_t kMaxListedRanges = 16;

struct ImageCheck {
    // One whole line each, naming the file and the line where there is one:
    // "gen.hex:12: checksum is 3F, the record needs 40". Empty: the file passed.
    std::vector<std::string> problems;
    // The --check report's lines about the file: "genprom.hex: 48 pages, 12288 bytes".
    std::vector<std::string> summary;
    // The number of bytes and their digest (64 lower-case hex digits).
    std::uint64_t size = 0;
    std::string sha256;
    // gen.hex: the addresses its data spans, from the lowest to the highest
    // ("0x0000-0x1FFF"; 8 digits each when the data reaches beyond 64 KiB);
    // empty when it holds none.
    std::string dataSpan;
};

// The largest file each image can be. A larger file is refused unread, with
// the one problem that TooLarge gives, and so are more bytes handed to a
// checker. gen.hex: 16 MiB, far above any firmware for the 64 KiB processor.
constexpr std::uint64_t kGenHexMaxBytes = 16u << 20;
// genprom.hex: every page full, each line ended by CR LF.
constexpr std::uint64_t kPromHexMaxBytes = std::uint64_t{kPromPageCount} * (2 * kPromPageSize + 2);
// GEN.dat: as far as the device's block requests reach, block after block.
constexpr std::uint64_t kGateArrayMaxBytes = kGateArrayImageLimit;

// "GEN.dat: 1005000 bytes; the device can ask for at most 1000000 (its block
// requests carry at most six decimal digits)", for a file of `size` bytes,
// more than its image's bound.
std::string GenHexTooLarge(std::uint64_t size);
std::string PromHexTooLarge(std::uint64_t size);
std::string GateArrayImageTooLarge(std::uint64_t size);

// gen.hex, Intel HEX: records of types 00 to 05 with right lengths and
// checksums, each ended by a line end, blank lines between them; an
// end-of-file record with nothing but blank lines after it; at least one
// data record; no data record of length 0 before the end-of-file record
// (the conversion into gn.hex would end there); and once the conversion has
// cut records at 128-byte boundaries of their 16-bit address, at most 18 data
// bytes per record, all the loader takes. Summary: the records, the data
// bytes and the address ranges they fill (extended segment and linear
// addresses applied, 16-bit offsets wrapping as in the conversion).
ImageCheck CheckGenHex(std::string_view bytes);

// genprom.hex: one page per line, each as at most 512 hexadecimal digits
// (256 bytes), an even number of them, an empty line an empty page; at most
// 65,536 pages, what the PROM holds (lines beyond them are not looked at);
// at least one page holding data. Summary: pages and bytes.
ImageCheck CheckPromHex(std::string_view bytes);

// GEN.dat, served in 32-byte blocks: not empty, and at most 1,000,030 bytes,
// as far as the device's block requests reach. Summary: bytes and blocks.
ImageCheck CheckGateArrayImage(std::string_view bytes);
