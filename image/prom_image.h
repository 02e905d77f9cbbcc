// The PROM image "genprom.hex": one line of hexadecimal text per 256-byte
// page of the PROM, from address 0 upwards. The text is sent to the device
// as it stands, inside a page-program instruction group.
#pragma once

#include <cstddef>
#include <cstdio>

// Reads the next line of the image into buffer (size bytes, zero-filled
// first; a longer line comes in pieces of size - 1 characters, each its own
// page). False at the end of the image or on a read error. `textLength` is
// how much of it is the page's text: all but its last two characters, the
// line end of a CR LF line.
bool ReadPageLine(std::FILE* image, char* buffer, int size, std::size_t& textLength);
