// What the benches of a stage through the real libusb-1.0 and libftdi1
// share (usb_processor_bench, usb_gate_array_bench): the same update run
// twice by the console program, once in virtual time against the emulated
// device alone (the schedule: the device answers at once) and once in real
// time through the system's libraries over an FT232R emulated with
// umockdev (tests/usb/usb_bus.h), each recording a trace; and the reading
// of one connection's calls from a trace.
//
// Usage of a bench: <bench> [console program] [-- options...]
// The console program is the one built here unless given; options after
// "--" are passed to both of its runs (say --latency-ms 2).
#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "small_images.h"
#include "usb_bus.h"

struct UsbBenchSetup {
    std::string program;                   // the console program
    std::vector<std::string> programArgs;  // passed on to both runs
};

// Reads the bench's command line; false after a usage line on standard
// error.
bool ReadUsbBenchArgs(int argc, char** argv, const char* usage, UsbBenchSetup& setup);

// The two runs of the update, in `work`/schedule and `work`/usb.
struct UsbBenchRuns {
    std::filesystem::path work;
    ChildRun schedule, usb;
};

// Runs the update with these image files (name -> contents) and scenario
// twice, as above; the folder is removed afterwards by the caller. False
// with the reason when the bus or the scenario cannot be set up; `skipped`
// when umockdev cannot run here.
bool RunUsbBench(const UsbBenchSetup& setup, const std::string& scenario,
                 const std::map<std::string, std::string>& images, std::chrono::seconds limit, UsbBenchRuns& runs,
                 bool& skipped, std::string& reason);

// A call line of a trace: its time (ms) and the rest of the line.
struct TracedCall {
    double ms;
    std::string call;  // "FT_Write 3A30...= 0 17" and so on
};

// The calls of the `n`-th connection in a trace (from 1: from its n-th
// FT_OpenEx on, up to the next), or of the last one for 0.
std::vector<TracedCall> ConnectionCalls(const std::filesystem::path& trace, int n);

// The chip's latency timer in a run, from its trace: what a short reply
// waits at most before it reaches the host (ms). The last value the run set
// (FT_SetLatencyTimer), else the 16 ms the libftdi backend's open sets.
double LatencyOf(const std::filesystem::path& trace);
