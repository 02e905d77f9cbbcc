// Small image files from the samples.
#include "small_images.h"

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

// The first `lines` lines of a text, each with its line end.
std::string FirstLines(const std::string& text, std::size_t lines) {
    std::size_t at = 0;
    for (std::size_t i = 0; i < lines && at != std::string::npos; ++i) {
        at = text.find('\n', at);
        if (at != std::string::npos) ++at;
    }
    return text.substr(0, at);
}

}  // namespace

std::string SampleImage(const char* name) {
    std::ifstream in(std::filesystem::path(QVM7316_SOURCE_DIR) / "samples" / name, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::map<std::string, std::string> SmallImages(std::size_t records, std::size_t gateArrayBytes) {
    std::string gateArray = SampleImage("GEN.dat");
    while (!gateArray.empty() && gateArray.size() < gateArrayBytes) gateArray += gateArray;
    return {
        {"gen.hex", FirstLines(SampleImage("gen.hex"), records + 1) + ":00000001FF\r\n"},
        {"genprom.hex", FirstLines(SampleImage("genprom.hex"), 2)},
        {"GEN.dat", gateArray.substr(0, gateArrayBytes)},
    };
}
