#include "fault_sim.h"

#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <random>
#include <sstream>
#include <string_view>

#include "device/link.h"
#include "device/selection.h"
#include "expected_images.h"
#include "hex_gen.h"
#include "platform/clock.h"
#include "platform/d2xx.h"
#include "platform/d2xx_trace.h"
#include "platform/interrupt.h"
#include "platform/log.h"
#include "platform/text.h"
#include "protocol/status.h"
#include "sim/device.h"
#include "sim/scenario.h"
#include "update/process_state.h"
#include "update/progress.h"
#include "update/run_update.h"

namespace {

// ---- Drawing at random ----

// The same numbers from the same seed on every platform: the engine is
// fully specified, and the ranges are taken by hand (the standard
// distributions are not).
struct Random {
    std::mt19937_64 engine;
    explicit Random(std::uint64_t seed) : engine(seed) {}
    std::uint64_t Below(std::uint64_t n) { return n == 0 ? 0 : engine() % n; }
    std::uint64_t Between(std::uint64_t low, std::uint64_t high) { return low + Below(high - low + 1); }
    bool Percent(unsigned p) { return Below(100) < p; }
};

// Random bytes, eight from each number the engine draws.
std::string RandomBytes(Random& random, std::size_t count) {
    std::string bytes(count, '\0');
    char* out = bytes.data();
    for (std::size_t i = 0; i < count; i += 8) {
        std::uint64_t bits = random.engine();
        std::memcpy(out + i, &bits, std::min<std::size_t>(8, count - i));
    }
    return bytes;
}

std::string RandomHexText(Random& random, std::size_t bytes, bool lowerCase) {
    const char* digits = lowerCase ? "0123456789abcdef" : "0123456789ABCDEF";
    std::string values = RandomBytes(random, bytes);
    std::string text(2 * bytes, '\0');
    char* out = text.data();
    for (std::size_t i = 0; i < bytes; ++i) {
        auto byte = static_cast<unsigned char>(values[i]);
        out[2 * i] = digits[byte >> 4];
        out[2 * i + 1] = digits[byte & 15];
    }
    return text;
}

std::string RandomPromHex(Random& random) {
    std::size_t pages = random.Percent(80)   ? random.Between(1, 40)
                        : random.Percent(90) ? random.Between(41, 300)
                                             : random.Between(301, 2000);
    bool lowerCase = random.Percent(10);
    std::string text;
    bool data = false;
    for (std::size_t page = 0; page < pages; ++page) {
        std::size_t bytes = random.Percent(70) ? 256 : random.Percent(15) ? 0 : random.Between(1, 255);
        // At least one page holds data, or the image check refuses it.
        if (page + 1 == pages && !data && bytes == 0) bytes = 1;
        data = data || bytes > 0;
        text += RandomHexText(random, bytes, lowerCase) + "\r\n";
    }
    return text;
}

std::string RandomGenDat(Random& random) {
    std::size_t size = random.Percent(20)   ? random.Between(1, 64)
                       : random.Percent(75) ? random.Between(65, 3200)
                       : random.Percent(85) ? random.Between(3201, 32000)
                                            : random.Between(32001, 96000);
    return RandomBytes(random, size);
}

std::string RandomGenHex(Random& random) {
    HexGenOptions options;
    options.seed = static_cast<std::uint32_t>(random.Below(1u << 31));
    options.textBytes = random.Percent(80) ? random.Between(20, 2000) : random.Between(2001, 9000);
    options.minRecord = 1;
    options.maxRecord = 16;
    options.contiguous = random.Percent(30);
    options.startAddress = static_cast<std::uint32_t>(random.Below(0xF000));
    options.lowerCase = random.Percent(10);
    options.lineEnd = random.Percent(90) ? "\r\n" : "\n";
    return GenerateIntelHex(options);
}

// ---- The faults ----

// The size of a run in the units its calls follow.
struct Shape {
    std::uint64_t lines;   // records of gen.hex, a few more once split
    std::uint64_t pages;   // of genprom.hex
    std::uint64_t blocks;  // of GEN.dat
};

std::uint64_t Occurrences(const std::string& text, char c) {
    std::uint64_t n = 0;
    for (const char* at = text.data();
         (at = static_cast<const char*>(std::memchr(at, c, text.data() + text.size() - at))); ++at)
        ++n;
    return n;
}

Shape ShapeOf(const SimImages& images) {
    Shape shape{};
    shape.lines = Occurrences(images.genHex, ':');
    shape.lines += shape.lines / 4 + 1;
    shape.pages = Occurrences(images.promHex, '\n');
    shape.blocks = (images.genDat.size() + 31) / 32;
    return shape;
}

// About how many calls of each function a good run with these images
// makes, so that a fault at "the n-th call" can fall anywhere in the run.
std::uint64_t CallsExpected(D2xxCall call, const Shape& s) {
    switch (call) {
        case D2xxCall::ListDevices:
            return 30;
        case D2xxCall::OpenEx:
        case D2xxCall::Close:
        case D2xxCall::SetLatencyTimer:
            return 10;
        case D2xxCall::Purge:
            return 9;
        case D2xxCall::SetTimeouts:
            return s.lines + 8;
        case D2xxCall::Write:
            return 40 + s.lines + 17 * s.pages + 2 * s.blocks;
        case D2xxCall::Read:
            return 12 + s.lines + 2 * s.blocks;
        case D2xxCall::GetQueueStatus:
            return 2 * s.lines;
        case D2xxCall::GetStatus:
            return 2 * s.pages + 5;
    }
    return 1;
}

D2xxCall RandomCall(Random& random) {
    // Mostly the calls that move bytes; every call now and then.
    static const std::pair<D2xxCall, unsigned> kWeights[] = {
        {D2xxCall::Write, 28},          {D2xxCall::Read, 19},          {D2xxCall::ListDevices, 8},
        {D2xxCall::OpenEx, 8},          {D2xxCall::Close, 8},          {D2xxCall::Purge, 6},
        {D2xxCall::SetTimeouts, 8},     {D2xxCall::GetQueueStatus, 6}, {D2xxCall::GetStatus, 6},
        {D2xxCall::SetLatencyTimer, 3},
    };
    auto pick = static_cast<unsigned>(random.Below(100));
    for (const auto& [call, weight] : kWeights) {
        if (pick < weight) return call;
        pick -= weight;
    }
    return D2xxCall::Write;
}

std::string AtCall(const char* key, Random& random, const Shape& shape) {
    D2xxCall call = RandomCall(random);
    std::uint64_t n = 1 + random.Below(CallsExpected(call, shape) * 11 / 10 + 1);
    return std::string(key) + " = " + D2xxCallName(call) + " " + std::to_string(n);
}

// A text in double quotes for a scenario file, bytes outside printable
// ASCII escaped.
std::string Quoted(const std::string& text) { return InQuotes(text, '"'); }

// A text near `good`: a character changed, one missing, one more, or
// something else altogether.
std::string NearText(Random& random, const std::string& good) {
    std::string text = good;
    switch (random.Below(4)) {
        case 0:
            text[random.Below(text.size())] = static_cast<char>(random.Between(0x20, 0x7E));
            break;
        case 1:
            text.erase(random.Below(text.size()), 1);
            break;
        case 2:
            text.insert(random.Below(text.size() + 1), 1, static_cast<char>(random.Between(0x20, 0x7E)));
            break;
        default:
            text.assign(random.Between(0, 30), '\0');
            for (char& c : text) c = static_cast<char>(random.Below(256));
            break;
    }
    return text;
}

// A request list the host should not take for a whole programming: odd
// requests among block positions, and always one block left out.
std::string OddRequests(Random& random, const Shape& shape) {
    std::uint64_t blocks = std::max<std::uint64_t>(shape.blocks, 1);
    std::uint64_t leftOut = random.Below(blocks);
    std::vector<std::string> list;
    std::size_t length = random.Between(1, 60);
    char text[24];  // six digits, with room for any 64-bit number the compiler sees
    for (std::size_t i = 0; i < length; ++i) {
        switch (random.Below(8)) {
            case 0:
                list.push_back("000000");
                break;
            case 1:
                list.push_back(random.Percent(50) ? "ABCDEF" : "-00001");
                break;
            case 2:
                list.push_back(random.Percent(50) ? "\"     1\"" : "+00001");
                break;
            case 3:  // past the end of the image
                std::snprintf(text, sizeof text, "%06llu",
                              static_cast<unsigned long long>(
                                  std::min<std::uint64_t>(999999, blocks * 32 + 1 + random.Below(64))));
                list.push_back(text);
                break;
            case 4:  // not at a block's start
                std::snprintf(text, sizeof text, "%06llu",
                              static_cast<unsigned long long>(1 + random.Below(blocks * 32)));
                list.push_back(text);
                break;
            default: {
                std::uint64_t block = random.Below(blocks);
                if (block == leftOut) block = (block + 1) % blocks;
                if (block == leftOut) continue;  // a single block: left out
                std::snprintf(text, sizeof text, "%06llu", static_cast<unsigned long long>(block * 32 + 1));
                list.push_back(text);
            }
        }
    }
    if (list.empty()) list.push_back("000000");
    // Sometimes the device stops in the middle of its last request.
    if (random.Percent(20)) list.push_back(std::string("00").substr(0, random.Between(1, 2)));
    std::string line = "ga_requests = ";
    for (std::size_t i = 0; i < list.size(); ++i) line += (i ? ", " : "") + list[i];
    return line;
}

std::vector<std::string> DeviceFault(Random& random) {
    switch (random.Below(7)) {
        case 0:
            return {"devices ="};
        case 1:
            return {"devices = QVM7316 [A1], QVM7316 [B2]"};
        case 2:
            return {"devices = FT232R USB UART [F1], QVM7316 [Q1]"};
        case 3:
            return {"devices = QVM7316 A [Q1]"};
        case 4:
            return {"devices = qvm7316 [Q1]"};
        case 5:
            return {"devices = QVM7316 [Q1]",
                    "attach_after = " + std::to_string(random.Between(1, 10)) + " QVM7316 [L1], FT232R USB UART"};
        default:
            return {"devices = FT232R USB UART [F1], QVM7316 [Q1]",
                    "swap_order_after = " + std::to_string(random.Between(1, 10))};
    }
}

// One fault of each kind, as one or more scenario lines.
using Fault = std::vector<std::string>;

std::string Number(const char* key, std::uint64_t n) { return std::string(key) + " = " + std::to_string(n); }

Fault FailingCall(Random& r, const Shape& s) { return {AtCall("fail", r, s)}; }
Fault Unplugged(Random& r, const Shape& s) { return {AtCall("unplug_after", r, s)}; }
Fault Terminated(Random& r, const Shape& s) { return {AtCall("terminate_after", r, s)}; }

// One Ctrl+C, which only warns, or two, which stop the run if they come
// within five seconds.
Fault Interrupted(Random& r, const Shape& s) {
    Fault lines = {AtCall("interrupt_after", r, s)};
    if (r.Percent(60)) lines.push_back(AtCall("interrupt_after", r, s));
    return lines;
}

Fault WrongHandshake(Random& r, const Shape&) {
    if (r.Percent(30)) return {"handshake_reply = none"};
    std::uint64_t byte = r.Below(255);
    return {Number("handshake_reply", byte >= 0x55 ? byte + 1 : byte)};
}

// The processor's records, then its boot status record.
std::uint64_t Records(const Shape& s) { return s.lines + 1; }

Fault EchoStatus(Random& r, const Shape& s) {
    const char statuses[] = "X?!,.";
    return {"echo_status = " + std::string(1, statuses[r.Below(5)]) + " " + std::to_string(r.Between(1, Records(s)))};
}

Fault EchoSilent(Random& r, const Shape& s) { return {"echo = none " + std::to_string(r.Between(1, Records(s)))}; }
Fault EchoShort(Random& r, const Shape&) { return {Number("echo_short", r.Between(1, 10))}; }
Fault SlowLink(Random& r, const Shape&) { return {Number("tx_drain", r.Percent(40) ? 0 : r.Between(1, 99))}; }

Fault WrongComCheck(Random& r, const Shape&) {
    bool first = r.Percent(50);
    std::string key = first ? "comcheck_reply1" : "comcheck_reply2";
    if (r.Percent(30)) return {key + " = none"};
    return {key + " = " + Quoted(NearText(r, first ? " Doing COM CHECK command" : "  Done COM CHECK command"))};
}

// Around the 3000 ms the host waits for each reply, or anywhere.
Fault SlowComCheck(Random& r, const Shape&) {
    return {Number("comcheck_delay_ms", r.Percent(50) ? r.Between(2990, 3010) : r.Between(0, 6000))};
}

// Mostly around the erase mode's four requests, the end of the programming
// pass and the end of the verifying pass.
Fault GateArrayStops(Random& r, const Shape& s) {
    std::uint64_t passes = 2 * s.blocks;
    std::uint64_t around[] = {4, s.blocks, passes};
    std::uint64_t at = around[r.Below(3)];
    return {Number("ga_stop_after",
                   r.Percent(70) ? at - std::min<std::uint64_t>(at, 1) + r.Between(0, 2) : r.Below(passes + 5))};
}

Fault ShortAnswerWrite(Random& r, const Shape& s) {
    return {Number("ga_short_write", r.Between(1, std::max<std::uint64_t>(2 * s.blocks, 4)))};
}

Fault OddRequestList(Random& r, const Shape& s) { return {OddRequests(r, s)}; }

Fault WrongEraseReport(Random& r, const Shape&) {
    if (r.Percent(40)) return {"ga_report = none"};
    return {"ga_report = " + Quoted(NearText(r, "GA erase OK\r\n"))};
}

// At the edge of the 2000 ms request read, or of the report's read.
Fault EraseTiming(Random& r, const Shape&) {
    std::uint64_t ms = r.Percent(40)   ? r.Between(1990, 2010)
                       : r.Percent(50) ? r.Between(0, 100)
                                       : r.Between(60000, 63000);
    return {Number("ga_erase_ms", ms)};
}

Fault OtherDevices(Random& r, const Shape&) { return DeviceFault(r); }

// Any time the host's fixed 101 s wait covers: a slower PROM is nothing the
// host could notice.
Fault PromEraseTime(Random& r, const Shape&) { return {Number("prom_erase_ms", r.Between(0, 90000))}; }

struct FaultKind {
    unsigned weight;  // in a hundred
    Fault (*make)(Random&, const Shape&);
};
const FaultKind kFaultKinds[] = {
    {34, FailingCall}, {8, Unplugged},      {3, Terminated},       {3, Interrupted},    {3, WrongHandshake},
    {4, EchoStatus},   {3, EchoSilent},     {3, EchoShort},        {4, SlowLink},       {4, WrongComCheck},
    {3, SlowComCheck}, {6, GateArrayStops}, {4, ShortAnswerWrite}, {5, OddRequestList}, {3, WrongEraseReport},
    {4, EraseTiming},  {4, OtherDevices},   {2, PromEraseTime},
};

Fault RandomFault(Random& random, const Shape& shape) {
    auto pick = static_cast<unsigned>(random.Below(100));
    for (const FaultKind& kind : kFaultKinds) {
        if (pick < kind.weight) return kind.make(random, shape);
        pick -= kind.weight;
    }
    return FailingCall(random, shape);
}

// ---- The run, recorded ----

// What the wrapper between the trace and the emulator saw of a run.
struct Record {
    const D2xxOps* inner = nullptr;
    const std::string* log = nullptr;
    std::array<std::uint32_t, kD2xxCallCount> calls{};
    std::vector<FT_HANDLE> open;  // handles opened and not closed yet
    std::size_t logAtLastCall = 0;
    std::uint64_t limitMs = 0;  // virtual time at which the run is stopped as a runaway
    std::chrono::steady_clock::time_point realStart;
    double processorStart = 0;
    bool stoppedAsRunaway = false;
    std::vector<std::string> violations;
};
Record g_record;

// A run in virtual time takes milliseconds of the processor's time; with
// the sanitizers, ten times as long. The wall clock also counts the time
// other processes took on a busy machine, so it gets more room.
#if defined(__SANITIZE_ADDRESS__)
constexpr double kProcessorSecondsLimit = 20.0;
#else
constexpr double kProcessorSecondsLimit = 5.0;
#endif
constexpr double kRealSecondsLimit = 60.0;

double ProcessorSeconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }
constexpr std::size_t kMaxViolationsPerRun = 8;

