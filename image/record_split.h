// Converts the processor firmware "gen.hex" into "gn.hex", the form the
// loader is sent: the same Intel HEX records in upper case, except that a
// record whose data runs across a 128-byte address boundary is cut in two
// at that boundary. The end-of-file record and all after it are left out.
#pragma once

#include <cstdint>

// Records are cut at multiples of this many bytes of the 16-bit address.
constexpr std::uint32_t kRecordBoundary = 0x80;

// The conversion stage. Returns 0, GEN_HEX_OPEN_FAILURE, GN_HEX_OPEN_FAILURE
// or FILE_CLOSE_FAILURE; on failure both files are closed again.
//
// Input line ends are read as they come (CR LF, a lone LF or a lone CR, any
// other characters before them skipped); every written record ends in CR LF.
// Record checksums are not checked: unsplit records keep theirs, the two
// halves of a split record get fresh ones, and the second half has type 00.
// A record is cut once only, and the second half's address wraps at 0xFFFF.
int ConvertHexFile();
