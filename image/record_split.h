// Record splitting: the processor firmware's Intel HEX text in the form the
// loader is sent: the same records in upper case, except that a record
// whose data runs across a 128-byte address boundary is cut in two at that
// boundary. The end-of-file record and all after it are left out.
#pragma once

#include <string>
#include <string_view>

#include "protocol/limits.h"

// Reads Intel HEX records from `in` up to the end-of-file record (or the end
// of the text) and returns them as written for the loader.
//
// Input line ends are read as they come (CR LF, a lone LF or a lone CR, any
// other characters before them skipped); every written record ends in CR LF.
// Record checksums are not checked: unsplit records keep theirs, the two
// halves of a split record get fresh ones, and the second half has type 00.
// A record is cut once only, and the second half's address wraps at 0xFFFF.
std::string SplitRecords(std::string_view in);