void Violation(std::vector<std::string>& violations, const std::string& line) {
    if (violations.size() < kMaxViolationsPerRun) violations.push_back(line);
}

void StopAsRunaway(const std::string& why) {
    if (g_record.stoppedAsRunaway) return;
    g_record.stoppedAsRunaway = true;
    Violation(g_record.violations, "ends in time: " + why);
    RequestStop(TERMINATED);
}

// Every call passes here on its way to the emulator.
void Before(D2xxCall call) {
    std::uint32_t n = ++g_record.calls[static_cast<std::size_t>(call)];
    g_record.logAtLastCall = g_record.log->size();
    if (StopRequested() && call != D2xxCall::Close && !g_record.stoppedAsRunaway)
        Violation(g_record.violations, std::string("nothing after a stop but the close: ") + D2xxCallName(call) + " " +
                                           std::to_string(n) + " after the stop");
    if (NowMs() > g_record.limitMs)
        StopAsRunaway("still running at " + std::to_string(NowMs()) + " ms of virtual time");
    if ((n & 1023) == 0) {
        double used = ProcessorSeconds() - g_record.processorStart;
        if (used > 2 * kProcessorSecondsLimit)
            StopAsRunaway("still running after " + std::to_string(used) + " s of the processor's time");
    }
}

#define RECORDED(call, params, args)         \
    FT_STATUS WINAPI Recorded##call params { \
        Before(D2xxCall::call);              \
        return g_record.inner->call args;    \
    }
