// The gate-array programming through the real libusb-1.0 and libftdi1,
// over an FT232R emulated with umockdev (tests/usb/usb_bus.h), against its
// schedule: the same stage in virtual time, where the device asks for its
// next block 1 ms after an answer. Each block request is a short reply (6
// bytes), which the chip holds back until its latency timer runs out, so a
// request through it costs up to one latency period more; anything beyond
// is the driver's. Prints the time per request of both runs, and what the
// chip's latency timer makes of it.
//
// Usage: usb_gate_array_bench [console program] [-- options...]
// Options after "--" go to the console program (say --latency-ms 2). Runs
// a whole update with small processor and PROM images and a GEN.dat of
// 2,000 blocks, in real time: the update's fixed pauses (about 3.5 minutes)
// and 4,000 requests (about a minute at the chip's default of 16 ms).
#include <cstdio>

#include "usb_bench.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kBlocks = 2000;
constexpr std::size_t kBlockBytes = 32;

// The block requests the gate-array programming took (its reads that
// brought 6 bytes: "FT_Read 6 = 0 " and 12 hexadecimal digits): how many,
// and the time from the first to the last (ms).
bool RequestTimes(const fs::path& trace, int& requests, double& ms) {
    const std::string kRequest = "FT_Read 6 = 0 ";
    double first = -1, last = -1;
    requests = 0;
    for (const TracedCall& c : ConnectionCalls(trace, 0)) {
        if (c.call.rfind(kRequest, 0) != 0 || c.call.size() != kRequest.size() + 12) continue;
        if (first < 0) first = c.ms;
        last = c.ms;
        ++requests;
    }
    ms = last - first;
    return requests > 1;
}

}  // namespace

int main(int argc, char** argv) {
    UsbBenchSetup setup;
    if (!ReadUsbBenchArgs(argc, argv, "usb_gate_array_bench [console program] [-- options...]", setup)) return 2;
    // A few processor records and PROM pages: the gate array is measured.
    std::map<std::string, std::string> images = SmallImages(3, kBlocks * kBlockBytes);

    UsbBenchRuns runs;
    bool skipped = false;
    std::string reason;
    if (!RunUsbBench(setup, "", images, std::chrono::seconds(900), runs, skipped, reason)) {
        std::printf("%s: %s\n", skipped ? "skipped: umockdev cannot run here" : "failed", reason.c_str());
        return skipped ? 0 : 1;
    }

    int scheduled = 0, through = 0;
    double scheduleMs = 0, usbMs = 0;
    if (runs.usb.exitCode != 0 || !RequestTimes(runs.work / "schedule" / "trace", scheduled, scheduleMs) ||
        !RequestTimes(runs.work / "usb" / "trace", through, usbMs) || scheduled != through) {
        std::fprintf(stderr, "the gate-array programming did not run through (exit codes %d and %d); see %s\n",
                     runs.schedule.exitCode, runs.usb.exitCode, runs.work.c_str());
        return 1;
    }
    double perScheduled = scheduleMs / (scheduled - 1), perUsb = usbMs / (through - 1);
    double latency = LatencyOf(runs.work / "usb" / "trace");
    std::printf("gate-array programming, %d requests (%zu blocks, programmed and verified)\n", through, kBlocks);
    std::printf("schedule %.2f s, %.2f ms a request; through libusb and libftdi1 %.2f s, %.2f ms a request\n",
                scheduleMs / 1000, perScheduled, usbMs / 1000, perUsb);
    std::printf("over the schedule: %.2f ms a request, %.2f latency periods of %.0f ms\n", perUsb - perScheduled,
                (perUsb - perScheduled) / latency, latency);
    fs::remove_all(runs.work);
    return 0;
}
