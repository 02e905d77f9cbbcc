// The emulated QVM7316: a behavioural model of the device behind its FTDI
// chip, on the program's clock, with faults on demand from a scenario.
//
// The core (emulator.cpp) models the USB side: the attached-device list,
// open and close, the receive queue with bytes that arrive at given times,
// read time-outs, the draining transmit queue and failing calls. Bytes the
// program writes go to the onboard processor model: a byte of 0xC0 or more
// is a command byte, any other byte is data for the mode it is in. Each mode
// has its own file: loader.cpp, prom.cpp, gate_array.cpp.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "platform/d2xx.h"
#include "sim/scenario.h"

namespace sim {

enum class Mode { Idle, Loader, ComCheck, GateArrayErase, GateArrayProgram };

// The onboard processor's serial loader and its 64 KiB program memory.
struct LoaderState {
    std::vector<std::uint8_t> memory = std::vector<std::uint8_t>(0x10000, 0xFF);
    std::string record;                 // the record being received
    std::uint32_t recordsReceived = 0;  // since the last 0xE0
    std::uint32_t recordsRejected = 0;
    std::uint32_t bsbRecords = 0;  // boot status records received
    bool silent = false;           // scenario: from a record on, no answer
    // Where data records land: the base of the last extended segment (02) or
    // linear (04) address record since 0xE0; 16-bit offsets wrap unless linear.
    std::uint32_t addressBase = 0;
    bool linearAddressing = false;
    std::uint32_t bytesOutside = 0;  // data bytes addressed beyond 64 KiB, dropped
};

// The PROM: a 16 MiB serial flash behind instruction groups, kept sparsely.
struct PromState {
    static constexpr std::uint32_t kSize = 16u << 20;
    static constexpr std::uint32_t kPageSize = 256;
    std::map<std::uint32_t, std::array<std::uint8_t, kPageSize>> pages;  // page number -> bytes
    bool groupOpen = false;
    std::string groupText;  // hex text inside the open group
    bool writeEnabled = false;
    std::uint64_t eraseEndsAt = 0;  // a chip erase runs until then
    bool eraseRunning = false;
    std::uint32_t chipErases = 0;
    std::uint32_t pagePrograms = 0;
    std::uint32_t ignoredInstructions = 0;  // without write enable, or during an erase
    std::int64_t highestPageProgrammed = -1;
    // What a page never programmed since the last chip erase holds: the old
    // firmware (taken as all 0x00, so that a missing erase shows up as wrong
    // data) until the first erase, 0xFF after it.
    std::uint8_t unprogrammedByte = 0x00;
    std::uint32_t malformedInstructions = 0;  // not hexadecimal text, too short, or unknown
};

// The gate array and its block-request passes. It is flash: before its
// first erase it holds old contents (taken as all 0x00, as the PROM's), an
// erase sets every byte to 0xFF, and programming can only clear bits, so a
// block programmed without an erase keeps the old contents. It asks for its
// next block ga_request_delay_ms after an answer.
constexpr std::uint8_t kGateArrayOldByte = 0x00;
struct GateArrayState {
    std::vector<std::uint8_t> image;    // what the gate array holds (kGateArrayOldByte before the first erase)
    std::uint32_t length = 0;           // image length the device knows
    std::string answer;                 // answer text being received
    std::uint32_t requestsSent = 0;     // in the current mode
    std::uint32_t answersReceived = 0;  // in the current mode
    std::uint32_t nextBlock = 0;        // index of the next block to ask for
    bool verifying = false;
    bool verifyRan = false;  // the last verifying pass since an erase or a mode selection reached its end
    bool verifyMatched = true;
    std::uint32_t verifyMismatches = 0;
    std::uint32_t erases = 0;          // that reached their end
    std::uint32_t erasesCutShort = 0;  // by a reset or another mode before their end
    bool erasing = false;
    std::uint64_t eraseEndsAt = 0;
    std::uint32_t programmingPasses = 0;  // programming passes that reached their end
    std::uint32_t verifications = 0;      // verifying passes that reached their end
    std::int64_t pendingRequest = -1;     // 0-based offset asked for, -1: none
    struct ListedRequest {
        std::uint64_t sent;   // when the device sends it (ms)
        std::int64_t offset;  // what the device meant by it, -1: nothing
    };
    std::vector<ListedRequest> listed;  // ga_requests, as sent in this mode
    std::size_t listCursor = 0;         // the next entry of ga_requests to send
    std::uint64_t nextListedAt = 0;     // when it goes out unless an answer comes first
    bool shortWriteNow = false;         // this write completed the answer to report short
};

struct Device {
    Scenario scenario;
    std::string description;  // as the listing gives it
    std::string serial;       // empty: the chip has none
    // Where it is plugged in, as FT_OPEN_BY_LOCATION names it: the n-th
    // device of the scenario (those plugged in later after the others) is
    // at location n.
    DWORD location = 0;
    bool noAccess = false;  // this user may not open it: no names listed, no open

    // USB side.
    bool open = false;
    bool unplugged = false;  // gone from the bus (scenario: unplug_after)
    int lockFd = -1;         // with a bus folder: the lock that keeps other processes out
    std::uint32_t readTimeoutMs = 0;
    // What the device sends, in the order it sends it: each byte reaches
    // the host's receive queue in one of the chip's packets (ChipSendsUntil).
    struct Incoming {
        std::uint64_t sentUs;  // when the chip has it from the device (program clock, us)
        std::uint64_t at;      // when its packet reaches the host (ms); kNotYetSent until known
        std::uint8_t byte;
    };
    static constexpr std::uint64_t kNotYetSent = UINT64_MAX;
    std::deque<Incoming> toHost;  // by the time sent; those whose packet has gone come first
    std::uint32_t txBacklog = 0;  // bytes written not yet sent to the device
    std::uint64_t txDrainedAt = 0;
    std::uint64_t txDrainCarry = 0;  // thousandths of a byte drained beyond the whole ones
    // The FTDI chip's latency timer: 16 ms at open, then what
    // FT_SetLatencyTimer sets (0: none, scenario chip_timer off). The timer
    // runs from the chip's last packet.
    std::uint8_t latencyMs = kChipDefaultLatencyMs;
    std::uint64_t lastPacketUs = 0;
    std::uint64_t deliveredSentUs = 0;  // sentUs of the last byte a packet has taken to the host
    // The UART between the chip and the processor (scenario line_rate):
    // when it has carried the last byte written to the device (us).
    std::uint64_t toDeviceDoneUs = 0;

