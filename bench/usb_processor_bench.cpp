// The processor programming through the real libusb-1.0 and libftdi1, over
// an FT232R emulated with umockdev (tests/usb/usb_bus.h), against its
// schedule: the same stage in virtual time, where the device answers each
// record at once. The chip holds each short echo back by its latency timer
// (16 ms), so a record through it costs that much more; anything beyond is
// the driver's. Goal: at most one latency period a record over the
// schedule.
//
// Usage: usb_processor_bench [console program]   (default: the one built here)
// Runs the update with the sample gen.hex until the processor programming
// is done (the next stage's open is refused), in real time: about 15 s.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "sim/device.h"
#include "sim/scenario.h"
#include "usb_bus.h"

namespace fs = std::filesystem;

namespace {

// The next stage's open fails: the run ends after the processor programming.
constexpr char kScenario[] = "fail = FT_OpenEx 3\n";
constexpr double kLatencyMs = 16;

std::vector<std::string> Lines(const fs::path& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The processor programming's records in a trace (the second connection's
// writes between the loader's 0xE0 and the boot status record): how many,
// and the time from the first one's write to the boot status record's (ms).
bool RecordTimes(const fs::path& trace, int& records, double& ms) {
    const std::string kBootStatusRecord = " FT_Write 3A30333030303030333036303030304634 ";  // ":03000003060000F4"
    int opens = 0;
    bool streaming = false;
    double first = -1;
    records = 0;
    for (const std::string& line : Lines(trace)) {
        if (line.find(" FT_OpenEx ") != std::string::npos) ++opens;
        if (opens != 2 || line.find(" FT_Write ") == std::string::npos) continue;
        double at = std::stod(line);
        if (line.find(kBootStatusRecord) != std::string::npos) {
            ms = at - first;
            return records > 0;
        }
        if (streaming) {
            if (first < 0) first = at;
            ++records;
        }
        streaming = streaming || line.find(" FT_Write E0 ") != std::string::npos;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    std::string program = argc > 1 ? fs::absolute(argv[1]).string() : QVM7316_CONSOLE_EXE;
    fs::path work = fs::temp_directory_path() / ("qvm7316-usb-bench-" + std::to_string(getpid()));
    fs::create_directories(work / "usb");
    fs::create_directories(work / "schedule");
    std::ofstream(work / "scenario") << kScenario;
    for (const char* folder : {"usb", "schedule"})
        for (const char* image : {"gen.hex", "genprom.hex", "GEN.dat"})
            fs::copy_file(fs::path(QVM7316_SOURCE_DIR) / "samples" / image, work / folder / image);

    std::string reason;
    if (!StartUsbBus(reason)) {
        std::printf("skipped: umockdev cannot run here: %s\n", reason.c_str());
        return 0;
    }
    sim::Scenario scenario;
    if (!sim::LoadScenario((work / "scenario").string(), scenario, reason)) {
        std::fprintf(stderr, "%s\n", reason.c_str());
        return 1;
    }
    fs::current_path(work / "usb");
    UseRealClock();
    sim::StartEmulator(scenario, work.string());
    if (!PlugFt232r(scenario.devices.front().serial, ChipFaults{}, reason)) {
        std::fprintf(stderr, "%s\n", reason.c_str());
        return 1;
    }

    auto run = [&](const char* folder, std::vector<std::string> extra) {
        std::vector<std::string> args = {"-C", (work / folder).string(), "--yes", "--no-log", "--trace", "trace"};
        args.insert(args.end(), extra.begin(), extra.end());
        return RunOnBus(program, args, (work / folder / "console.txt").string(), std::chrono::seconds(120));
    };
    ChildRun schedule = run("schedule", {"--simulate=../scenario"});
    ChildRun usb = run("usb", {"--driver=libftdi"});
    StopUsbBus();

    int scheduled = 0, through = 0;
    double scheduleMs = 0, usbMs = 0;
    if (!RecordTimes(work / "schedule" / "trace", scheduled, scheduleMs) ||
        !RecordTimes(work / "usb" / "trace", through, usbMs) || scheduled != through) {
        std::fprintf(stderr, "the processor programming did not run through (exit codes %d and %d); see %s\n",
                     schedule.exitCode, usb.exitCode, work.c_str());
        return 1;
    }
    double over = (usbMs - scheduleMs) / through;
    std::printf("processor programming, %d records: schedule %.2f s, through libusb and libftdi1 %.2f s\n", through,
                scheduleMs / 1000, usbMs / 1000);
    std::printf("over the schedule: %.1f ms a record, %.2f latency periods of %.0f ms (goal: at most 1)\n", over,
                over / kLatencyMs, kLatencyMs);
    fs::remove_all(work);
    return 0;
}
