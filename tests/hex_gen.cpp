#include "hex_gen.h"

#include <cctype>
#include <random>

std::string HexRecord(std::uint32_t address, unsigned type, const std::string& data) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text = ":";
    unsigned sum = 0;
    auto put = [&](unsigned byte) {
        text += digits[(byte >> 4) & 15];
        text += digits[byte & 15];
        sum += byte;
    };
    put(static_cast<unsigned>(data.size()));
    put((address >> 8) & 0xFF);
    put(address & 0xFF);
    put(type);
    for (unsigned char c : data) put(c);
    put((0x100 - (sum & 0xFF)) & 0xFF);
    return text;
}

std::string GenerateIntelHex(const HexGenOptions& o) {
    std::mt19937 random(o.seed);
    auto below = [&](std::uint32_t n) { return static_cast<std::uint32_t>(random() % n); };
    std::string text;
    text.reserve(o.textBytes + 600);
    auto add = [&](const std::string& record) {
        std::string line = record + o.lineEnd;
        if (o.lowerCase)
            for (char& c : line) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        text += line;
    };

    std::uint32_t address = o.startAddress;
    std::int64_t segment = -1;
    while (text.size() < o.textBytes) {
        if (!o.contiguous) address += below(300);
        std::uint32_t runRecords = o.contiguous ? UINT32_MAX : 1 + below(40);
        for (std::uint32_t r = 0; r < runRecords && text.size() < o.textBytes; ++r) {
            unsigned length = o.minRecord + below(o.maxRecord - o.minRecord + 1);
            std::uint32_t toSegmentEnd = 0x10000 - (address & 0xFFFF);
            if (length > toSegmentEnd && o.contiguous) {
                address += toSegmentEnd + o.startAddress;
                continue;
            }
            if (length > toSegmentEnd) length = toSegmentEnd;
            if (static_cast<std::int64_t>(address >> 16) != segment) {
                segment = address >> 16;
                add(HexRecord(0, 0x04, std::string{static_cast<char>(segment >> 8), static_cast<char>(segment)}));
            }
            std::string data;
            for (unsigned i = 0; i < length; ++i) data += static_cast<char>(random());
            add(HexRecord(address & 0xFFFF, 0x00, data));
            address += length;
        }
    }
    add(HexRecord(0, 0x01, ""));
    return text;
}
