#include "update/schedule.h"

#include <algorithm>

#include "device/link.h"
#include "protocol/hex_digits.h"
#include "protocol/limits.h"

namespace {

// Every connection lists the attached devices and pauses before its open.
constexpr std::uint32_t kListing = 200;
// The PROM erase: 1000 ms, then the erase count from 0 to 100, a second each.
constexpr std::uint32_t kPromEraseWait = 1000 + 101 * 1000;
// The gate array's erase: the silence that ends the requests, 100 steps of
// 500 ms, then the erase report's read, whose 10000 ms a report shorter than
// the 22 bytes read waits out.
constexpr std::uint32_t kGateArrayEraseWait = 2000 + 100 * 500 + 10000;
// Mode byte, 200 ms, 0xC0, 200 ms: each gate-array mode and its reset.
constexpr std::uint32_t kModeCommand = 200 + 200;
// The blocks the gate array asks for in erase mode.
constexpr std::uint32_t kEraseModeBlocks = 4;
// The processor programming's read of a line's answer at the chip's default timer.
constexpr std::uint32_t kLineReadTimeoutMs = 70;

}  // namespace

// clang-format off
const ScheduledStage kSchedule[] = {
    // name, words, fixed before the work,
    //   work, passes, second pass's words, most units, pause per unit, fixed after the work
    {"ConnectToProcessor", "Connecting to the processor", kListing + 100 + 500 + 500 + 1000 + 500,
     Work::None, 0, nullptr, 0, 0, 0},
    {"ConvertHexFile", "Converting gen.hex", 0,
     Work::None, 0, nullptr, 0, 0, 0},
    // 100 ms before the lines; after them 100 ms, the boot status record,
    // 100 ms and the 1000 ms its answer's read waits.
    {"ProgramProcessor", "Programming the processor", kListing + 100,
     Work::FirmwareRecords, 1, nullptr, 0, 0, 100 + 100 + 1000},
    // Two connections, 3000 ms apart: reset, factory reset.
    {"ResetProcessor", "Resetting the processor", 2 * kListing + 500 + 500 + 500 + 3000 + 3000 + 500,
     Work::None, 0, nullptr, 0, 0, 0},
    {"ErasePromChip", "Erasing the PROM", kListing + kPromEraseWait,
     Work::None, 0, nullptr, 0, 0, 0},
    {"ProgramProm", "Programming the PROM", kListing + 10,
     Work::PromPages, 1, nullptr, 0, 0, 0},
    // The mode, then a second after each of the two replies.
    {"CheckCommunication", "Checking the connection", kListing + kModeCommand + 1000 + 1000,
     Work::None, 0, nullptr, 0, 0, 0},
    {"EraseGateArray", "Erasing the gate array", kListing + kModeCommand,
     Work::BlockRequests, 1, nullptr, kEraseModeBlocks, 0, kGateArrayEraseWait + kModeCommand},
    // After the passes: the 5000 ms of silence that end them, 2000 ms, the reset.
    {"ProgramGateArray", "Programming the gate array", kListing + kModeCommand,
     Work::BlockRequests, 2, "Verifying the gate array", 0, 10.0 / 100, 5000 + 2000 + kModeCommand},
};
// clang-format on
const int kScheduleLength = static_cast<int>(sizeof kSchedule / sizeof kSchedule[0]);

// The read starts when the echo is seen, and the chip shows the echo up to
// its latency timer after the loader sent it: at the chip's default of 16
// ms the loader had 70 ms and up to 16 ms more for its status. A shorter
// timer shows the echo sooner, so the read waits the difference longer; a
// longer one holds the status back longer, so the read waits the
// difference longer too.
std::uint32_t LineReadTimeoutMs() {
    unsigned timer = LatencyTimerMs();
    unsigned difference = timer < kChipDefaultLatencyMs ? kChipDefaultLatencyMs - timer : timer - kChipDefaultLatencyMs;
    return kLineReadTimeoutMs + difference;
}

double NominalMsPerUnit(Work work) {
    // A short reply reaches the host at the chip's next beat: half the
    // latency timer after the device sent it, on average.
    double timer = LatencyTimerMs();
    switch (work) {
        case Work::FirmwareRecords:
            return 1 + timer / 2 + LineReadTimeoutMs();
        case Work::PromPages:
            return 5.25;
        case Work::BlockRequests:
            // Asked for 1 ms after the answer, the next request goes with the
            // beat that follows the last request's packet.
            return std::max(1.0, timer);
        case Work::None:
            break;
    }
    return 0;
}

std::uint32_t CountLines(std::string_view text) {
    std::uint32_t lines = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' || (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n'))) ++lines;
    }
    if (!text.empty() && text.back() != '\n' && text.back() != '\r') ++lines;
    return lines;
}

namespace {

unsigned HexByteAt(std::string_view line, std::size_t at) {
    if (at + 1 >= line.size()) return 0;
    return HexCharToNibble(line[at]) << 4 | HexCharToNibble(line[at + 1]);
}

// The records the conversion makes of gen.hex: one for each of its records
// up to the end-of-file record, two for one it cuts at a 128-byte boundary.
std::uint32_t FirmwareRecordsOf(std::string_view genHex) {
    std::uint32_t records = 0;
    while (!genHex.empty()) {
        std::size_t end = genHex.find_first_of("\r\n");
        std::string_view line = genHex.substr(0, end);
        genHex.remove_prefix(end == std::string_view::npos ? genHex.size() : end + 1);
        if (line.empty() || line[0] != ':') continue;
        unsigned length = HexByteAt(line, 1);
        if (length == 0) break;
        unsigned address = HexByteAt(line, 3) << 8 | HexByteAt(line, 5);
        records += length > kRecordBoundary - address % kRecordBoundary ? 2 : 1;
    }
    return records;
}

}  // namespace

RunAmounts AmountsOfImages(std::string_view genHex, std::string_view promHex, std::uint64_t gateArraySize) {
    RunAmounts amounts;
    amounts.firmwareRecords = FirmwareRecordsOf(genHex);
    amounts.promPages = CountLines(promHex);
    std::uint64_t reachable = (kLargestBlockRequest - 1) / kGateArrayBlockSize + 1;
    std::uint64_t blocks = (gateArraySize + kGateArrayBlockSize - 1) / kGateArrayBlockSize;
    amounts.gateArrayBlocks = static_cast<std::uint32_t>(std::min(blocks, reachable));
    return amounts;
}

std::uint32_t WorkUnits(int index, const RunAmounts& amounts) {
    const ScheduledStage& stage = kSchedule[index];
    std::uint32_t units = 0;
    switch (stage.work) {
        case Work::FirmwareRecords:
            units = amounts.firmwareRecords;
            break;
        case Work::PromPages:
            units = amounts.promPages;
            break;
        case Work::BlockRequests:
            units = amounts.gateArrayBlocks;
            break;
        case Work::None:
            return 0;
    }
    units *= stage.passes;
    return stage.mostUnits != 0 ? std::min(units, stage.mostUnits) : units;
}
