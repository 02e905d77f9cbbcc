// A stand-in for the vendor's FTD2XX.dll: the emulated QVM7316 behind the
// nine D2XX calls the updater makes, exported with the vendor's names and
// calling convention. Put beside qvm7316-update.exe, it lets the real Windows
// program run a whole update on a machine without the device (under Wine in
// the end-to-end test).
//
// Test tooling only, never shipped. It runs on the real clock and sets the
// device up, at the first call, from the scenario file named by the
// environment variable QVM7316_SCENARIO (the defaults when it is not set).
// When QVM7316_DUMP names a folder, what the device holds is written there
// after every FT_Close, so the last stage's close leaves the final state.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/clock.h"
#include "sim/device.h"
#include "sim/scenario.h"

namespace {

bool g_started = false;

const D2xxOps& Emulator() {
    if (!g_started) {
        g_started = true;
        UseRealClock();
        sim::Scenario scenario;
        if (const char* path = std::getenv("QVM7316_SCENARIO"); path && *path) {
            std::string error;
            if (!sim::LoadScenario(path, scenario, error)) {
                // A broken test set-up must show, not pass for a missing device.
                std::fprintf(stderr, "FTD2XX stand-in: %s; no device attached\n", error.c_str());
                scenario = sim::Scenario{};
                scenario.devices.clear();
            }
        }
        sim::StartEmulator(scenario);
    }
    return *sim::EmulatorD2xx();
}

void DumpAfterClose() {
    const char* dir = std::getenv("QVM7316_DUMP");
    if (!dir || !*dir) return;
    std::string error;
    if (!sim::DumpDevice(sim::TheDevice(), dir, error)) std::fprintf(stderr, "FTD2XX stand-in: %s\n", error.c_str());
}

}  // namespace

// The exports. They live in a namespace of their own only so that their
// C names do not clash with the program-side declarations of the same calls
// in platform/d2xx.h; standin_dll.def lists them under the vendor's names.
namespace standin {
extern "C" {

FT_STATUS WINAPI FT_ListDevices(PVOID pArg1, PVOID pArg2, DWORD Flags) {
    return Emulator().ListDevices(pArg1, pArg2, Flags);
}
FT_STATUS WINAPI FT_OpenEx(PVOID pArg1, DWORD Flags, FT_HANDLE* pHandle) {
    return Emulator().OpenEx(pArg1, Flags, pHandle);
}
FT_STATUS WINAPI FT_Close(FT_HANDLE ftHandle) {
    FT_STATUS status = Emulator().Close(ftHandle);
    DumpAfterClose();
    return status;
}
FT_STATUS WINAPI FT_Read(FT_HANDLE ftHandle, LPVOID lpBuffer, DWORD dwBytesToRead, LPDWORD lpBytesReturned) {
    return Emulator().Read(ftHandle, lpBuffer, dwBytesToRead, lpBytesReturned);
}
FT_STATUS WINAPI FT_Write(FT_HANDLE ftHandle, LPVOID lpBuffer, DWORD dwBytesToWrite, LPDWORD lpBytesWritten) {
    return Emulator().Write(ftHandle, lpBuffer, dwBytesToWrite, lpBytesWritten);
}
FT_STATUS WINAPI FT_Purge(FT_HANDLE ftHandle, ULONG Mask) { return Emulator().Purge(ftHandle, Mask); }
FT_STATUS WINAPI FT_SetTimeouts(FT_HANDLE ftHandle, ULONG ReadTimeout, ULONG WriteTimeout) {
    return Emulator().SetTimeouts(ftHandle, ReadTimeout, WriteTimeout);
}
FT_STATUS WINAPI FT_GetQueueStatus(FT_HANDLE ftHandle, DWORD* dwRxBytes) {
    return Emulator().GetQueueStatus(ftHandle, dwRxBytes);
}
FT_STATUS WINAPI FT_GetStatus(FT_HANDLE ftHandle, DWORD* dwRxBytes, DWORD* dwTxBytes, DWORD* dwEventDWord) {
    return Emulator().GetStatus(ftHandle, dwRxBytes, dwTxBytes, dwEventDWord);
}

}  // extern "C"
}  // namespace standin
