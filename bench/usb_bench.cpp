// The two runs of a bench through the real USB stack, and its traces.
#include "usb_bench.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>

#include "platform/clock.h"
#include "sim/device.h"
#include "sim/scenario.h"

namespace fs = std::filesystem;

namespace {

// The latency timer the libftdi backend's open sets, unless a run sets its
// own (ms).
constexpr double kOpenLatencyMs = 16;

std::vector<std::string> Lines(const fs::path& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

}  // namespace

bool ReadUsbBenchArgs(int argc, char** argv, const char* usage, UsbBenchSetup& setup) {
    setup.program = QVM7316_CONSOLE_EXE;
    int i = 1;
    if (i < argc && std::strcmp(argv[i], "--") != 0) setup.program = fs::absolute(argv[i++]).string();
    if (i < argc && std::strcmp(argv[i], "--") != 0) {
        std::fprintf(stderr, "usage: %s\n", usage);
        return false;
    }
    for (++i; i < argc; ++i) setup.programArgs.push_back(argv[i]);
    return true;
}

bool RunUsbBench(const UsbBenchSetup& setup, const std::string& scenario,
                 const std::map<std::string, std::string>& images, std::chrono::seconds limit, UsbBenchRuns& runs,
                 bool& skipped, std::string& reason) {
    skipped = false;
    runs.work = fs::temp_directory_path() / ("qvm7316-usb-bench-" + std::to_string(getpid()));
    fs::remove_all(runs.work);
    for (const char* folder : {"usb", "schedule"}) {
        fs::create_directories(runs.work / folder);
        for (const auto& [name, contents] : images)
            std::ofstream(runs.work / folder / name, std::ios::binary) << contents;
    }
    std::ofstream(runs.work / "scenario") << scenario;
    // The schedule is the device's own pace: the emulated chip hands its
    // replies over as it sends them, without a latency timer.
    std::ofstream(runs.work / "schedule.scenario") << scenario << "\nchip_timer = off\n";

    if (!StartUsbBus(reason)) {
        skipped = true;
        return false;
    }
    sim::Scenario emulated;
    if (!sim::LoadScenario((runs.work / "scenario").string(), emulated, reason)) {
        StopUsbBus();
        return false;
    }
    // The emulated device takes the gate array's length from GEN.dat in the
    // working folder.
    fs::path previous = fs::current_path();
    fs::current_path(runs.work / "usb");
    UseRealClock();
    sim::StartEmulator(emulated, runs.work.string());
    bool plugged = PlugFt232r(emulated.devices.front().serial, ChipFaults{}, reason);
    auto run = [&](const char* folder, std::vector<std::string> args) {
        args.insert(args.begin(), {"-C", (runs.work / folder).string(), "--yes", "--no-log", "--trace", "trace"});
        args.insert(args.end(), setup.programArgs.begin(), setup.programArgs.end());
        return RunOnBus(setup.program, args, (runs.work / folder / "console.txt").string(), limit);
    };
    if (plugged) {
        runs.schedule = run("schedule", {"--simulate=../schedule.scenario"});
        runs.usb = run("usb", {"--driver=libftdi"});
    }
    StopUsbBus();
    fs::current_path(previous);
    return plugged;
}

std::vector<TracedCall> ConnectionCalls(const fs::path& trace, int n) {
    std::vector<TracedCall> calls;
    int opens = 0;
    for (const std::string& line : Lines(trace)) {
        if (line.empty() || line[0] == '#') continue;
        std::size_t space = line.find(' ');
        if (space == std::string::npos) continue;
        std::string call = line.substr(space + 1);
        if (call.rfind("FT_OpenEx ", 0) == 0) {
            ++opens;
            if (n == 0 || opens == n) calls.clear();
        }
        if (n == 0 || opens == n) calls.push_back({std::stod(line), call});
    }
    return calls;
}

double LatencyOf(const fs::path& trace) {
    double latency = kOpenLatencyMs;
    const std::string kSet = " FT_SetLatencyTimer ";
    for (const std::string& line : Lines(trace))
        if (std::size_t at = line.find(kSet); at != std::string::npos)
            latency = std::atof(line.c_str() + at + kSet.size());
    return latency;
}
