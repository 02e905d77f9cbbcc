// Fuzzes the reading of genprom.hex lines: whatever the image holds, every
// line read stays inside the buffer, stays terminated, and the text sent
// for it is no longer than what was read.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "image/prom_image.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    TextReader image{{reinterpret_cast<const char*>(data), size}};
    char buffer[600];
    std::size_t textLength = 0;
    std::size_t pages = 0;
    while (ReadPageLine(image, buffer, static_cast<int>(sizeof buffer), textLength)) {
        if (buffer[sizeof buffer - 1] != '\0' || textLength > std::strlen(buffer)) std::abort();
        if (++pages > size) std::abort();  // every line consumes at least one byte
    }
    if (image.at != size) std::abort();  // read to its end
    return 0;
}
