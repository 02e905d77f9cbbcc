// Fuzzes the gen.hex conversion: any input converts without a crash, an
// overrun or undefined behaviour, and every record written ends in CR LF.
// Input and output stay in memory, so nothing is left on disk.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "image/record_split.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;  // fmemopen wants a buffer
    std::FILE* in = fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
    char* text = nullptr;
    std::size_t length = 0;
    std::FILE* out = open_memstream(&text, &length);
    if (!in || !out) std::abort();
    SplitRecords(in, out);
    std::fclose(in);
    std::fclose(out);
    bool endsRight = length == 0 || (length >= 2 && text[length - 2] == '\r' && text[length - 1] == '\n');
    std::free(text);
    if (!endsRight) std::abort();
    return 0;
}
