#include "expected_images.h"

#include <string_view>

namespace {

unsigned HexValue(char c) {
    if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
    return static_cast<unsigned>((c | 0x20) - 'a' + 10);
}

unsigned Byte(std::string_view hex, std::size_t at) { return HexValue(hex[at]) << 4 | HexValue(hex[at + 1]); }

// The lines of a text, without their line ends (CR LF, LF or CR).
std::vector<std::string_view> Lines(const std::string& text) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find_first_of("\r\n", start);
        if (end == std::string::npos) end = text.size();
        lines.emplace_back(text.data() + start, end - start);
        if (end + 1 < text.size() && text[end] == '\r' && text[end + 1] == '\n') ++end;
        start = end + 1;
    }
    return lines;
}

}  // namespace

std::vector<std::uint8_t> ProcessorImage(const std::string& hexText) {
    std::vector<std::uint8_t> memory(0x10000, 0xFF);
    std::uint32_t base = 0;
    bool linear = false;
    for (std::string_view line : Lines(hexText)) {
        if (line.size() < 11 || line[0] != ':') continue;
        unsigned count = Byte(line, 1), address = Byte(line, 3) << 8 | Byte(line, 5), type = Byte(line, 7);
        if (type == 0x04 || type == 0x02) {
            unsigned upper = Byte(line, 9) << 8 | Byte(line, 11);
            linear = type == 0x04;
            base = linear ? upper << 16 : upper << 4;
        }
        if (type != 0x00) continue;
        for (unsigned i = 0; i < count; ++i) {
            std::uint32_t at = linear ? base + address + i : base + ((address + i) & 0xFFFF);
            if (at < memory.size()) memory[at] = static_cast<std::uint8_t>(Byte(line, 9 + 2 * i));
        }
    }
    return memory;
}

std::vector<std::uint8_t> PromImage(const std::string& hexText) {
    std::vector<std::string_view> lines = Lines(hexText);
    std::vector<std::uint8_t> bytes(lines.size() * 256, 0xFF);
    std::uint8_t* page = bytes.data();
    for (std::string_view line : lines) {
        for (std::size_t i = 0; i + 1 < line.size() && i < 512; i += 2)
            page[i / 2] = static_cast<std::uint8_t>(Byte(line, i));
        page += 256;
    }
    return bytes;
}
