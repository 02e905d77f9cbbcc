// The PROM: a 16 MiB serial flash reached through instruction groups.
//
// 0xD0 opens a group and 0xD2 closes it; the hexadecimal text between them
// is one instruction, carried out when the group closes:
//   06                      write enable
//   C7                      chip erase (needs write enable)
//   02 AA AA AA <data...>   page program at the 24-bit address (needs write
//                           enable); the data wraps inside its 256-byte page
//                           and can only clear bits
// Write enable ends with every erase or program. While an erase runs the
// flash is busy and ignores every instruction. The array reads as erased
// from the start of the erase: nothing can read it before the erase ends.
#include <algorithm>
#include <optional>
#include <vector>

#include "platform/clock.h"
#include "sim/device.h"
#include "sim/hex_text.h"

namespace sim {
namespace {

constexpr std::uint8_t kWriteEnable = 0x06;
constexpr std::uint8_t kChipErase = 0xC7;
constexpr std::uint8_t kPageProgram = 0x02;

// The bytes of the group's text; a lone last digit is dropped, as the
// processor converts digits in pairs. nullopt when a character is no digit.
std::optional<std::vector<std::uint8_t>> Decode(const std::string& text) {
    const auto* digits = reinterpret_cast<const unsigned char*>(text.data());
    const std::int8_t* value = kHexDigitValues.data();
    std::size_t count = text.size();
    for (std::size_t i = 0; i < count; ++i)
        if (value[digits[i]] < 0) return std::nullopt;
    std::vector<std::uint8_t> bytes(count / 2);
    std::uint8_t* out = bytes.data();
    for (std::size_t i = 0; i + 1 < count; i += 2)
        out[i / 2] = static_cast<std::uint8_t>(value[digits[i]] << 4 | value[digits[i + 1]]);
    return bytes;
}

bool Busy(PromState& prom) {
    if (prom.eraseRunning && NowMs() >= prom.eraseEndsAt) prom.eraseRunning = false;
    return prom.eraseRunning;
}

void ChipErase(Device& device) {
    PromState& prom = device.prom;
    prom.pages.clear();
    prom.unprogrammedByte = 0xFF;
    prom.eraseRunning = true;
    prom.eraseEndsAt = NowMs() + device.scenario.promEraseMs;
    ++prom.chipErases;
}

// Latches the data into a page buffer, wrapping at the page end as the
// flash does (later bytes replace earlier ones), then programs it.
void PageProgram(PromState& prom, std::uint32_t address, const std::uint8_t* data, std::size_t count) {
    std::uint32_t page = address / PromState::kPageSize;
    std::array<std::uint8_t, PromState::kPageSize> latch;
    std::array<bool, PromState::kPageSize> loaded{};
    std::uint32_t offset = address % PromState::kPageSize;
    for (std::size_t i = 0; i < count; ++i) {
        latch[offset] = data[i];
        loaded[offset] = true;
        offset = (offset + 1) % PromState::kPageSize;
    }
    auto [it, added] = prom.pages.try_emplace(page);
    if (added) it->second.fill(prom.unprogrammedByte);
    for (std::uint32_t i = 0; i < PromState::kPageSize; ++i)
        if (loaded[i]) it->second[i] &= latch[i];
    ++prom.pagePrograms;
    prom.highestPageProgrammed = std::max<std::int64_t>(prom.highestPageProgrammed, page);
}

void Execute(Device& device, const std::vector<std::uint8_t>& bytes) {
    PromState& prom = device.prom;
    if (bytes.empty()) return;  // an empty group does nothing
    if (Busy(prom)) {
        ++prom.ignoredInstructions;
        return;
    }
    switch (bytes[0]) {
        case kWriteEnable:
            prom.writeEnabled = true;
            return;
        case kChipErase:
            if (!prom.writeEnabled) break;
            prom.writeEnabled = false;
            ChipErase(device);
            return;
        case kPageProgram:
            if (bytes.size() < 4) {
                ++prom.malformedInstructions;
                return;
            }
            if (!prom.writeEnabled) break;
            // Without a data byte the flash does not start a program cycle.
            if (bytes.size() == 4) return;
            prom.writeEnabled = false;
            PageProgram(prom, static_cast<std::uint32_t>(bytes[1] << 16 | bytes[2] << 8 | bytes[3]), bytes.data() + 4,
                        bytes.size() - 4);
            return;
        default:
            ++prom.malformedInstructions;
            return;
    }
    ++prom.ignoredInstructions;
}

}  // namespace

void PromGroupOpen(Device& device) {
    device.prom.groupOpen = true;
    device.prom.groupText.clear();
}

void PromGroupData(Device& device, const std::uint8_t* bytes, std::size_t count) {
    device.prom.groupText.append(reinterpret_cast<const char*>(bytes), count);
}

void PromGroupClose(Device& device) {
    PromState& prom = device.prom;
    if (!prom.groupOpen) return;  // a lone 0xD2 closes nothing
    prom.groupOpen = false;
    auto bytes = Decode(prom.groupText);
    prom.groupText.clear();
    if (!bytes) {
        ++prom.malformedInstructions;
        return;
    }
    Execute(device, *bytes);
}

}  // namespace sim
