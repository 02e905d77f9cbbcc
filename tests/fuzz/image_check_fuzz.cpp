// Fuzzes the image checks: any bytes, taken as each of the three images, are
// checked without a crash, an overrun or undefined behaviour; every problem
// line names its file; and an image reported clean is one a quick look at
// its bytes confirms.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "image/image_check.h"
#include "platform/sha256.h"

namespace {

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

    // gen.hex clean: at least a data record and the end-of-file record,
    // every record ended by a line end.
    ImageCheck hex = CheckGenHex(text);
    RequireNamed(hex, "gen.hex");
    if (hex.problems.empty()) {
        Require(hex.summary.size() >= 2 && hex.summary[0].find(" 0 data bytes") == std::string::npos);
        Require(text[text.find_first_not_of("\r\n")] == ':' && std::count(text.begin(), text.end(), ':') >= 2);
        Require(text.back() == '\r' || text.back() == '\n');
    }

    // genprom.hex clean: nothing but digits and line ends, some digits.
    ImageCheck prom = CheckPromHex(text);
    RequireNamed(prom, "genprom.hex");
    if (prom.problems.empty()) {
        bool digits = false;
        for (char c : text) {
            Require(IsHexDigit(c) || c == '\r' || c == '\n');
            digits = digits || IsHexDigit(c);
        }
        Require(digits);
    }

    // GEN.dat clean: 1 to 1,000,000 bytes.
    ImageCheck gateArray = CheckGateArrayImage(text);
    RequireNamed(gateArray, "GEN.dat");
    Require(gateArray.problems.empty() == (size >= 1 && size <= 1000000));

    // Each check describes all the bytes it was given.
    std::string sha256 = Sha256HexOf(data, size);
    for (const ImageCheck* check : {&hex, &prom, &gateArray}) Require(check->size == size && check->sha256 == sha256);
    return 0;
}
