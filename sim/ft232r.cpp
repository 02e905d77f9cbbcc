// The FT232R in front of the emulated device.
#include "sim/ft232r.h"

#include <algorithm>
#include <vector>

#include "platform/clock.h"
#include "sim/device.h"

namespace sim {
namespace {

// USB's own requests and descriptor types.
constexpr std::uint8_t kGetDescriptor = 6;
constexpr std::uint8_t kDeviceDescriptor = 1, kConfigurationDescriptor = 2, kStringDescriptor = 3;
constexpr std::uint8_t kToHost = 0x80;
constexpr std::uint8_t kTypeMask = 0x60, kStandard = 0x00, kVendor = 0x40;
constexpr std::uint16_t kEnglishUs = 0x0409;
constexpr std::size_t kStringCharacters = 126;  // the most a string descriptor holds

// FTDI's vendor requests.
enum : std::uint8_t {
    kReset = 0x00,
    kModemControl = 0x01,
    kFlowControl = 0x02,
    kBaudRate = 0x03,
    kData = 0x04,
    kModemStatus = 0x05,
    kEventChar = 0x06,
    kErrorChar = 0x07,
    kSetLatency = 0x09,
    kGetLatency = 0x0A,
    kBitMode = 0x0B,
    kReadPins = 0x0C,
    kReadEeprom = 0x90,
};
// The reset request's values: the whole chip, or one of its two buffers
// (named from the chip's side: "receive" holds what the host sent).
constexpr std::uint16_t kResetChip = 0, kResetFromHost = 1, kResetToHost = 2;

// The status bytes of every IN packet, and the modem status request's
// answer: CTS and DSR clear, the transmitter empty, no line error.
constexpr char kStatus[kFt232rStatusBytes] = {0x01, 0x60};

const D2xxOps& Emulated() { return *EmulatorD2xx(); }

std::string Word(std::uint16_t value) { return {static_cast<char>(value & 0xFF), static_cast<char>(value >> 8)}; }

// What a transfer the emulated device refused gets: a stall, or nothing
// at all from a chip that was unplugged with it.
UsbAnswer Refused(const Ft232r& chip) { return Ft232rUnplugged(chip) ? UsbAnswer::Gone : UsbAnswer::Stall; }

// Empties the chip's buffers in the emulated device's terms.
UsbAnswer Purge(Ft232r& chip, ULONG mask) {
    return Emulated().Purge(chip.device, mask) == FT_OK ? UsbAnswer::Done : Refused(chip);
}

UsbAnswer Vendor(Ft232r& chip, const UsbSetup& setup, std::string& data) {
    if (!chip.device) return UsbAnswer::Stall;
    bool toHost = setup.requestType & kToHost;
    auto answer = [&](std::string bytes) {
        data = bytes.substr(0, setup.length);
        return UsbAnswer::Done;
    };
    switch (setup.request) {
        case kReset:
            if (toHost) return UsbAnswer::Stall;
            if (setup.value == kResetChip) return Purge(chip, FT_PURGE_RX | FT_PURGE_TX);
            if (setup.value == kResetFromHost) return Purge(chip, FT_PURGE_TX);
            if (setup.value == kResetToHost) return Purge(chip, FT_PURGE_RX);
            return UsbAnswer::Stall;
        case kModemControl:
            chip.modemControl = setup.value;
            return UsbAnswer::Done;
        case kFlowControl:
            chip.flowControl = setup.index & 0xFF00;
            return UsbAnswer::Done;
        case kBaudRate:
            chip.baudValue = setup.value;
            chip.baudIndex = setup.index;
            return UsbAnswer::Done;
        case kData:
            chip.dataCharacteristics = setup.value;
            return UsbAnswer::Done;
        case kEventChar:
        case kErrorChar:
            return UsbAnswer::Done;
        case kModemStatus:
            return answer(std::string(kStatus, kFt232rStatusBytes));
        case kSetLatency:
            // The chip takes 1 to 255 ms.
            if ((setup.value & 0xFF) == 0) return UsbAnswer::Stall;
            chip.latencyMs = static_cast<std::uint8_t>(setup.value & 0xFF);
            return UsbAnswer::Done;
        case kGetLatency:
            return answer(std::string(1, static_cast<char>(chip.latencyMs)));
        case kBitMode:
            chip.bitMode = static_cast<std::uint8_t>(setup.value >> 8);
            return UsbAnswer::Done;
        case kReadPins:
            return answer(std::string(1, '\xFF'));
        case kReadEeprom:
            return answer(Word(0xFFFF));  // an EEPROM never written
        default:
            return UsbAnswer::Stall;
    }
}

UsbAnswer Standard(const Ft232r& chip, const UsbSetup& setup, std::string& data) {
    if (setup.request != kGetDescriptor || !(setup.requestType & kToHost)) return UsbAnswer::Stall;
    std::string descriptor;
    switch (setup.value >> 8) {
        case kDeviceDescriptor:
            descriptor = Ft232rDeviceDescriptor(chip);
            break;
        case kConfigurationDescriptor:
            descriptor = Ft232rConfigurationDescriptor();
            break;
        case kStringDescriptor:
            descriptor = Ft232rStringDescriptor(chip, static_cast<std::uint8_t>(setup.value & 0xFF));
            break;
        default:
            break;
    }
    if (descriptor.empty()) return UsbAnswer::Stall;
    data = descriptor.substr(0, setup.length);
    return UsbAnswer::Done;
}

}  // namespace

bool Ft232rFor(DWORD location, Ft232r& chip) {
    const Device* device = DeviceAt(location);
    if (!device) return false;
    chip = Ft232r{};
    chip.location = location;
    chip.serial = device->serial;
    chip.description = device->description;
    chip.latencyFrom = NowMs();
    return true;
}

bool Ft232rOpen(Ft232r& chip) {
    if (chip.device) return true;
    FT_HANDLE handle = nullptr;
    void* location = reinterpret_cast<void*>(static_cast<std::uintptr_t>(chip.location));
    if (Emulated().OpenEx(location, FT_OPEN_BY_LOCATION, &handle) != FT_OK) return false;
    // This chip holds replies back by its own timer: the emulator's hands
    // them over as the device sends them. It takes what has come and never
    // waits for more.
    if (Device* device = DeviceAt(chip.location)) HandOverAtOnce(*device);
    Emulated().SetTimeouts(handle, 1, 0);
    chip.device = handle;
    chip.latencyFrom = NowMs();
    chip.outHalted = false;
    return true;
}

void Ft232rClose(Ft232r& chip) {
    if (chip.device) Emulated().Close(chip.device);
    chip.device = nullptr;
}

std::string Ft232rDeviceDescriptor(const Ft232r& chip) {
    std::string d = {18, kDeviceDescriptor};
    d += Word(0x0200);             // USB 2.0
    d += std::string{0, 0, 0, 8};  // class, subclass, protocol: per interface; 8-byte control packets
    d += Word(kFt232rVendor) + Word(kFt232rProduct) + Word(kFt232rRelease);
    d += std::string{1, 2, static_cast<char>(chip.serial.empty() ? 0 : 3), 1};  // strings; one configuration
    return d;
}

std::string Ft232rConfigurationDescriptor() {
    std::string c = {9, kConfigurationDescriptor};
    c += Word(32);                                           // with the interface and its endpoints
    c += std::string{1, 1, 0, static_cast<char>(0xA0), 45};  // one interface, value 1; bus powered, 90 mA
    c += std::string{9, 4, 0, 0, 2, static_cast<char>(0xFF), static_cast<char>(0xFF), static_cast<char>(0xFF), 2};
    for (char address : {static_cast<char>(0x81), static_cast<char>(0x02)})
        c += std::string{7, 5, address, 2} + Word(kFt232rPacketSize) + std::string(1, 0);  // bulk
    return c;
}

std::string Ft232rStringDescriptor(const Ft232r& chip, std::uint8_t index) {
    std::string text;
    switch (index) {
        case 0:
            return std::string{4, kStringDescriptor} + Word(kEnglishUs);
        case 1:
            text = kFt232rManufacturer;
            break;
        case 2:
            text = chip.description;
            break;
        case 3:
            if (chip.serial.empty()) return "";
            text = chip.serial;
            break;
        default:
            return "";
    }
    text.resize(std::min(text.size(), kStringCharacters));
    std::string d = {static_cast<char>(2 + 2 * text.size()), kStringDescriptor};
    for (unsigned char c : text) d += Word(c);  // Latin-1 into UTF-16
    return d;
}

bool Ft232rUnplugged(const Ft232r& chip) {
    const Device* device = DeviceAt(chip.location);
    return !device || device->unplugged;
}

UsbAnswer Ft232rControl(Ft232r& chip, const UsbSetup& setup, std::string& data) {
    if (Ft232rUnplugged(chip)) return UsbAnswer::Gone;
    switch (setup.requestType & kTypeMask) {
        case kStandard:
            return Standard(chip, setup, data);
        case kVendor:
            return Vendor(chip, setup, data);
        default:
            return UsbAnswer::Stall;
    }
}

UsbAnswer Ft232rBulkOut(Ft232r& chip, const std::string& bytes) {
    if (Ft232rUnplugged(chip)) return UsbAnswer::Gone;
    if (!chip.device || chip.outHalted) return UsbAnswer::Stall;
    if (bytes.empty()) return UsbAnswer::Done;
    DWORD rx = 0, tx = 0, event = 0;
    if (Emulated().GetStatus(chip.device, &rx, &tx, &event) != FT_OK) {
        if (Ft232rUnplugged(chip)) return UsbAnswer::Gone;
    } else if (tx > kFt232rTransmitBuffer) {
        return UsbAnswer::NotYet;
    }
    DWORD written = 0;
    std::string copy = bytes;
    if (Emulated().Write(chip.device, copy.data(), static_cast<DWORD>(copy.size()), &written) != FT_OK) {
        if (Ft232rUnplugged(chip)) return UsbAnswer::Gone;
        chip.outHalted = true;
        return UsbAnswer::Stall;
    }
    // A driver that reports fewer bytes written (ga_short_write) has no
    // counterpart on the bus: the chip has taken the whole transfer.
    return UsbAnswer::Done;
}

void Ft232rClearHalt(Ft232r& chip) { chip.outHalted = false; }

UsbAnswer Ft232rBulkIn(Ft232r& chip, std::size_t capacity, std::string& packets) {
    packets.clear();
    if (Ft232rUnplugged(chip)) return UsbAnswer::Gone;
    if (!chip.device) return UsbAnswer::Stall;
    DWORD waiting = 0;
    if (Emulated().GetQueueStatus(chip.device, &waiting) != FT_OK) return Refused(chip);
    std::uint64_t now = NowMs();
    bool timerRanOut = now >= chip.latencyFrom + chip.latencyMs;
    std::size_t fullPackets = std::max<std::size_t>(capacity / kFt232rPacketSize, 1);
    std::size_t room = std::min(fullPackets * kFt232rPacketData, capacity > 2 ? capacity - 2 : 0);
    std::size_t take = 0;
    if (timerRanOut)
        take = std::min<std::size_t>(waiting, room);
    else if (waiting >= kFt232rPacketData)
        take = std::min<std::size_t>(waiting / kFt232rPacketData * kFt232rPacketData, room);
    else
        return UsbAnswer::NotYet;

    std::vector<char> data(take);
    DWORD got = 0;
    if (take > 0 && Emulated().Read(chip.device, data.data(), static_cast<DWORD>(take), &got) != FT_OK)
        return Refused(chip);
    std::size_t at = 0;
    do {
        std::size_t piece = std::min<std::size_t>(got - at, kFt232rPacketData);
        packets.append(kStatus, kFt232rStatusBytes);
        packets.append(data.data() + at, piece);
        at += piece;
    } while (at < got);
    chip.latencyFrom = now;
    return UsbAnswer::Done;
}

}  // namespace sim
