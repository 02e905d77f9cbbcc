// Checks of the three image files before the device is touched: the
// processor firmware "gen.hex", the PROM image "genprom.hex" and the
// gate-array image "GEN.dat". Each checker reads an open file from where it
// stands to its end once, in chunks, never holding the whole file, and takes
// the file's SHA-256 on the way, so that the update can later confirm that
// it sends what was checked. Nothing is printed: the results come back.
//
// Lines of the text images end in CR LF, a lone LF or a lone CR; the last
// line may have none. A line longer than any valid line is a problem of its
// own, and only its first characters are kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

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
    // The bytes read and their digest (64 lower-case hex digits). A check may
    // stop reading early on a file that fails it (too many pages, too many
    // bytes, a read error): then these are of no use.
    std::uint64_t size = 0;
    std::string sha256;
};

// gen.hex, Intel HEX: records of types 00 to 05 with right lengths and
// checksums, each ended by a line end, blank lines between them; an
// end-of-file record with nothing but blank lines after it; at least one
// data record; no data record of length 0 before the end-of-file record
// (the conversion into gn.hex would end there); and once the conversion has
// cut records at 128-byte boundaries of their 16-bit address, at most 18 data
// bytes per record, all the loader takes. Summary: the records, the data
// bytes and the address ranges they fill (extended segment and linear
// addresses applied, 16-bit offsets wrapping as in the conversion).
ImageCheck CheckGenHex(std::FILE* file);

// genprom.hex: one page per line, each as at most 512 hexadecimal digits
// (256 bytes), an even number of them, an empty line an empty page; at most
// 65,536 pages, what the PROM holds (reading stops at the first line beyond
// them); at least one page holding data. Summary: pages and bytes.
ImageCheck CheckPromHex(std::FILE* file);

// GEN.dat, served in 32-byte blocks: not empty, and at most 1,000,030 bytes,
// as far as the device's block requests reach (reading stops soon after).
// Summary: bytes and blocks.
ImageCheck CheckGateArrayImage(std::FILE* file);

// The size and SHA-256 of a file from where it stands to its end, to
// confirm that a checked file has not changed since.
struct ImageFingerprint {
    std::uint64_t size = 0;
    std::string sha256;
    std::string readError;  // the system's text for a failed read; empty if none
};
ImageFingerprint FingerprintImage(std::FILE* file);