D2XX_CALLS(RECORDED)
#undef RECORDED

FT_STATUS WINAPI TrackedOpen(PVOID pArg1, DWORD Flags, FT_HANDLE* pHandle) {
    FT_STATUS status = RecordedOpenEx(pArg1, Flags, pHandle);
    if (status == FT_OK) g_record.open.push_back(*pHandle);
    return status;
}

// A close gives the handle back whatever it returns: the program never
// closes a handle twice.
FT_STATUS WINAPI TrackedClose(FT_HANDLE handle) {
    FT_STATUS status = RecordedClose(handle);
    auto it = std::find(g_record.open.begin(), g_record.open.end(), handle);
    if (it != g_record.open.end()) g_record.open.erase(it);
    return status;
}

const D2xxOps* RecordingD2xx(const D2xxOps* inner) {
    static D2xxOps ops = {"emulator",
#define RECORDED_ENTRY(call, params, args) Recorded##call,
                          D2XX_CALLS(RECORDED_ENTRY)
#undef RECORDED_ENTRY
    };
    ops.OpenEx = TrackedOpen;
    ops.Close = TrackedClose;
    ops.name = inner->name;
    g_record.inner = inner;
    return &ops;
}

// The display, as the console program's: the run's end is a log line.
struct Shown {
    std::vector<int> progress;
    int endedStatus = -1;
};
Shown g_shown;

