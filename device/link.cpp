#include "device/link.h"

#include <atomic>
#include <cstdint>
#include <cstring>

#include "platform/clock.h"
#include "platform/log.h"
#include "protocol/hex_digits.h"
#include "protocol/model.h"
#include "protocol/status.h"

FT_HANDLE g_deviceHandle = nullptr;
DWORD g_bytesRead = 0;
DWORD UsbBytesWritten = 0;
char g_lineBuffer[kBufferSize];
char g_receiveBuffer[kBufferSize];

namespace {

// The connection's state. The worker opens and closes it; a handler on
// another thread may close it when the program is being ended. Whoever
// leaves Open first makes the one FT_Close.
enum Connection : int { kClosed, kOpen, kClosedFromOutside };
std::atomic<int> g_connection{kClosed};
std::string g_chosenSerial;  // --serial
std::string g_runSerial;     // the device the run talks to

// The description or serial number of the device at an index.
bool ListText(DWORD index, DWORD naming, std::string& text) {
    char buffer[FT_DESCRIPTION_SIZE] = {};
    void* indexArg = reinterpret_cast<void*>(static_cast<std::uintptr_t>(index));
    if (FT_ListDevices(indexArg, buffer, FT_LIST_BY_INDEX | naming) != FT_OK) return false;
    buffer[sizeof buffer - 1] = '\0';  // a driver that fills all 64 bytes
    text = buffer;
    return true;
}

// The run's device among the listed ones, by serial number; null if absent.
const ListedDevice* WithSerial(const std::vector<ListedDevice>& devices, const std::string& serial) {
    for (const ListedDevice& d : devices)
        if (d.isQvm7316 && d.serial == serial) return &d;
    return nullptr;
}

}  // namespace

int ListAttachedDevices(std::vector<ListedDevice>& devices, bool allSerials) {
    devices.clear();
    DWORD count = 0;
    if (FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY) != FT_OK) {
        Log("first List Device Failed\n");
        return USB_LIST_FAILURE;
    }
    Log("%d FTDI device(s) found\n", static_cast<int>(count));
    SleepMs(200);

    for (DWORD index = 0; index < count; ++index) {
        ListedDevice d{index, "", "", false};
        if (!ListText(index, FT_OPEN_BY_DESCRIPTION, d.description)) {
            Log("second List Device Failed\n");
            return USB_LIST_FAILURE;
        }
        d.isQvm7316 = d.description.find(kModelString) != std::string::npos;
        if ((d.isQvm7316 || allSerials) && !ListText(index, FT_OPEN_BY_SERIAL_NUMBER, d.serial)) {
            Log("second List Device Failed\n");
            return USB_LIST_FAILURE;
        }
        devices.push_back(d);
    }
    return 0;
}

void ChooseDevice(const std::string& serial) { g_chosenSerial = serial; }
void ForgetRunDevice() { g_runSerial.clear(); }
const std::string& RunDeviceSerial() { return g_runSerial; }

int OpenDevice() {
    std::vector<ListedDevice> devices;
    if (int status = ListAttachedDevices(devices, false); status != 0) return status;

    std::string serial = !g_runSerial.empty() ? g_runSerial : g_chosenSerial;
    if (!serial.empty()) {
        if (!WithSerial(devices, serial)) {
            if (!g_runSerial.empty())
                Log("%s %s is no longer connected - exiting\n", kModelString, serial.c_str());
            else
                Log("%s %s not found - exiting\n", kModelString, serial.c_str());
            return DEVICE_NOT_FOUND;
        }
    } else {
        // Without a choice, only a device that is alone can be meant: an
        // update split across two devices would leave both unusable.
        std::size_t found = 0;
        for (const ListedDevice& d : devices) {
            if (!d.isQvm7316) continue;
            ++found;
            serial = d.serial;
        }
        if (found == 0) {
            Log("no %s found - exiting\n", kModelString);
            return DEVICE_NOT_FOUND;
        }
        if (found > 1) {
            Log("%u %s devices found - connect only one, or choose one with --serial\n", static_cast<unsigned>(found),
                kModelString);
            return DEVICE_OPEN_FAILURE;
        }
    }

    Log("%s found\n", kModelString);
    if (FT_OpenEx(const_cast<char*>(serial.c_str()), FT_OPEN_BY_SERIAL_NUMBER, &g_deviceHandle) != FT_OK) {
        Log("Open handle to %s failed - exiting\n", kModelString);
        return DEVICE_OPEN_FAILURE;
    }
    g_runSerial = serial;
    g_connection = kOpen;
    return 0;
}

namespace {

int CloseConnection() {
    if (FT_Close(g_deviceHandle) != FT_OK) {
        Log("Close Failed\n");
        return USB_CLOSE_FAILURE;
    }
    return 0;
}

}  // namespace

int CloseDevice() {
    // A close that fails leaves the handle in no known state: it is not
    // closed a second time.
    if (g_connection.exchange(kClosed) == kClosedFromOutside) return 0;
    return CloseConnection();
}

bool DeviceIsOpen() { return g_connection == kOpen; }

void CloseDeviceFromOutside() {
    int open = kOpen;
    if (g_connection.compare_exchange_strong(open, kClosedFromOutside)) CloseConnection();
}

int PurgeDevice() {
    if (FT_Purge(g_deviceHandle, FT_PURGE_RX | FT_PURGE_TX) != FT_OK) {
        Log("SetPurge Failed\n");
        return USB_PURGE_FAILURE;
    }
    return 0;
}

int SetDeviceTimeouts(std::uint32_t readTimeoutMs, std::uint32_t writeTimeoutMs) {
    if (FT_SetTimeouts(g_deviceHandle, readTimeoutMs, writeTimeoutMs) == FT_OK) return 0;
    Log("SetTimeout Failed\n");
    return CloseDevice() == 0 ? USB_TIMEOUT_FAILURE : USB_CLOSE_FAILURE;
}

void SendCommandByte(unsigned value) {
    unsigned char byte = static_cast<unsigned char>(value & 0xFFu);
    if (FT_Write(g_deviceHandle, &byte, 1, &UsbBytesWritten) != FT_OK) Log("USB Write Failed\n");
}

void SendHexByte(unsigned value) {
    SendCommandByte(static_cast<unsigned char>(NibbleToHexChar(value >> 4)));
    SendCommandByte(static_cast<unsigned char>(NibbleToHexChar(value)));
}

void ResetDeviceLink() {
    g_deviceHandle = nullptr;
    g_connection = kClosed;
    g_chosenSerial.clear();
    g_runSerial.clear();
    g_bytesRead = 0;
    UsbBytesWritten = 0;
    std::memset(g_lineBuffer, 0, sizeof g_lineBuffer);
    std::memset(g_receiveBuffer, 0, sizeof g_receiveBuffer);
}
