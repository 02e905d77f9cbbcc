// Fuzzes the gen.hex conversion: any input converts without a crash, an
// overrun or undefined behaviour, every record written ends in CR LF, and
// the text stays within what the largest gn.hex may be.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "image/record_split.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text = SplitRecords({reinterpret_cast<const char*>(data), size});
    std::size_t length = text.size();
    bool endsRight = length == 0 || (length >= 2 && text[length - 2] == '\r' && text[length - 1] == '\n');
    // At most twice the input, and one record cut in two at a cut-short end.
    if (!endsRight || length > 2 * size + 1024) std::abort();
    return 0;
}