void ShownStarted() {}
bool ShownProgress(int percent, const char*) {
    g_shown.progress.push_back(percent);
    return true;
}
void ShownEnded(int status, const char* message, const char*) {
    g_shown.endedStatus = status;
    Log("%s\n", message);
}
const DisplayOps kShown = {ShownStarted, ShownProgress, ShownEnded, nullptr, nullptr};

// ---- The invariants ----

// The longest a run with these images and this device may take in virtual
// time: every pause of a good run, every time-out once, and each line,
// page and block at the slowest the device may be without the run failing,
// its replies held by the chip's timer at the longest it may be set to
// (the default, when setting it failed).
std::uint64_t TimeBoundMs(const SimImages& images, const sim::Scenario& scenario) {
    Shape s = ShapeOf(images);
    std::uint64_t timer = kChipDefaultLatencyMs;
    std::uint64_t connections = 10 * 200;
    std::uint64_t pauses = 1000 + 5 * 4000;
    std::uint64_t connect = 2600 + 500;
    std::uint64_t lineRead = 70 + kChipDefaultLatencyMs - kLatencyTimerMinMs;
    std::uint64_t processor = 100 + s.lines * (1 + timer + lineRead + 1) + 1000 + 100 + 100 + 1000;
    std::uint64_t reset = 8000;
    std::uint64_t promErase = 1000 + 101 * 1000;
    std::uint64_t drain = scenario.txDrainBytesPerMs;
    std::uint64_t perPage = 3 + (drain ? 600 / drain + 1 : 0);
    std::uint64_t promProgram = 10 + s.pages * perPage + 5000;
    std::uint64_t comCheck = 400 + 3000 + 1000 + 3000 + 1000;
    std::uint64_t gaErase = 400 + 4 * (11 + timer) + 2000 + 50000 + 10000 + 400;
    std::uint64_t listed = scenario.gaRequests ? scenario.gaRequests->size() : 0;
    std::uint64_t gaProgram = 400 + (3 * s.blocks + 100) * (11 + timer) + listed * 1000 + 5000 + 2000 + 400;
    std::uint64_t total =
        connections + pauses + connect + processor + reset + promErase + promProgram + comCheck + gaErase + gaProgram;
    return total + total / 10;
}

