// The schedule of an update: for every stage, in the order the sequence runs
// them, the fixed pauses and waits it takes and the work it does, with a
// nominal time per unit of work. The estimate of the time left
// (update/time_left.h) is this schedule applied to what is left of a run.
// docs/schedule.md describes it.
//
// The nominal times are the emulated device's (--simulate); a real device's
// are measured while the run goes on.
#pragma once

#include <cstdint>
#include <string_view>

// What a stage's work is counted in (BlockRequests last).
enum class Work {
    None,
    FirmwareRecords,  // lines of gn.hex, each sent, echoed and read back
    PromPages,        // lines of genprom.hex, one page each
    BlockRequests,    // requests of the gate array for a block of GEN.dat, each answered
};

// How long the processor programming's read of the loader's answer to a
// line waits (ms): 70, and the difference of the chip's latency timer
// (device/link.h) from its default of 16 ms, so that the loader never has
// less time for its status than at the default.
std::uint32_t LineReadTimeoutMs();

// How long one unit of work takes with the emulated device, in ms, the
// stage's pauses per unit aside, at the chip's latency timer the run sets:
// a record's echo poll, the echo's wait for the chip's next beat (half the
// timer on average) and the time its read waits for a 50-byte answer that
// is shorter (LineReadTimeoutMs); a page's 524 bytes leaving at 100 bytes
// per ms; a request asked for 1 ms after the last answer, which reaches the
// host with the chip's packet a timer after the last one.
double NominalMsPerUnit(Work work);

struct ScheduledStage {
    const char* name;   // the stage, as the sequence and the log name it
    const char* words;  // what the technician reads: "Erasing the PROM"
    // The fixed pauses and waits before the stage's work, its connections'
    // listing pauses included (not the pause the sequence takes before the
    // stage), and those after its work. A stage without work has them all
    // before.
    std::uint32_t beforeWorkMs;
    Work work;
    // How often the device goes through the units: 1, or 2 for a
    // programming and a verifying pass, whose second shows its own words.
    std::uint32_t passes;
    const char* secondPassWords;
    // 0: every unit; else at most this many (the gate array's erase mode
    // asks for its first blocks only).
    std::uint32_t mostUnits;
    // The stage's own pauses during its work, per unit (the programming
    // passes pause 10 ms after every hundredth answer).
    double pauseMsPerUnit;
    std::uint32_t afterWorkMs;
};

// Every stage of the sequence (update/run_update.h), in its order.
extern const ScheduledStage kSchedule[];
extern const int kScheduleLength;

// How much work the images give: known before the run from the image
// check, refined by a stage when it begins its work.
struct RunAmounts {
    std::uint32_t firmwareRecords = 0;
    std::uint32_t promPages = 0;
    std::uint32_t gateArrayBlocks = 0;  // that the device's passes ask for
};

// The amounts of the images the check read: the records of gen.hex (its
// data, address and start records; the conversion adds a record for each
// one it cuts at a 128-byte boundary), the lines of genprom.hex and the
// blocks of GEN.dat a request can reach.
RunAmounts AmountsOfImages(std::string_view genHex, std::string_view promHex, std::uint64_t gateArraySize);

// The units of work of the stage at `index` for these amounts: the records,
// the pages, or the blocks as often as the device's passes go through them,
// at most its mostUnits; 0 for a stage without work.
std::uint32_t WorkUnits(int index, const RunAmounts& amounts);

// The lines of a text: each ended by CR LF, LF or CR, and a last one without
// a line end.
std::uint32_t CountLines(std::string_view text);
