// The subset of the D2XX driver API that the updater uses.
//
// Types, constants and calling convention follow the vendor's API so that the
// rest of the program reads as code written against the vendor header:
// it calls FT_Read(...), FT_Write(...) and so on. Each of those dispatches
// through one table of operations, chosen once at start-up (the vendor
// library, the emulated device, or either one behind the tracing wrapper).
#pragma once

#include <cstdint>

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

// Size of the description buffer FT_ListDevices fills (zero-terminated).
constexpr int FT_DESCRIPTION_SIZE = 64;

// One entry per D2XX call, with the vendor's signatures.
struct D2xxOps {
    const char* name;  // for the log: "vendor library", "emulator", ...
    FT_STATUS(WINAPI* ListDevices)(PVOID pArg1, PVOID pArg2, DWORD Flags);
    FT_STATUS(WINAPI* OpenEx)(PVOID pArg1, DWORD Flags, FT_HANDLE* pHandle);
    FT_STATUS(WINAPI* Close)(FT_HANDLE ftHandle);
    FT_STATUS(WINAPI* Read)(FT_HANDLE ftHandle, LPVOID lpBuffer, DWORD dwBytesToRead, LPDWORD lpBytesReturned);
    FT_STATUS(WINAPI* Write)(FT_HANDLE ftHandle, LPVOID lpBuffer, DWORD dwBytesToWrite, LPDWORD lpBytesWritten);
    FT_STATUS(WINAPI* Purge)(FT_HANDLE ftHandle, ULONG Mask);
    FT_STATUS(WINAPI* SetTimeouts)(FT_HANDLE ftHandle, ULONG ReadTimeout, ULONG WriteTimeout);
    FT_STATUS(WINAPI* GetQueueStatus)(FT_HANDLE ftHandle, DWORD* dwRxBytes);
    FT_STATUS(WINAPI* GetStatus)(FT_HANDLE ftHandle, DWORD* dwRxBytes, DWORD* dwTxBytes, DWORD* dwEventDWord);
};

// Chooses the backend every FT_* call goes to. Called once at start-up (and
// by tests). The table must outlive all calls.
void SelectD2xx(const D2xxOps* ops);
const D2xxOps* SelectedD2xx();

// A backend whose every call fails: what the program talks to when the
// vendor library cannot be loaded, so that OpenDevice fails cleanly.
const D2xxOps* MissingD2xx();

// The vendor library, loaded at run time (FTD2XX.dll from the system or the
// program's own directory on Windows; libftd2xx.so on Linux). When it cannot
// be loaded, prints one line on standard output and returns MissingD2xx().
const D2xxOps* LoadVendorD2xx();

// The calls the program makes; each goes to the selected backend.
FT_STATUS FT_ListDevices(PVOID pArg1, PVOID pArg2, DWORD Flags);
FT_STATUS FT_OpenEx(PVOID pArg1, DWORD Flags, FT_HANDLE* pHandle);
FT_STATUS FT_Close(FT_HANDLE ftHandle);
FT_STATUS FT_Read(FT_HANDLE ftHandle, LPVOID lpBuffer, DWORD dwBytesToRead, LPDWORD lpBytesReturned);
FT_STATUS FT_Write(FT_HANDLE ftHandle, LPVOID lpBuffer, DWORD dwBytesToWrite, LPDWORD lpBytesWritten);
FT_STATUS FT_Purge(FT_HANDLE ftHandle, ULONG Mask);
FT_STATUS FT_SetTimeouts(FT_HANDLE ftHandle, ULONG ReadTimeout, ULONG WriteTimeout);
FT_STATUS FT_GetQueueStatus(FT_HANDLE ftHandle, DWORD* dwRxBytes);
FT_STATUS FT_GetStatus(FT_HANDLE ftHandle, DWORD* dwRxBytes, DWORD* dwTxBytes, DWORD* dwEventDWord);
