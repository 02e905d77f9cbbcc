// The PROM image "genprom.hex": one line of hexadecimal text per 256-byte
// page of the PROM, from address 0 upwards. The text is sent to the device
// as it stands, inside a page-program instruction group.
#pragma once

#include <cstddef>

#include "image/text_reader.h"

// Reads the text of the next line of the image, without its line end (CR
// LF, LF, CR, or none at the end of the image), into buffer (size bytes,
// zero-filled first, so the text is always zero-terminated). A line longer
// than size - 1 characters comes in pieces of that length, each a page of
// its own. False at the end of the image; otherwise `textLength` is the
// length of the text up to a 0 byte, if there is one: all of it is the page's.
bool ReadPageLine(TextReader& image, char* buffer, int size, std::size_t& textLength);
