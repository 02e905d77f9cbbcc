// The subset of the D2XX driver API that the updater uses.
//
// Types, constants and calling convention follow the vendor's API so that the
// rest of the program reads as code written against the vendor header:
// it calls FT_Read(...), FT_Write(...) and so on. Each of those dispatches
// through one table of operations, chosen once at start-up: the vendor
// library, the emulated device, or either one behind the tracing wrapper.
#pragma once

#include <cstdint>
#include <string>

// On Windows the types are the system's own (32-bit unsigned long), so this
// header and <windows.h> can be included together in either order.
#if defined(_WIN32)
#define WINAPI __stdcall
using DWORD = unsigned long;
using ULONG = unsigned long;
#else
#define WINAPI
using DWORD = std::uint32_t;
using ULONG = std::uint32_t;
#endif

using UCHAR = unsigned char;
using LPDWORD = DWORD*;
using PVOID = void*;
using LPVOID = void*;
using FT_HANDLE = void*;
using FT_STATUS = ULONG;

enum : FT_STATUS {
    FT_OK = 0,
    FT_INVALID_HANDLE = 1,
    FT_DEVICE_NOT_FOUND = 2,
    FT_DEVICE_NOT_OPENED = 3,
    FT_IO_ERROR = 4,
    FT_INSUFFICIENT_RESOURCES = 5,
    FT_INVALID_PARAMETER = 6,
    FT_OTHER_ERROR = 18,
};

constexpr DWORD FT_LIST_NUMBER_ONLY = 0x80000000u;
constexpr DWORD FT_LIST_BY_INDEX = 0x40000000u;
constexpr DWORD FT_LIST_ALL = 0x20000000u;
constexpr DWORD FT_OPEN_BY_SERIAL_NUMBER = 1;
constexpr DWORD FT_OPEN_BY_DESCRIPTION = 2;
constexpr DWORD FT_OPEN_BY_LOCATION = 4;
constexpr ULONG FT_PURGE_RX = 1;
constexpr ULONG FT_PURGE_TX = 2;

// The chip's latency timer (FT_SetLatencyTimer), in ms: what the driver
// accepts, and what the chip runs at after an open until it is set.
constexpr UCHAR kLatencyTimerMinMs = 2;
constexpr UCHAR kLatencyTimerMaxMs = 255;
constexpr UCHAR kChipDefaultLatencyMs = 16;

// Size of the buffer FT_ListDevices fills with a description or a serial
// number (zero-terminated).
constexpr int FT_DESCRIPTION_SIZE = 64;

// How a listing or an open names the device: the one flag of
// FT_OPEN_BY_SERIAL_NUMBER, FT_OPEN_BY_DESCRIPTION and FT_OPEN_BY_LOCATION
// that `flags` hold, or 0 when they hold none of them or more than one.
DWORD D2xxNaming(DWORD flags);

// The D2XX calls the program makes, written once: the call's name without
// its "FT_", its parameters as the vendor declares them, and the arguments
// that pass them on. The dispatch below, every backend's table, the
// tracing wrapper, the vendor library's symbol lookups, the stand-in DLL's
// exports and the names a scenario file may give are made from this list.
#define D2XX_CALLS(CALL)                                                                              \
    CALL(ListDevices, (PVOID pArg1, PVOID pArg2, DWORD Flags), (pArg1, pArg2, Flags))                 \
    CALL(OpenEx, (PVOID pArg1, DWORD Flags, FT_HANDLE * pHandle), (pArg1, Flags, pHandle))            \
    CALL(Close, (FT_HANDLE ftHandle), (ftHandle))                                                     \
    CALL(Read, (FT_HANDLE ftHandle, LPVOID lpBuffer, DWORD dwBytesToRead, LPDWORD lpBytesReturned),   \
         (ftHandle, lpBuffer, dwBytesToRead, lpBytesReturned))                                        \
    CALL(Write, (FT_HANDLE ftHandle, LPVOID lpBuffer, DWORD dwBytesToWrite, LPDWORD lpBytesWritten),  \
         (ftHandle, lpBuffer, dwBytesToWrite, lpBytesWritten))                                        \
    CALL(Purge, (FT_HANDLE ftHandle, ULONG Mask), (ftHandle, Mask))                                   \
    CALL(SetTimeouts, (FT_HANDLE ftHandle, ULONG ReadTimeout, ULONG WriteTimeout),                    \
         (ftHandle, ReadTimeout, WriteTimeout))                                                       \
    CALL(GetQueueStatus, (FT_HANDLE ftHandle, DWORD * dwRxBytes), (ftHandle, dwRxBytes))              \
    CALL(GetStatus, (FT_HANDLE ftHandle, DWORD * dwRxBytes, DWORD * dwTxBytes, DWORD * dwEventDWord), \
         (ftHandle, dwRxBytes, dwTxBytes, dwEventDWord))                                              \
    CALL(SetLatencyTimer, (FT_HANDLE ftHandle, UCHAR ucTimer), (ftHandle, ucTimer))

// One backend: an entry per call, with the vendor's signatures.
struct D2xxOps {
    // The driver's name, as the run log and the trace name it: "d2xx" (the
    // vendor's library), "emulator", "none", ...
    const char* name;
#define D2XX_OPS_ENTRY(call, params, args) FT_STATUS(WINAPI* call) params;
    D2XX_CALLS(D2XX_OPS_ENTRY)
#undef D2XX_OPS_ENTRY
};

// The calls by number, for counting and naming them.
enum class D2xxCall {
#define D2XX_CALL_ENUM(call, params, args) call,
    D2XX_CALLS(D2XX_CALL_ENUM)
#undef D2XX_CALL_ENUM
};
constexpr int kD2xxCallCount = 0
#define D2XX_CALL_COUNT(call, params, args) +1
    D2XX_CALLS(D2XX_CALL_COUNT)
#undef D2XX_CALL_COUNT
    ;

// The vendor's name of a call: "FT_ListDevices", ...
const char* D2xxCallName(D2xxCall call);
// The call of that vendor name; false when there is none.
bool D2xxCallByName(const char* name, D2xxCall& call);

// Chooses the backend every FT_* call goes to. Called once at start-up (and
// by tests). The table must outlive all calls.
void SelectD2xx(const D2xxOps* ops);
const D2xxOps* SelectedD2xx();

// A backend whose every call fails: what the program talks to when the
// vendor library cannot be loaded, so that OpenDevice fails cleanly.
const D2xxOps* MissingD2xx();

// No driver could be loaded: logs `reason` as one line, keeps it for
// D2xxUnavailableReason, and returns MissingD2xx().
const D2xxOps* UnavailableD2xx(const std::string& reason);

// Why the program has no driver to talk to (the line logged when loading
// failed), while MissingD2xx() is the backend in use; empty otherwise.
std::string D2xxUnavailableReason();

// The vendor library, loaded at run time (FTD2XX.dll from the Windows system
// directory only; libftd2xx.so on Linux). When it cannot be loaded, logs
// one line and returns MissingD2xx().
const D2xxOps* LoadVendorD2xx();
// The same without a line: null and the reason in one line when it cannot
// be loaded.
const D2xxOps* TryVendorD2xx(std::string& reason);

// Whether the program has written to a device (called FT_Write, whatever it
// returned) since ForgetD2xxWrites: after a failed run, whether the device
// may have been changed.
bool D2xxWriteMade();
void ForgetD2xxWrites();

// The calls the program makes; each goes to the selected backend.
#define D2XX_DECLARE(call, params, args) FT_STATUS FT_##call params;
D2XX_CALLS(D2XX_DECLARE)
#undef D2XX_DECLARE
