// Fuzzes the conversion of the gate array's block requests: any six
// characters give a number that six characters can hold, and only a number
// inside the image is served.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "update/gate_array_requests.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < kRequestLength) return 0;
    char text[kRequestLength + 1] = {};
    std::memcpy(text, data, kRequestLength);
    std::int32_t n = BlockRequestNumber(text);
    if (n < -99999 || n > 999999) std::abort();
    MaxSize = size > kRequestLength ? static_cast<std::uint32_t>(data[kRequestLength]) * 4096u : 0u;
    bool accepted = AcceptBlockRequest(n);
    if (accepted != (n > 0 && static_cast<std::uint32_t>(n) < MaxSize)) std::abort();
    return 0;
}