bool Documented(int code) { return code == 0 || (code >= 23 && code <= 39) || code == 130 || code == 143; }

// The log's lines that say where a run failed or stopped.
std::vector<std::string> FailureLines(const std::string& log, std::size_t& firstAt) {
    std::vector<std::string> lines;
    firstAt = std::string::npos;
    std::size_t start = 0;
    while (start < log.size()) {
        std::size_t end = log.find('\n', start);
        if (end == std::string::npos) end = log.size();
        std::string_view line(log.data() + start, end - start);
        if (line.starts_with("failed in ") || line.starts_with("stopped in ")) {
            if (lines.empty()) firstAt = start;
            lines.emplace_back(line);
        }
        start = end + 1;
    }
    return lines;
}

std::string FirstDifference(const std::vector<std::uint8_t>& held, const std::vector<std::uint8_t>& wanted) {
    std::size_t i = 0;
    while (i < held.size() && i < wanted.size() && held[i] == wanted[i]) ++i;
    char text[160];
    if (i < held.size() && i < wanted.size())
        std::snprintf(text, sizeof text, "at byte %zu it holds %02X, the image %02X (%zu bytes)", i, held[i], wanted[i],
                      wanted.size());
    else
        std::snprintf(text, sizeof text, "it holds %zu bytes, the image %zu", held.size(), wanted.size());
    return text;
}

// `ownPasses`: the gate array asked for its blocks in its own two passes;
// its verifying pass must then have found nothing amiss (the host takes a
// pass that reached 99 % of the image as done, so the device's count of
// finished verifications may lag by the last blocks of a small image). A
// device given a fixed list of requests has no verifying pass, and what it
// holds is all there is to check.
void CheckDeviceHoldsImages(const SimImages& images, bool ownPasses, std::vector<std::string>& violations) {
    const sim::Device& device = sim::TheDevice();
    const std::string what = "success means the device holds the images: ";
    std::vector<std::uint8_t> processor = ProcessorImage(images.genHex);
    if (device.loader.memory != processor)
        Violation(violations, what + "processor memory differs " + FirstDifference(device.loader.memory, processor));
    if (device.loader.bsbRecords == 0)
        Violation(violations, what + "the processor's loader never took the boot status record");
    std::vector<std::uint8_t> prom = PromImage(images.promHex);
    std::size_t pages = std::max<std::size_t>(prom.size() / sim::PromState::kPageSize,
                                              static_cast<std::size_t>(device.prom.highestPageProgrammed + 1));
    prom.resize(pages * sim::PromState::kPageSize, 0xFF);
    std::vector<std::uint8_t> held = sim::PromContents(device.prom, pages);
    if (held != prom) Violation(violations, what + "PROM differs " + FirstDifference(held, prom));
    std::vector<std::uint8_t> gateArray(images.genDat.begin(), images.genDat.end());
    if (device.gateArray.image != gateArray)
        Violation(violations, what + "gate array differs " + FirstDifference(device.gateArray.image, gateArray));
    std::string report = sim::DeviceReport(device);
    if (ownPasses && (device.gateArray.verifyMismatches > 0 || device.gateArray.programmingPasses == 0)) {
        std::size_t at = report.find("gate_array_erases:");
        std::string seen = report.substr(at, report.find("\ngate_array_verify_mismatches") - at);
        std::replace(seen.begin(), seen.end(), '\n', ',');
        Violation(violations, what + "its gate array did not verify them (" + seen + ")");
    }
}

// The image files of the run's folder that the process still holds open.
std::vector<std::string> OpenImageFiles(const std::filesystem::path& folder) {
    std::vector<std::string> open;
    std::error_code ec;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
        std::error_code linkError;
        auto target = std::filesystem::read_symlink(fd.path(), linkError);
        if (linkError || target.parent_path() != folder) continue;
        std::string name = target.filename().string();
        if (name == "gen.hex" || name == "gn.hex" || name == "genprom.hex" || name == "GEN.dat") open.push_back(name);
    }
    return open;
}

// The trace's call lines: those that are no comment.
std::uint64_t TracedCalls(const char* text, std::size_t size) {
    std::uint64_t calls = 0;
    const char* end = text + size;
    for (const char* line = text; line < end;) {
        const char* next = static_cast<const char*>(std::memchr(line, '\n', static_cast<std::size_t>(end - line)));
        if (*line != '#') ++calls;
        line = next ? next + 1 : end;
    }
    return calls;
}