    // Onboard processor.
    Mode mode = Mode::Idle;
    std::uint8_t pendingModeByte = 0;        // waits for 0xC0
    std::vector<std::uint8_t> lastCommands;  // the latest command bytes, newest last
    std::uint32_t handshakes = 0;
    std::uint32_t resets = 0;
    std::uint32_t factoryResets = 0;
    std::uint32_t comChecks = 0;

    LoaderState loader;
    PromState prom;
    GateArrayState gateArray;
};

// The device the update talked to: the one opened last (before any open,
// the first attached one). With one device attached, simply the device.
Device& TheDevice();

// The first device with that serial number, attached or still to be
// plugged in, or null.
Device* FindDevice(const std::string& serial);
// The device at that location, or null.
Device* DeviceAt(DWORD location);

// Replaces the attached devices with fresh ones set up by the scenario.
// Call with the clock already chosen and the working directory set (the
// gate array's default length is the size of GEN.dat there). A relative
// `bus` folder is taken from `scenarioFolder`.
void StartEmulator(const Scenario& scenario, const std::string& scenarioFolder = ".");

// The emulator as a D2XX backend.
const D2xxOps* EmulatorD2xx();

// For the models: the device sends bytes from the given time on (ms); over
// a UART with a line rate one after the other, each taking its line time.
// They reach the host in the chip's packets.
void SendToHost(Device& device, const std::string& bytes, std::uint64_t at);
// How fast the driver's transmit queue drains (bytes a second): at
// tx_drain, and no faster than the UART's line carries what leaves it.
std::uint64_t TxBytesPerSecond(const Device& device);
// With a line rate, the device has what was written when the transmit
// queue has drained: after a write, so ReceivedAt says.
void CarryToDevice(Device& device);
// For the models: when the device has had all of the bytes written to it
// so far, the time it answers from (ms): now, or later by the line time.
std::uint64_t ReceivedAt(const Device& device);

// The FTDI chip between the device and the host (chip.cpp), as an FT232R
// sends: a packet holds at most 62 bytes of data; it goes as soon as 62 are
// waiting, otherwise when the latency timer runs out, counted from the
// chip's last packet (a packet of status bytes alone, when nothing waits,
// keeps the timer's beat). So a short reply waits up to a timer's length.
constexpr std::size_t kChipPacketData = 62;
// The packets the chip has sent by `untilMs`: their bytes get their time
// of arrival at the host.
void ChipSendsUntil(Device& device, std::uint64_t untilMs);
// When each of the first `count` bytes on their way reaches the host (ms),
// as the chip will send them unless something changes; fewer when fewer
// are on their way.
std::vector<std::uint64_t> HostArrivals(const Device& device, std::size_t count);
// The latency timer set (ms, 2 to 255): it starts anew from now.
void ChipSetLatency(Device& device, std::uint8_t latencyMs);
// A chip model of its own stands in front of the open device (sim/ft232r.h):
// until the next open, the emulator's chip hands over what the device sends
// as it is sent.
void HandOverAtOnce(Device& device);
// Empties the chip at open: the timer back at the chip's default, running from now.
void ChipOpened(Device& device);

// Mode entry points, called by the core's byte dispatch.
void LoaderBegin(Device& device);                    // 0xE0
void LoaderData(Device& device, std::uint8_t byte);  // data byte in loader mode
void LoaderEnd(Device& device);                      // 0xC0 in loader mode
void PromGroupOpen(Device& device);                  // 0xD0
void PromGroupData(Device& device, const std::uint8_t* bytes, std::size_t count);
void PromGroupClose(Device& device);         // 0xD2
void ComCheckBegin(Device& device);          // 0xF2 0xC0
void GateArrayEraseBegin(Device& device);    // 0xF1 0xC0
void GateArrayProgramBegin(Device& device);  // 0xF4 0xC0
void GateArrayData(Device& device, const std::uint8_t* bytes, std::size_t count);
// How many bytes of a write of `count` the driver reports written while the
// gate array is served (the scenario can shorten one answer).
DWORD GateArrayBytesWritten(Device& device, DWORD count);
void GateArrayEnd(Device& device);  // reset or leaving the mode
// Ends an erase whose time is up, and puts the requests of a fixed list
// (ga_requests) that go out by `until` on their way to the host; the core
// calls it before the host looks.
void GateArrayDue(Device& device, std::uint64_t until);

// The first `pages` pages of the PROM: what was programmed since the last
// erase, and the PROM model's unprogrammed byte elsewhere.
std::vector<std::uint8_t> PromContents(const PromState& prom, std::size_t pages);

// device.txt: the device's serial number and description, then what it saw
// (handshakes, records, resets, erases, programming and verifying passes)
// and the outcome of its last gate-array verification, one "key: value" a
// line.
std::string DeviceReport(const Device& device);

// Writes processor.bin, prom.bin, gatearray.bin and device.txt into dir.
bool DumpDevice(const Device& device, const std::string& dir, std::string& error);

}  // namespace sim
