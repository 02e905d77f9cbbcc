// The command line of both programs. Each program takes what it supports
// and refuses the rest as a usage error (exit code 2), before anything is
// done.
#pragma once

#include <string>
#include <vector>

// Exit code of a usage error: a bad option, an unreadable scenario or trace
// file, or the warning not confirmed. Nothing touched a device.
constexpr int kUsageError = 2;

struct Options {
    bool help = false;
    bool version = false;
    bool yes = false;       // --yes: no prompt after the start-up warning
    bool check = false;     // --check: the image check alone
    bool list = false;      // --list: the attached FTDI devices
    bool json = false;      // --json: with --list, as a JSON list
    std::string serial;     // --serial SN: the device to update
    std::string driver;     // --driver=libftdi|d2xx (Linux)
    std::vector<std::string> usbIds;  // --usb-id VID:PID, any number of them
    unsigned latencyMs = 0;           // --latency-ms N, 2 to 255; 0: not given
    bool simulate = false;            // --simulate[=FILE]
    std::string scenario;
    bool realtime = false;         // --realtime
    std::string replay;            // --replay TRACE
    bool replayAnyImages = false;  // --replay-any-images
    std::string trace;             // --trace FILE
    std::string dump;              // --dump DIR
    std::string directory;         // -C DIR
    std::string log;               // --log FILE
    bool noLog = false;            // --no-log
    std::string report;            // --report FILE: the run's report (JSON)
};

// Parses the arguments into options. Returns -1 to go on, or an exit code
// after the message of a usage error on standard error.
int ParseOptions(int argc, char** argv, Options& options);

// Prints "qvm7316-update: <message>" and the hint to --help on standard
// error; returns kUsageError.
int UsageError(const std::string& message);

// The run log file the options choose: "" for none. A replay keeps one only
// when --log names it: its working folder may hold the field run's own,
// which a record of the replay must not join.
std::string RunLogPath(const Options& options);

// A USB vendor and product id given as "VID:PID" in hexadecimal ("0403:6015").
struct UsbIdValue {
    unsigned vendor = 0, product = 0;
};
bool ParseUsbId(const std::string& text, UsbIdValue& id);