std::string ReadWhole(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteWhole(const std::filesystem::path& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool ImageCheckStatus(int code) {
    return code == GEN_HEX_OPEN_FAILURE || code == GN_HEX_OPEN_FAILURE || code == PROM_HEX_OPEN_FAILURE ||
           code == GEN_DAT_OPEN_FAILURE;
}

void CheckRun(const SimCase& simCase, const std::filesystem::path& folder, const char* trace, std::size_t traceSize,
              SimRun& run) {
    auto& v = run.violations;
    const std::string& log = run.log;
    bool succeeded = log.find(std::string(kRunSucceeded) + "\n") != std::string::npos;

    if ((run.exitCode == 0) != succeeded)
        Violation(v, "exit 0 if and only if success is logged: exit " + std::to_string(run.exitCode) +
                         (succeeded ? " after the success line" : " without it"));
    if (run.exitCode == 0) {
        bool listed = std::any_of(simCase.faults.begin(), simCase.faults.end(),
                                  [](const std::string& f) { return f.rfind("ga_requests", 0) == 0; });
        CheckDeviceHoldsImages(simCase.images, !listed, v);
    }

    if (!Documented(run.exitCode)) Violation(v, "a documented exit code: " + std::to_string(run.exitCode));
    std::size_t failureAt = 0;
    std::vector<std::string> failures = FailureLines(log, failureAt);
    if (run.exitCode == 0 && !failures.empty())
        Violation(v, "the log agrees with the exit code: exit 0 after \"" + failures.front() + "\"");
    if (run.exitCode != 0) {
        char name[96];
        std::snprintf(name, sizeof name, ": %s (%d)", StatusName(run.exitCode), run.exitCode);
        bool stopped = run.exitCode == INTERRUPTED || run.exitCode == TERMINATED;
        if (failures.size() != 1 || !failures.front().ends_with(name) ||
            failures.front().starts_with("stopped in ") != stopped)
            Violation(v, "the log agrees with the exit code: exit " + std::to_string(run.exitCode) + " with " +
                             std::to_string(failures.size()) + " failure lines" +
                             (failures.empty() ? "" : ", the first \"" + failures.front() + "\""));
    }
    if (g_shown.endedStatus != run.exitCode)
        Violation(v, "the display agrees with the exit code: it ended with " + std::to_string(g_shown.endedStatus));
    bool showedDone = std::find(g_shown.progress.begin(), g_shown.progress.end(), 100) != g_shown.progress.end();
    if (showedDone != (run.exitCode == 0))
        Violation(v, std::string("only success shows 100 % (DONE!): ") +
                         (showedDone ? "shown by a run that failed" : "not shown by a run that succeeded"));

    if (run.virtualMs > run.boundMs)
        Violation(v, "ends in time: " + std::to_string(run.virtualMs) + " ms of virtual time, the bound " +
                         std::to_string(run.boundMs) + " ms");
    if (run.processorSeconds > kProcessorSecondsLimit || run.realSeconds > kRealSecondsLimit)
        Violation(v, "ends in time: " + std::to_string(run.processorSeconds) + " s of the processor's time, " +
                         std::to_string(run.realSeconds) + " s of real time");

    if (!g_record.open.empty())
        Violation(v, "every open has its close: " + std::to_string(g_record.open.size()) + " handle(s) left open");
    for (const std::string& name : OpenImageFiles(folder)) Violation(v, "no image file left open: " + name);
    std::uint64_t made = 0;
    for (std::uint32_t n : g_record.calls) made += n;
    if (std::uint64_t traced = TracedCalls(trace, traceSize); traced != made)
        Violation(
            v, "the trace holds every call: " + std::to_string(traced) + " traced, " + std::to_string(made) + " made");
    std::string runLog = ReadWhole(folder / "run.log");
    std::size_t lastLine = runLog.rfind('\n', runLog.size() >= 2 ? runLog.size() - 2 : 0);
    std::string last = runLog.substr(lastLine == std::string::npos ? 0 : lastLine + 1);
    std::string outcome = run.exitCode == 0 ? "succeeded" : failures.empty() ? "?" : failures.front();
    if (!last.starts_with("=== end: " + outcome + " after ") || !last.ends_with(" s\n"))
        Violation(v, "the run log ends with its result line: it ends \"" + last.substr(0, 100) + "\"");

    if (failureAt != std::string::npos && g_record.logAtLastCall > failureAt)
        Violation(v, "nothing after the failure: a call after \"" + failures.front() + "\"");
    if (log.find(kDeviceUnchanged) != std::string::npos &&
        g_record.calls[static_cast<std::size_t>(D2xxCall::Write)] > 0)
        Violation(v, "a run that says nothing was sent wrote nothing: " +
                         std::to_string(g_record.calls[static_cast<std::size_t>(D2xxCall::Write)]) + " writes");

    bool refusedImages =
        ImageCheckStatus(run.exitCode) && !failures.empty() && failures.front().starts_with("failed in image check");
    if (simCase.faults.empty() && run.exitCode != 0 && !refusedImages)
        Violation(v, "a run without faults succeeds: " +
                         (failures.empty() ? std::to_string(run.exitCode) : failures.front()));
    for (const std::string& line : g_record.violations) Violation(v, line);
}

}  // namespace

std::string ScenarioText(const SimCase& simCase) {
    std::string text = "# fault simulation, seed " + std::to_string(simCase.seed) + "\n";
    for (const std::string& line : simCase.faults) text += line + "\n";
    return text;
}

SimImages RandomImages(std::uint64_t seed) {
    Random random(seed);
    SimImages images;
    images.genHex = RandomGenHex(random);
    images.promHex = RandomPromHex(random);
    images.genDat = RandomGenDat(random);
    return images;
}

SimCase CaseFromSeed(std::uint64_t seed) {
    SimCase simCase;
    simCase.seed = seed;
    simCase.images = RandomImages(seed);
    Random random(seed ^ 0x9E3779B97F4A7C15ull);
    Shape shape = ShapeOf(simCase.images);
    unsigned pick = static_cast<unsigned>(random.Below(100));
    std::size_t faults = pick < 10 ? 0 : pick < 50 ? 1 : pick < 75 ? 2 : random.Between(3, 5);
    for (std::size_t i = 0; i < faults; ++i)
        for (std::string& line : RandomFault(random, shape)) simCase.faults.push_back(std::move(line));
    return simCase;
}

SimImages SampleImages(const std::filesystem::path& sourceDir) {
    std::filesystem::path samples = sourceDir / "samples";
    return {ReadWhole(samples / "gen.hex"), ReadWhole(samples / "genprom.hex"), ReadWhole(samples / "GEN.dat")};
}

SimRun RunCase(const SimCase& simCase, const std::filesystem::path& folder, bool imagesInPlace) {
    SimRun run;
    sim::Scenario scenario;
    std::string error;
    if (!sim::ParseScenario(ScenarioText(simCase), "scenario", scenario, error)) {
        run.violations.push_back("a scenario that parses: " + error);
        return run;
    }
    if (!imagesInPlace) {
        WriteWhole(folder / "gen.hex", simCase.images.genHex);
        WriteWhole(folder / "genprom.hex", simCase.images.promHex);
        WriteWhole(folder / "GEN.dat", simCase.images.genDat);
    }
    std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(folder);
    std::filesystem::remove(folder / "run.log");

    // Thousands of runs one after the other allocate and free the same
    // large buffers (the trace, the device's memories): kept in the heap
    // rather than given back to the system, their pages are not faulted in
    // afresh for every run.
    static const bool keepMemory = mallopt(M_MMAP_THRESHOLD, 64 << 20) && mallopt(M_TRIM_THRESHOLD, 256 << 20);
    (void)keepMemory;

    // As the console program's main does it.
    ResetProcessState();
    UseVirtualClock();
    LogToBuffer(&run.log);
    OpenRunLog((folder / "run.log").string());
    ChooseDevice("");
    sim::StartEmulator(scenario, folder.string());
    g_record = Record{};
    g_record.log = &run.log;
    run.boundMs = TimeBoundMs(simCase.images, scenario);
    g_record.limitMs = 2 * run.boundMs;
    g_record.realStart = std::chrono::steady_clock::now();
    g_record.processorStart = ProcessorSeconds();
    g_shown = Shown{};
    char* trace = nullptr;
    std::size_t traceSize = 0;
    std::FILE* traceFile = open_memstream(&trace, &traceSize);
    SelectD2xx(TraceD2xx(RecordingD2xx(sim::EmulatorD2xx()), traceFile, "trace"));
    SelectDisplay(&kShown);

    int result = UpdateWorker();
    run.exitCode = result == 0 ? 0 : LastFailedStatus();

    EndTrace();
    CloseRunLog();
    run.virtualMs = NowMs();
    run.realSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - g_record.realStart).count();
    run.processorSeconds = ProcessorSeconds() - g_record.processorStart;
    LogToBuffer(nullptr);
    SelectD2xx(nullptr);
    SelectDisplay(nullptr);
    UseRealClock();
    run.calls.perCall.assign(g_record.calls.begin(), g_record.calls.end());
    CheckRun(simCase, folder, trace, traceSize, run);
    std::free(trace);
    std::filesystem::current_path(previous);
    return run;
}

