// The device link: the one D2XX connection every device stage opens, uses
// and closes, and the buffers and counts the stages share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/d2xx.h"

constexpr std::size_t kBufferSize = 600;

// Process-wide link state, used by the update worker alone.
extern FT_HANDLE g_deviceHandle;           // valid from OpenDevice to CloseDevice
extern DWORD g_bytesRead;                  // last count filled by FT_Read
extern DWORD UsbBytesWritten;              // last count filled by FT_Write
extern char g_lineBuffer[kBufferSize];     // text sent to the device
extern char g_receiveBuffer[kBufferSize];  // what the device sent

// An attached FTDI device, as the driver lists it. A QVM7316 is a device
// whose description holds the model string (a channel of a dual chip is
// "QVM7316 A", say).
struct ListedDevice {
    DWORD index;
    std::string description;
    std::string serial;  // listed for every QVM7316, or every device when asked
    bool isQvm7316;
};

// Lists the attached FTDI devices: logs "%d FTDI device(s) found" after the
// count, pauses 200 ms, then takes each description, and the serial number
// of each QVM7316 (of every device with allSerials). Returns 0, or
// USB_LIST_FAILURE after "first List Device Failed" (the count) or "second
// List Device Failed" (an index).
int ListAttachedDevices(std::vector<ListedDevice>& devices, bool allSerials);

// Which device the update talks to: the one with this serial number, for
// every connection (--serial). Empty: the one QVM7316 attached.
void ChooseDevice(const std::string& serial);

// A run talks to one device from its first connection to its last: the
// first connection fixes it (the chosen one, or the only QVM7316 attached)
// and every later one opens that device by its serial number, whatever else
// is attached meanwhile. ForgetRunDevice starts a new run.
void ForgetRunDevice();
const std::string& RunDeviceSerial();  // empty before the run's first connection

// Lists the attached FTDI devices and opens the run's device by its serial
// number. Returns 0, USB_LIST_FAILURE, DEVICE_NOT_FOUND (none attached; the
// chosen one, or the run's, is not or no longer attached) or
// DEVICE_OPEN_FAILURE (more than one QVM7316 and none chosen; the open
// failed), each after its line.
int OpenDevice();
// Closes the device. Returns 0 or USB_CLOSE_FAILURE; either way the
// connection counts as closed afterwards and is never closed again. A
// connection that CloseDeviceFromOutside has closed meanwhile is not closed
// a second time: 0.
int CloseDevice();
// True from a successful OpenDevice until the next CloseDevice (or
// CloseDeviceFromOutside).
bool DeviceIsOpen();
// Closes the connection from another thread than the update worker's, when
// the program is being ended while a stage holds the device (the worker
// may be inside a read or a write): closes it if it is open and the worker
// has not begun closing it itself, so that it is closed exactly once. Logs
// "Close Failed" when the close fails; never stops the run itself.
void CloseDeviceFromOutside();
// Empties both device buffers. Returns 0 or USB_PURGE_FAILURE.
int PurgeDevice();
// Sets the read and write time-outs (ms). On failure closes the device and
// returns USB_TIMEOUT_FAILURE, or USB_CLOSE_FAILURE when that close failed.
int SetDeviceTimeouts(std::uint32_t readTimeoutMs, std::uint32_t writeTimeoutMs);
// Writes the low 8 bits of value as one byte; a failure is only logged.
void SendCommandByte(unsigned value);
// Writes the low 8 bits of value as two upper-case hex digits, one write each.
void SendHexByte(unsigned value);

// Back to the state at program start (handle, counts, buffers).
void ResetDeviceLink();
