// Fuzzes the reading of genprom.hex lines: whatever the file holds, every
// line read stays inside the buffer, stays terminated, and the text sent
// for it is no longer than what was read.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "image/prom_image.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::FILE* image = fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
    if (!image) std::abort();
    char buffer[600];
    std::size_t textLength = 0;
    std::size_t pages = 0;
    while (ReadPageLine(image, buffer, static_cast<int>(sizeof buffer), textLength)) {
        if (buffer[sizeof buffer - 1] != '\0' || textLength > std::strlen(buffer)) std::abort();
        if (++pages > size) std::abort();  // every line consumes at least one byte
    }
    std::fclose(image);
    return 0;
}