std::string InvariantOf(const std::string& violation) { return violation.substr(0, violation.find(':')); }

namespace {

bool Breaks(const SimCase& simCase, const std::string& invariant, const std::filesystem::path& folder) {
    for (const std::string& v : RunCase(simCase, folder).violations)
        if (InvariantOf(v) == invariant) return true;
    return false;
}

// The smallest images of each kind that pass the image check.
SimImages SmallestImages() {
    SimImages images;
    images.genHex = HexRecord(0, 0x00, "\x01\x02\x03\x04") + "\r\n" + HexRecord(0, 0x01, "") + "\r\n";
    images.promHex = "A5\r\n";
    images.genDat = std::string(32, '\x5A');
    return images;
}

}  // namespace

SimCase Shrink(const SimCase& failing, const std::string& invariant, const std::filesystem::path& folder) {
    SimCase best = failing;
    // The faults: one fewer at a time, as long as one can go.
    for (bool shrunk = true; shrunk;) {
        shrunk = false;
        for (std::size_t i = 0; i < best.faults.size() && !shrunk; ++i) {
            SimCase fewer = best;
            fewer.faults.erase(fewer.faults.begin() + static_cast<std::ptrdiff_t>(i));
            if (Breaks(fewer, invariant, folder)) {
                best = fewer;
                shrunk = true;
            }
        }
    }
    // The images: the smallest of a kind where it still breaks, unless a
    // fault names a call by its number, which smaller images would move.
    bool namesCalls = std::any_of(best.faults.begin(), best.faults.end(),
                                  [](const std::string& fault) { return fault.find("= FT_") != std::string::npos; });
    if (namesCalls) return best;
    SimImages smallest = SmallestImages();
    for (std::string SimImages::*image : {&SimImages::genHex, &SimImages::promHex, &SimImages::genDat}) {
        SimCase smaller = best;
        smaller.images.*image = smallest.*image;
        if (best.images.*image != smallest.*image && Breaks(smaller, invariant, folder)) best = smaller;
    }
    return best;
}

