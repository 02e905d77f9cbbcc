// Scenario files: what the emulated device is and which faults it shows.
//
// Plain text, `key = value` lines, `#` starts a comment, blank lines are
// ignored. An unknown key or a malformed value is an error that names the
// file and the line. docs/scenario-files.md lists the keys.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/d2xx.h"
#include "protocol/limits.h"

namespace sim {

// A scenario file is a page of settings; anything larger is not one.
constexpr std::size_t kScenarioSizeLimit = 1u << 20;

// The fastest UART line an FT232R drives (baud).
constexpr std::uint32_t kLineRateLimit = 3000000;

// The gate array asks for its next block this long after an answer, unless
// the scenario slows it down (ga_request_delay_ms).
constexpr std::uint32_t kGateArrayLatencyMs = 1;

// An attached FTDI device as the listing gives it.
struct AttachedDevice {
    std::string description;
    std::string serial;
    // This user may not open it (no_access): the driver cannot read its
    // names, nor open it.
    bool noAccess = false;
    bool operator==(const AttachedDevice&) const = default;
};

// The serial number of the n-th attached device (from 1) that the
// scenario gives none: "EMU00001", "EMU00002", ...
std::string DefaultSerial(std::size_t n);

struct Scenario {
    // The attached FTDI devices, in listing order.
    std::vector<AttachedDevice> devices{{"QVM7316", DefaultSerial(1)}};
    // After this many closes (over all devices) the listing order is
    // reversed, as when a device re-enumerates; 0: never.
    std::uint32_t swapOrderAfter = 0;
    // After this many closes these devices are plugged in, listed first;
    // 0: never.
    std::uint32_t attachAfter = 0;
    std::vector<AttachedDevice> attachedLater;
    // A folder shared by processes that emulate the same devices: a device
    // open in one of them cannot be opened in another. Empty: none.
    std::string bus;
    // D2XX call -> the 1-based numbers of the calls of it (counted over the
    // run and all devices) at which something happens: the call fails; the
    // device it concerns is unplugged; the program gets SIGTERM, or a Ctrl+C.
    std::map<D2xxCall, std::vector<std::uint32_t>> failures;
    std::map<D2xxCall, std::vector<std::uint32_t>> unplugs;
    std::map<D2xxCall, std::vector<std::uint32_t>> terminations;
    std::map<D2xxCall, std::vector<std::uint32_t>> interruptions;
    // The byte the device sends after the sync byte; nullopt: silent.
    std::optional<std::uint8_t> handshakeReply = 0x55;

    // Processor loader.
    std::map<std::uint32_t, char> echoStatus;     // record number -> status char
    std::optional<std::uint32_t> echoSilentFrom;  // from this record on: silent
    std::uint32_t echoShort = 0;                  // echo this many bytes fewer
    std::uint32_t echoDelayMs = 0;                // the answer to a record comes this much later

    // PROM.
    std::uint32_t promEraseMs = 25000;
    std::uint32_t txDrainBytesPerMs = 100;  // 0: the device takes nothing (a stalled link)

    // The FTDI chip's latency timer; false: the chip hands over what the
    // device sends at once, as for a chip model of its own in front of the
    // device, or the device's own pace alone.
    bool chipTimer = true;
    // The UART between the FTDI chip and the processor: its line rate in
    // baud (10 bits a byte), which delays what the device gets and sends by
    // the bytes' line time; 0: no line time.
    std::uint32_t lineRateBaud = 0;

    // Communication check; nullopt: the reply is not sent.
    std::optional<std::string> comcheckReply1 = std::string(" Doing COM CHECK command");
    std::optional<std::string> comcheckReply2 = std::string("  Done COM CHECK command");
    std::uint32_t comcheckDelayMs = 1000;

    // Gate array.
    std::optional<std::uint32_t> gaLength;  // default: the size of GEN.dat
    std::uint32_t gaEraseMs = 45000;
    std::optional<std::string> gaReport = std::string("GA erase OK\r\n");
    std::optional<std::vector<std::string>> gaRequests;    // fixed request list
    std::optional<std::uint32_t> gaStopAfter;              // silent after n requests
    std::optional<std::uint32_t> gaShortWrite;             // n-th answer written short
    std::uint32_t gaRequestDelayMs = kGateArrayLatencyMs;  // from an answer to the next request
};

// Parses scenario text; `name` is used in error messages ("name:line: ...",
// quoting at most a short prefix of a bad key or value).
// Keys not given keep their defaults. Returns false with `error` set.
bool ParseScenario(const std::string& text, const std::string& name, Scenario& out, std::string& error);

// Reads and parses a scenario file: a regular file of at most
// kScenarioSizeLimit bytes.
bool LoadScenario(const std::string& path, Scenario& out, std::string& error);

}  // namespace sim
