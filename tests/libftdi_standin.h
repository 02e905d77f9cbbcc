// A stand-in for the libftdi1 and libusb-1.0 functions the libftdi backend
// calls, over the emulated devices (sim::EmulatorD2xx()) on the program's
// clock: the USB devices are the emulator's listing, each on bus 1 at the
// port of its emulated location, opening claims the emulated device, a
// transfer from the chip ends when the chip sends (the wait for it moves
// the clock on), a write goes to the device. Faults on demand.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/d2xx_libftdi.h"

struct LibftdiStandin {
    // Settings. The USB ids of the emulated devices by serial number; the
    // others are FTDI's 0403:6001.
    std::map<std::string, UsbId> ids;
    // Devices whose chip has no serial number string, by serial number. An
    // emulated device this user may not open (sim::Device::noAccess, the
    // scenario's no_access) cannot be opened to read its strings either.
    std::set<std::string> withoutSerial;
    // Devices whose description cannot be fetched though they opened.
    std::set<std::string> brokenStrings;
    // USB port paths other than the port of the device's location, by
    // serial number.
    std::map<std::string, std::vector<std::uint8_t>> ports;
    // Descriptions longer than an emulated device's, by serial number.
    std::map<std::string, std::string> descriptions;
    // The chip: false, an ideal one that hands over what the device sends
    // the moment it comes; true, an FT232R, which holds short replies back
    // by the latency timer the backend set (sim/ft232r.h).
    bool chipLatency = false;
    // A busy computer: every wait for the chip lasts this much longer than
    // the time given, handing over what comes meanwhile (ms).
    std::uint64_t waitOvershootMs = 0;
    // The chip refuses its latency timer (ftdi_set_latency_timer fails).
    bool latencyRefused = false;
    // From this time on (program clock, ms) every transfer from the chip,
    // or every write, fails as a transfer to an unplugged device does.
    std::optional<std::uint64_t> readsFailFrom;
    std::optional<std::uint64_t> writesFailFrom;
    // Called at every millisecond that a wait for the chip lasts, and at
    // every look at it, before the chip is asked.
    std::function<void()> onLook;

    // What was done.
    std::uint32_t bothWayFlushes = 0;  // ftdi_tcioflush
    std::uint32_t oldPurges = 0;       // ftdi_usb_purge_buffers
    int latencyMs = -1;                // last set, -1: never
    ftdi_context* lastOpened = nullptr;
};

// The stand-in's settings and counts; ResetLibftdiStandin starts afresh.
LibftdiStandin& Standin();
void ResetLibftdiStandin();

// The stand-in's functions. `release15` false: a libftdi1 before 1.5,
// without ftdi_tcioflush and the one-way flushes.
LibftdiApi StandinLibftdi(bool release15 = true);
