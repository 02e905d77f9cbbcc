#include "device/link.h"

#include <atomic>
#include <cstdint>
#include <cstring>

#include "device/selection.h"
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
bool g_writeFailed = false;  // a write of the connection opened last was not complete
unsigned g_latencyTimerMs = kDefaultLatencyTimerMs;

}  // namespace

int OpenDevice() {
    DeviceOpening opening;
    if (int status = FindRunDevice(opening); status != 0) return status;
    Log("%s found\n", kModelString);
    void* name = opening.naming == FT_OPEN_BY_LOCATION
                     ? reinterpret_cast<void*>(static_cast<std::uintptr_t>(opening.location))
                     : const_cast<char*>(opening.name.c_str());
    if (FT_OpenEx(name, opening.naming, &g_deviceHandle) != FT_OK) {
        Log("Open handle to %s failed - exiting\n", kModelString);
        return DEVICE_OPEN_FAILURE;
    }
    g_connection = kOpen;
    g_writeFailed = false;
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

void ChooseLatencyTimer(unsigned ms) { g_latencyTimerMs = ms; }
unsigned LatencyTimerMs() { return g_latencyTimerMs; }

void SetDeviceLatencyTimer() {
    if (FT_SetLatencyTimer(g_deviceHandle, static_cast<UCHAR>(g_latencyTimerMs)) != FT_OK)
        Log("SetLatencyTimer Failed - going on at the chip's own timer\n");
}

WriteOutcome WriteToDevice(const void* bytes, DWORD count) {
    WriteOutcome outcome = WriteOutcome::Complete;
    if (FT_Write(g_deviceHandle, const_cast<void*>(bytes), count, &UsbBytesWritten) != FT_OK)
        outcome = WriteOutcome::Failed;
    else if (UsbBytesWritten != count)
        outcome = WriteOutcome::Short;
    if (outcome != WriteOutcome::Complete) g_writeFailed = true;
    return outcome;
}

bool DeviceWriteFailed() { return g_writeFailed; }

void SendCommandByte(unsigned value) {
    unsigned char byte = static_cast<unsigned char>(value & 0xFFu);
    if (WriteToDevice(&byte, 1) != WriteOutcome::Complete) Log("USB Write Failed\n");
}

void SendHexByte(unsigned value) {
    SendCommandByte(static_cast<unsigned char>(NibbleToHexChar(value >> 4)));
    SendCommandByte(static_cast<unsigned char>(NibbleToHexChar(value)));
}

void ResetDeviceLink() {
    g_deviceHandle = nullptr;
    g_connection = kClosed;
    g_writeFailed = false;
    g_latencyTimerMs = kDefaultLatencyTimerMs;
    ResetDeviceSelection();
    g_bytesRead = 0;
    UsbBytesWritten = 0;
    std::memset(g_lineBuffer, 0, sizeof g_lineBuffer);
    std::memset(g_receiveBuffer, 0, sizeof g_receiveBuffer);
}
