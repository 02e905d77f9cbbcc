#include "device/link.h"

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
bool g_deviceOpen = false;
}

int OpenDevice() {
    DWORD count = 0;
    char description[FT_DESCRIPTION_SIZE];

    if (FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY) != FT_OK) {
        Log("first List Device Failed\n");
        return USB_LIST_FAILURE;
    }
    Log("%d FTDI device(s) found\n", static_cast<int>(count));
    SleepMs(200);

    for (DWORD index = 0; index < count; ++index) {
        std::memset(description, 0, sizeof description);
        void* indexArg = reinterpret_cast<void*>(static_cast<std::uintptr_t>(index));
        if (FT_ListDevices(indexArg, description, FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION) != FT_OK) {
            Log("second List Device Failed\n");
            return USB_LIST_FAILURE;
        }
        description[sizeof description - 1] = '\0';  // a driver that fills all 64 bytes
        if (std::strstr(description, kModelString) == nullptr) continue;

        Log("%s found\n", kModelString);
        if (FT_OpenEx(const_cast<char*>(kModelString), FT_OPEN_BY_DESCRIPTION, &g_deviceHandle) != FT_OK) {
            Log("Open handle to %s failed - exiting\n", kModelString);
            return DEVICE_OPEN_FAILURE;
        }
        g_deviceOpen = true;
        return 0;
    }
    Log("no %s found - exiting\n", kModelString);
    return DEVICE_NOT_FOUND;
}

int CloseDevice() {
    // A close that fails leaves the handle in no known state: it is not
    // closed a second time.
    g_deviceOpen = false;
    if (FT_Close(g_deviceHandle) != FT_OK) {
        Log("Close Failed\n");
        return USB_CLOSE_FAILURE;
    }
    return 0;
}

bool DeviceIsOpen() { return g_deviceOpen; }

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
    g_deviceOpen = false;
    g_bytesRead = 0;
    UsbBytesWritten = 0;
    std::memset(g_lineBuffer, 0, sizeof g_lineBuffer);
    std::memset(g_receiveBuffer, 0, sizeof g_receiveBuffer);
}
