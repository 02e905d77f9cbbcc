// Fuzzes the image checks: any bytes, taken as each of the three images, are
// checked without a crash, an overrun or undefined behaviour; every problem
// line names its file; and an image reported clean is one a quick look at
// its bytes confirms.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "image/image_check.h"
#include "platform/sha256.h"

namespace {

ImageCheck CheckBytes(ImageCheck (*checker)(std::FILE*), const std::uint8_t* data, std::size_t size) {
    std::string bytes(reinterpret_cast<const char*>(data), size);
    std::FILE* file = fmemopen(bytes.data(), bytes.size(), "rb");
    if (!file) std::abort();
    ImageCheck result = checker(file);
    std::fclose(file);
    return result;
}

void Require(bool condition) {
    if (!condition) std::abort();
}

void RequireNamed(const ImageCheck& result, std::string_view name) {
    Require(result.problems.size() <= kMaxListedProblems + 4 && result.sha256.size() == 64);
    for (const std::string& line : result.problems) Require(line.compare(0, name.size(), name) == 0);
}

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);

    // gen.hex is always read whole. Clean: at least a data record and the
    // end-of-file record, every record ended by a line end.
    ImageCheck hex = CheckBytes(CheckGenHex, data, size);
    RequireNamed(hex, "gen.hex");
    Require(hex.size == size && hex.sha256 == Sha256HexOf(data, size));
    if (hex.problems.empty()) {
        Require(hex.summary.size() >= 2 && hex.summary[0].find(" 0 data bytes") == std::string::npos);
        Require(text[text.find_first_not_of("\r\n")] == ':' && std::count(text.begin(), text.end(), ':') >= 2);
        Require(text.back() == '\r' || text.back() == '\n');
    }

    // genprom.hex clean: nothing but digits and line ends, some digits.
    ImageCheck prom = CheckBytes(CheckPromHex, data, size);
    RequireNamed(prom, "genprom.hex");
    if (prom.problems.empty()) {
        bool digits = false;
        for (char c : text) {
            Require(IsHexDigit(c) || c == '\r' || c == '\n');
            digits = digits || IsHexDigit(c);
        }
        Require(digits && prom.size == size);
    }

    // GEN.dat clean: 1 to 1,000,030 bytes, all read.
    ImageCheck gateArray = CheckBytes(CheckGateArrayImage, data, size);
    RequireNamed(gateArray, "GEN.dat");
    Require(gateArray.problems.empty() == (size >= 1 && size <= 1000030));
    if (gateArray.problems.empty()) Require(gateArray.size == size && gateArray.sha256 == hex.sha256);
    return 0;
}
