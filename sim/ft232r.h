// The FT232R chip in front of an emulated QVM7316, as a USB driver sees it:
// its descriptors, the FTDI vendor requests, bulk OUT into the device, and
// bulk IN in 64-byte packets of two status bytes and up to 62 data bytes,
// held back by the latency timer. The USB-level tests put it behind the
// real libusb and libftdi1 (tests/usb/), and the libftdi1 stand-in behind
// the backend on the virtual clock.
//
// The chip reaches the device through the emulator's D2XX table
// (sim::EmulatorD2xx()), as a driver would: so a scenario's `fail` counts
// the chip's calls. A bulk OUT is one FT_Write, so `fail FT_Write <n>` is
// the n-th transfer to the device, which the chip answers with a stall.
// Everything runs on the program's clock (platform/clock.h).
#pragma once

#include <cstdint>
#include <string>

#include "platform/d2xx.h"

namespace sim {

constexpr std::size_t kFt232rPacketSize = 64;  // full-speed bulk packets
constexpr std::size_t kFt232rStatusBytes = 2;  // at the start of every IN packet
constexpr std::size_t kFt232rPacketData = kFt232rPacketSize - kFt232rStatusBytes;
constexpr std::uint8_t kFt232rDefaultLatencyMs = 16;
// What the chip holds on its way to the device: a bulk OUT waits (the chip
// answers NAK) while more than this is still to go.
constexpr std::uint32_t kFt232rTransmitBuffer = 128;

// The chip's USB identity and its strings (the scenario gives the product
// string, the device's description, and the serial number).
constexpr std::uint16_t kFt232rVendor = 0x0403;
constexpr std::uint16_t kFt232rProduct = 0x6001;
constexpr std::uint16_t kFt232rRelease = 0x0600;  // bcdDevice: libftdi1 takes it for an FT232R
inline constexpr char kFt232rManufacturer[] = "FTDI";

struct Ft232r {
    DWORD location = 0;          // the emulated device's, which the chip opens it by
    std::string serial;          // its serial number string (none when empty)
    std::string description;     // its product string
    FT_HANDLE device = nullptr;  // the emulated device, open while a driver holds the chip
    std::uint8_t latencyMs = kFt232rDefaultLatencyMs;
    std::uint64_t latencyFrom = 0;  // the latency timer runs from the last IN packet
    bool outHalted = false;         // the OUT endpoint stalled and not yet cleared
    // Line settings a driver made (the update makes none of its own).
    std::uint16_t baudValue = 0, baudIndex = 0, dataCharacteristics = 0, flowControl = 0, modemControl = 0;
    std::uint8_t bitMode = 0;
};

// The chip in front of the emulated device at this location, with the
// device's description and serial number for its strings. False when the
// emulator has no such device.
bool Ft232rFor(DWORD location, Ft232r& chip);

// A driver takes the chip (opens the emulated device) or lets it go. Open
// fails when the emulated device is open already (another process on the
// same bus) or the scenario makes FT_OpenEx fail.
bool Ft232rOpen(Ft232r& chip);
void Ft232rClose(Ft232r& chip);

// Descriptors: the device's (18 bytes), the configuration with its one
// interface and two bulk endpoints (IN 0x81, OUT 0x02), and a string
// descriptor (index 0: the language list). Empty when there is no such
// string.
std::string Ft232rDeviceDescriptor(const Ft232r& chip);
std::string Ft232rConfigurationDescriptor();
std::string Ft232rStringDescriptor(const Ft232r& chip, std::uint8_t index);

// How the chip answers a transfer at this moment.
enum class UsbAnswer {
    Done,    // taken, or the data is there
    NotYet,  // NAK: the transfer stays pending
    Stall,   // the endpoint or the request is refused (EPIPE)
    Gone,    // the device is unplugged: nothing answers any more (ENODEV)
};

// Whether the emulated device behind the chip is unplugged (the scenario's
// unplug_after), which takes the chip off the bus with it.
bool Ft232rUnplugged(const Ft232r& chip);

// A control request (the 8-byte setup's fields). For a request to the host
// (bit 7 of requestType) `data` receives the answer, at most `length`
// bytes; otherwise it holds what the driver sent.
struct UsbSetup {
    std::uint8_t requestType, request;
    std::uint16_t value, index, length;
};
UsbAnswer Ft232rControl(Ft232r& chip, const UsbSetup& setup, std::string& data);

// Bulk OUT: the bytes go to the device in one FT_Write once what the chip
// still holds for the device fits its buffer; a failed FT_Write stalls the
// endpoint until it is cleared.
UsbAnswer Ft232rBulkOut(Ft232r& chip, const std::string& bytes);
void Ft232rClearHalt(Ft232r& chip);

// Bulk IN of up to `capacity` bytes: the packets the chip sends now. As an
// FT232R: as many full packets as 62-byte pieces of data are waiting; once
// the latency timer has run out since the last packet, everything waiting
// that fits, the last packet short (with only the status bytes when nothing
// is waiting). NotYet while neither holds.
UsbAnswer Ft232rBulkIn(Ft232r& chip, std::size_t capacity, std::string& packets);

}  // namespace sim
