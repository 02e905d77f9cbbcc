// Fuzzes the gen.hex conversion: any input converts without a crash, an
// overrun or undefined behaviour, and every record written ends in CR LF.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "image/record_split.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static bool inDir = [] {
        char dir[] = "/tmp/qvm7316-fuzz-XXXXXX";
        return mkdtemp(dir) && chdir(dir) == 0;
    }();
    if (!inDir) std::abort();

    std::FILE* in = std::fopen("gen.hex", "wb");
    std::fwrite(data, 1, size, in);
    std::fclose(in);
    std::FILE* saved = stdout;
    stdout = std::fopen("/dev/null", "w");  // the stage's log lines
    int status = ConvertHexFile();
    std::fclose(stdout);
    stdout = saved;
    if (status != 0) std::abort();

    std::FILE* out = std::fopen("gn.hex", "rb");
    std::string text;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, out)) > 0) text.append(buffer, n);
    std::fclose(out);
    if (!text.empty() && (text.size() < 2 || text.compare(text.size() - 2, 2, "\r\n") != 0)) std::abort();
    return 0;
}