std::string KeepCase(const SimCase& simCase, const std::filesystem::path& folder, const std::string& consoleProgram) {
    std::filesystem::create_directories(folder);
    WriteWhole(folder / "gen.hex", simCase.images.genHex);
    WriteWhole(folder / "genprom.hex", simCase.images.promHex);
    WriteWhole(folder / "GEN.dat", simCase.images.genDat);
    WriteWhole(folder / "scenario", ScenarioText(simCase));
    return consoleProgram + " -C " + folder.string() + " --simulate=scenario --yes --dump dump";
}

SimCase LoadCase(const std::filesystem::path& folder, const std::filesystem::path& samplesFolder) {
    auto image = [&](const char* name) {
        return ReadWhole((std::filesystem::exists(folder / name) ? folder : samplesFolder) / name);
    };
    SimCase simCase;
    simCase.images = {image("gen.hex"), image("genprom.hex"), image("GEN.dat")};
    std::istringstream scenario(ReadWhole(folder / "scenario"));
    std::string line;
    while (std::getline(scenario, line)) {
        if (line.starts_with("# fault simulation, seed ")) simCase.seed = std::stoull(line.substr(25));
        if (!line.empty() && line[0] != '#') simCase.faults.push_back(line);
    }
    return simCase;
}

std::string ReportFailure(const SimCase& simCase, const SimRun& run, const std::filesystem::path& workFolder,
                          const std::filesystem::path& keepFolder, const std::string& consoleProgram) {
    // In a folder of its own: the work folder's images stay as they are.
    std::filesystem::path folder = workFolder / "shrink";
    std::filesystem::create_directories(folder);
    SimCase shrunk = Shrink(simCase, InvariantOf(run.violations.front()), folder);
    std::string command = KeepCase(shrunk, keepFolder, consoleProgram);
    SimRun again = RunCase(shrunk, folder);
    std::string text = "seed " + std::to_string(simCase.seed) + ", exit " + std::to_string(run.exitCode) + ":\n";
    for (const std::string& v : run.violations) text += "  " + v + "\n";
    text += "shrunk to " + std::to_string(shrunk.faults.size()) + " of " + std::to_string(simCase.faults.size()) +
            " fault lines, exit " + std::to_string(again.exitCode) + ":\n";
    for (const std::string& v : again.violations) text += "  " + v + "\n";
    text += "--- " + (keepFolder / "scenario").string() + " ---\n" + ScenarioText(shrunk) + "--- rerun ---\n" +
            command + "\n";
    return text;
}

std::string ViolationKind(const std::string& violation) {
    std::string kind;
    std::size_t words = 0;
    bool inWhat = false;
    for (std::size_t i = 0; i < violation.size() && words < 5; ++i) {
        char c = violation[i];
        if (c >= '0' && c <= '9') continue;
        if (c == ':' && !inWhat) inWhat = true;
        if (c == ' ' && inWhat && !kind.empty() && kind.back() != ':') ++words;
        if (words < 5) kind += c;
    }
    while (!kind.empty() && (kind.back() == ' ' || kind.back() == '(' || kind.back() == '"')) kind.pop_back();
    return kind;
}

void SimTally::Add(const std::string& name, const SimRun& run) {
    ++runs;
    if (run.boundMs > 0)
        longest = std::max(longest, static_cast<double>(run.virtualMs) / static_cast<double>(run.boundMs));
    if (run.violations.empty()) return;
    ++failing;
    std::vector<std::string> seen;
    for (const std::string& v : run.violations) {
        std::string kind = ViolationKind(v);
        if (std::find(seen.begin(), seen.end(), kind) != seen.end()) continue;
        seen.push_back(kind);
        Kind& k = kinds[kind];
        if (k.runs++ == 0) k.first = name + ": " + v;
    }
}

std::string SimTally::Summary() const {
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    char line[160];
    std::snprintf(line, sizeof line, "%llu runs in %.1f s (%.0f runs per second), %llu with violations\n",
                  static_cast<unsigned long long>(runs), seconds,
                  seconds > 0 ? static_cast<double>(runs) / seconds : 0.0, static_cast<unsigned long long>(failing));
    std::string text = line;
    std::snprintf(line, sizeof line, "the longest run took %.0f %% of its time bound\n", 100 * longest);
    text += line;
    for (const auto& [kind, k] : kinds)
        text += "  " + std::to_string(k.runs) + " x " + kind + "\n      first: " + k.first + "\n";
    return text;
}
