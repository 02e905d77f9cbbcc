// qvm7316-update: the update sequence as a console program.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>

#include "app/console/console_display.h"
#include "platform/clock.h"
#include "platform/d2xx.h"
#include "platform/d2xx_trace.h"
#include "platform/text.h"
#include "sim/device.h"
#include "sim/scenario.h"
#include "update/run_update.h"

#ifndef QVM7316_VERSION
#define QVM7316_VERSION "0.1.0"
#endif

namespace {

constexpr int kUsageError = 2;

const char kUsage[] =
    "Usage: qvm7316-update [options]\n"
    "Updates the QVM7316: processor firmware (gen.hex), PROM (genprom.hex) and\n"
    "gate array (GEN.dat), read from the working directory.\n"
    "\n"
    "Options:\n"
    "  --yes                 do not wait for Enter after the start-up warning\n"
    "  --simulate[=FILE]     use the emulated device, set up by a scenario file\n"
    "                        (default: one QVM7316 that answers correctly)\n"
    "  --realtime            with --simulate: run on the real clock, not in virtual time\n"
    "  --trace FILE          write every D2XX call to FILE\n"
    "  --dump DIR            with --simulate: write what the device holds into DIR\n"
    "                        after the run (processor.bin, prom.bin, gatearray.bin, device.txt)\n"
    "  -C DIR                change to DIR first; later paths are taken from there\n"
    "  --help                show this text\n"
    "  --version             show the version\n"
    "\n"
    "Exit status: 0 when the update succeeded; otherwise the status code of the\n"
    "stage that failed (23 to 39); 2 for a usage error, before any device is used.\n";

struct Options {
    bool yes = false;
    bool simulate = false;
    std::string scenario;
    bool realtime = false;
    std::string trace;
    std::string dump;
    std::string directory;
};

int UsageError(const std::string& message) {
    std::fprintf(stderr, "qvm7316-update: %s\nTry 'qvm7316-update --help'.\n", message.c_str());
    return kUsageError;
}

// Returns -1 to go on, or the exit code to end with.
int ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto takeValue = [&](std::string& slot) {
            if (i + 1 >= argc) return false;
            slot = argv[++i];
            return !slot.empty();
        };
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--version") {
            std::printf("qvm7316-update %s\n", QVM7316_VERSION);
            return 0;
        } else if (arg == "--yes" || arg == "-y") {
            options.yes = true;
        } else if (arg == "--simulate") {
            options.simulate = true;
        } else if (arg.rfind("--simulate=", 0) == 0) {
            options.simulate = true;
            options.scenario = arg.substr(std::strlen("--simulate="));
            if (options.scenario.empty()) return UsageError("--simulate= needs a scenario file");
        } else if (arg == "--realtime") {
            options.realtime = true;
        } else if (arg == "--trace") {
            if (!takeValue(options.trace)) return UsageError("--trace needs a file name");
        } else if (arg.rfind("--trace=", 0) == 0) {
            options.trace = arg.substr(std::strlen("--trace="));
        } else if (arg == "--dump") {
            if (!takeValue(options.dump)) return UsageError("--dump needs a folder");
        } else if (arg.rfind("--dump=", 0) == 0) {
            options.dump = arg.substr(std::strlen("--dump="));
        } else if (arg == "-C") {
            if (!takeValue(options.directory)) return UsageError("-C needs a folder");
        } else {
            return UsageError("unknown option " + QuoteForMessage(arg));
        }
    }
    if (options.realtime && !options.simulate) return UsageError("--realtime goes with --simulate");
    if (!options.dump.empty() && !options.simulate) return UsageError("--dump goes with --simulate");
    return -1;
}

bool Confirmed() {
    std::printf("\nPress Enter to start the update, or Ctrl+C to cancel: ");
    std::fflush(stdout);
    std::string line;
    if (!std::getline(std::cin, line)) {
        std::printf("\n");
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    UseRealClock();
    Options options;
    if (int code = ParseOptions(argc, argv, options); code >= 0) return code;

    if (!options.directory.empty()) {
        std::error_code ec;
        std::filesystem::current_path(options.directory, ec);
        if (ec) return UsageError("cannot change to " + QuoteForMessage(options.directory) + ": " + ec.message());
    }

    sim::Scenario scenario;
    if (options.simulate && !options.scenario.empty()) {
        std::string error;
        if (!sim::LoadScenario(options.scenario, scenario, error)) return UsageError(error);
    }

    std::FILE* trace = nullptr;
    if (!options.trace.empty()) {
        trace = std::fopen(options.trace.c_str(), "w");
        if (!trace) return UsageError("cannot write the trace file " + QuoteForMessage(options.trace));
    }

    std::fputs(kStartupWarning, stdout);
    if (!options.yes && !Confirmed()) {
        std::fprintf(stderr, "qvm7316-update: not confirmed; nothing was done\n");
        if (trace) std::fclose(trace);
        return kUsageError;
    }

    const D2xxOps* backend = nullptr;
    if (options.simulate) {
        if (options.realtime)
            UseRealClock();
        else
            UseVirtualClock();
        sim::StartEmulator(scenario);
        backend = sim::EmulatorD2xx();
    } else {
        backend = LoadVendorD2xx();
    }
    SelectD2xx(trace ? TraceD2xx(backend, trace, options.trace) : backend);
    SelectDisplay(ConsoleDisplay());

    int result = UpdateWorker();
    std::fflush(stdout);

    if (trace) EndTrace();
    if (!options.dump.empty()) {
        std::string error;
        if (!sim::DumpDevice(sim::TheDevice(), options.dump, error))
            std::fprintf(stderr, "qvm7316-update: %s\n", error.c_str());
    }
    return result == 0 ? 0 : LastFailedStatus();
}
