// A stand-in for the vendor's FTD2XX.dll: the emulated QVM7316 behind the
// ten D2XX calls the updater makes, exported with the vendor's names and
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

// The emulator's calls, with a dump of the device after every close.
FT_STATUS WINAPI CloseAndDump(FT_HANDLE ftHandle) {
    FT_STATUS status = Emulator().Close(ftHandle);
    DumpAfterClose();
    return status;
}

const D2xxOps& Standin() {
    static const D2xxOps ops = [] {
        D2xxOps copy = Emulator();
        copy.Close = CloseAndDump;
        return copy;
    }();
    return ops;
}

}  // namespace

// The exports, one per call of the list, under the vendor's undecorated
// names (the 32-bit build links with --kill-at for that). They live in a
// namespace of their own only so that their C names do not clash with the
// program-side declarations of the same calls in platform/d2xx.h.
namespace standin {
extern "C" {

#define STANDIN_EXPORT(call, params, args) \
    __declspec(dllexport) FT_STATUS WINAPI FT_##call params { return Standin().call args; }
D2XX_CALLS(STANDIN_EXPORT)
#undef STANDIN_EXPORT

}  // extern "C"
}  // namespace standin
