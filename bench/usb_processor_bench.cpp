// The processor programming through the real libusb-1.0 and libftdi1, over
// an FT232R emulated with umockdev (tests/usb/usb_bus.h), against its
// schedule: the same stage in virtual time, where the device answers each
// record at once. The chip holds each short echo back by its latency timer,
// so a record through it costs up to that much more; anything beyond is the
// driver's. Goal: at most one latency period a record over the schedule.
//
// Usage: usb_processor_bench [console program] [-- options...]
// Runs the update with the sample gen.hex until the processor programming
// is done (the next stage's open is refused), in real time: about 15 s.
#include <cstdio>

#include "usb_bench.h"

namespace fs = std::filesystem;

namespace {

// The next stage's open fails: the run ends after the processor programming.
constexpr char kScenario[] = "fail = FT_OpenEx 3\n";

// The processor programming's records in a trace (the second connection's
// writes between the loader's 0xE0 and the boot status record): how many,
// and the time from the first one's write to the boot status record's (ms).
bool RecordTimes(const fs::path& trace, int& records, double& ms) {
    const std::string kBootStatusRecord = "FT_Write 3A30333030303030333036303030304634 ";  // ":03000003060000F4"
    bool streaming = false;
    double first = -1;
    records = 0;
    for (const TracedCall& c : ConnectionCalls(trace, 2)) {
        if (c.call.rfind("FT_Write ", 0) != 0) continue;
        if (c.call.rfind(kBootStatusRecord, 0) == 0) {
            ms = c.ms - first;
            return records > 0;
        }
        if (streaming) {
            if (first < 0) first = c.ms;
            ++records;
        }
        streaming = streaming || c.call.rfind("FT_Write E0 ", 0) == 0;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    UsbBenchSetup setup;
    if (!ReadUsbBenchArgs(argc, argv, "usb_processor_bench [console program] [-- options...]", setup)) return 2;
    UsbBenchRuns runs;
    bool skipped = false;
    std::string reason;
    std::map<std::string, std::string> images;
    for (const char* name : {"gen.hex", "genprom.hex", "GEN.dat"}) images[name] = SampleImage(name);
    if (!RunUsbBench(setup, kScenario, images, std::chrono::seconds(120), runs, skipped, reason)) {
        std::printf("%s: %s\n", skipped ? "skipped: umockdev cannot run here" : "failed", reason.c_str());
        return skipped ? 0 : 1;
    }

    int scheduled = 0, through = 0;
    double scheduleMs = 0, usbMs = 0;
    if (!RecordTimes(runs.work / "schedule" / "trace", scheduled, scheduleMs) ||
        !RecordTimes(runs.work / "usb" / "trace", through, usbMs) || scheduled != through) {
        std::fprintf(stderr, "the processor programming did not run through (exit codes %d and %d); see %s\n",
                     runs.schedule.exitCode, runs.usb.exitCode, runs.work.c_str());
        return 1;
    }
    double over = (usbMs - scheduleMs) / through;
    double latency = LatencyOf(runs.work / "usb" / "trace");
    std::printf("processor programming, %d records: schedule %.2f s, through libusb and libftdi1 %.2f s\n", through,
                scheduleMs / 1000, usbMs / 1000);
    std::printf("over the schedule: %.1f ms a record, %.2f latency periods of %.0f ms (goal: at most 1)\n", over,
                over / latency, latency);
    fs::remove_all(runs.work);
    return 0;
}
