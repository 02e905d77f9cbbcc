// The device link: the one D2XX connection every device stage opens, uses
// and closes, and the buffers and counts the stages share.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/d2xx.h"

constexpr std::size_t kBufferSize = 600;

// Process-wide link state, used by the update worker alone.
extern FT_HANDLE g_deviceHandle;           // valid from OpenDevice to CloseDevice
extern DWORD g_bytesRead;                  // last count filled by FT_Read
extern DWORD UsbBytesWritten;              // last count filled by FT_Write
extern char g_lineBuffer[kBufferSize];     // text sent to the device
extern char g_receiveBuffer[kBufferSize];  // what the device sent

// Finds the run's device among the attached ones (device/selection.h) and
// opens it, logging "QVM7316 found" first. Returns 0, USB_LIST_FAILURE,
// DEVICE_NOT_FOUND or DEVICE_OPEN_FAILURE (the device cannot be told apart
// from another; the open failed), each after its line.
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

// The FTDI chip holds a reply shorter than its USB packet back until its
// latency timer runs out, 16 ms after an open; every reply of this
// protocol is short. Every connection sets the timer to the chosen value
// (ms, 2 to 255; by default 2): the device's replies then reach the host at
// most that long after it sent them.
constexpr unsigned kDefaultLatencyTimerMs = 2;
void ChooseLatencyTimer(unsigned ms);
unsigned LatencyTimerMs();
// Sets the chip's latency timer of the open device to the chosen value. A
// failure costs one line, "SetLatencyTimer Failed - going on at the chip's
// own timer", and nothing else: the timer changes when replies come, not
// what they hold.
void SetDeviceLatencyTimer();

// How a write to the device went: all bytes taken, fewer than asked
// (FT_OK with a smaller count), or failed (a status other than FT_OK).
enum class WriteOutcome { Complete, Short, Failed };

// Writes count bytes in one FT_Write; UsbBytesWritten then holds the count
// the driver reported. A write that is not complete is remembered for the
// connection (DeviceWriteFailed). Every write to the device goes through here.
WriteOutcome WriteToDevice(const void* bytes, DWORD count);
// Whether a write of the connection opened last failed or came up short:
// its stage must not end as a success. Cleared by each OpenDevice.
bool DeviceWriteFailed();

// Writes the low 8 bits of value as one byte. A write that fails or comes up
// short logs "USB Write Failed"; the stage goes on, and fails at its end.
void SendCommandByte(unsigned value);
// Writes the low 8 bits of value as two upper-case hex digits, one write each.
void SendHexByte(unsigned value);

// Back to the state at program start (handle, counts, buffers, the device
// and the latency timer chosen).
void ResetDeviceLink();
