// qvm7316-update: the update sequence as a console program.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/console/console_display.h"
#if defined(_WIN32)
#include "app/console/session_window.h"
#endif
#include "app/options.h"
#include "device/link.h"
#include "device/selection.h"
#include "platform/clock.h"
#include "platform/d2xx.h"
#include "platform/d2xx_trace.h"
#include "platform/files.h"
#if !defined(_WIN32)
#include "platform/d2xx_libftdi.h"
#endif
#include "platform/interrupt.h"
#include "platform/log.h"
#include "platform/text.h"
#include "protocol/status.h"
#include "sim/device.h"
#include "sim/replay.h"
#include "sim/scenario.h"
#include "sim/trace_reader.h"
#include "update/check_images.h"
#include "update/run_record.h"
#include "update/run_report.h"
#include "update/run_update.h"

namespace {

const char kUsage[] =
    "Usage: qvm7316-update [options]\n"
    "Updates the QVM7316: processor firmware (gen.hex), PROM (genprom.hex) and\n"
    "gate array (GEN.dat), read from the working directory. The three images are\n"
    "checked before the device is touched, and summed up before the warning.\n"
    "\n"
    "Options:\n"
    "  --yes                 do not wait for Enter after the start-up warning\n"
    "  --check               only check the three images (no device, no driver\n"
    "                        needed): a summary of each, then \"images OK\"\n"
    "  --list                list the attached FTDI devices, one a line: index,\n"
    "                        serial number, description, and QVM7316 or other\n"
    "  --json                with --list: the devices as a JSON list on standard output\n"
    "  --serial SN           update the QVM7316 with serial number SN; without it the\n"
    "                        update needs exactly one QVM7316 attached\n"
    "  --driver=DRIVER       Linux: libftdi (the default: libftdi1, which detaches the\n"
    "                        kernel's ftdi_sio itself) or d2xx (FTDI's libftd2xx.so)\n"
    "  --usb-id VID:PID      Linux, libftdi: also list devices with these USB ids (hex,\n"
    "                        e.g. 0403:6015); may be given more than once\n"
    "  --latency-ms N        set the FTDI chip's latency timer to N ms (2 to 255;\n"
    "                        default 2); 16 is the driver's own setting\n"
    "  --simulate[=FILE]     use the emulated device, set up by a scenario file\n"
    "                        (default: one QVM7316 that answers correctly)\n"
    "  --replay TRACE        answer every D2XX call from TRACE, a trace recorded with\n"
    "                        --trace (plain or gzip), instead of a device; a call the\n"
    "                        recording does not hold there stops the run with a report\n"
    "                        on standard error; runs in virtual time, asks nothing\n"
    "  --replay-any-images   with --replay: replay even when the images differ from\n"
    "                        the recorded run's\n"
    "  --realtime            with --simulate or --replay: run on the real clock, not in\n"
    "                        virtual time\n"
    "  --trace FILE          write every D2XX call to FILE\n"
    "  --dump DIR            with --simulate: write what the device holds into DIR\n"
    "                        after the run (processor.bin, prom.bin, gatearray.bin, device.txt)\n"
    "  --log FILE            append the record of the run to FILE\n"
    "                        (default: qvm7316-update.log in the working directory)\n"
    "  --no-log              keep no record of the run in a file\n"
    "  --report FILE         when the run ends, write its report to FILE: one JSON\n"
    "                        object with the device, the images and the outcome\n"
    "  -C DIR                change to DIR first; later paths are taken from there\n"
    "  --help                show this text\n"
    "  --version             show the version\n"
    "\n"
    "Ctrl+C during the update only warns: stopping may leave the device unusable.\n"
    "A second Ctrl+C within 5 seconds, or SIGTERM, stops the update at its next\n"
    "device call, closes the connection and says where it stopped.\n"
    "\n"
    "Exit status: 0 when the update succeeded (with --check: the images are good);\n"
    "otherwise the status code of what failed (23 to 39; a failed image check gives\n"
    "that of the first bad file: 32 gen.hex, 33 gn.hex, 34 genprom.hex, 31 GEN.dat);\n"
    "130 when stopped by Ctrl+C, 143 by SIGTERM; 2 for a usage error, before any\n"
    "device is used; 3 when a replay left its recording, or its images are not the\n"
    "recorded run's.\n";

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

// The description as --list shows it: in double quotes, with a quote or a
// backslash in it escaped.
std::string Quoted(const std::string& text) {
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

// --list: the attached FTDI devices, one a line, for people and for shell
// loops ("$NF == \"QVM7316\" { print $2 }" gives the QVM7316s' serial numbers).
// A device whose names could not be read shows as "(no access)".
int ListOnly() {
    std::vector<ListedDevice> devices;
    if (int status = ListAttachedDevices(devices, true); status != 0)
        return D2xxUnavailableReason().empty() ? status : USB_OPEN_FAILURE;
    for (const ListedDevice& d : devices)
        Log("%u %s %s %s\n", static_cast<unsigned>(d.index), d.serial.empty() ? "-" : d.serial.c_str(),
            d.readable ? Quoted(d.description).c_str() : "\"(no access)\"", d.isQvm7316 ? "QVM7316" : "other");
    if (std::string line = UnreadableDevicesLine(devices); !line.empty()) Log("%s\n", line.c_str());
    return 0;
}

// --list --json: the same devices as one JSON list on standard output, for
// a program to read: index, serial number and description (null when the
// device has none, or they could not be read), whether it is a QVM7316, and
// whether its names could be read. What the listing says otherwise (why it
// failed, what a device that could not be read needs) goes to standard
// error.
int ListOnlyAsJson() {
    std::string said;
    LogToBuffer(&said);
    std::vector<ListedDevice> devices;
    int status = ListAttachedDevices(devices, true);
    LogToBuffer(nullptr);
    if (status != 0) {
        std::fputs(said.c_str(), stderr);
        return D2xxUnavailableReason().empty() ? status : USB_OPEN_FAILURE;
    }
    using Json = nlohmann::ordered_json;
    Json list = Json::array();
    for (const ListedDevice& d : devices)
        list.push_back({{"index", d.index},
                        {"serial", d.readable && !d.serial.empty() ? Json(d.serial) : Json(nullptr)},
                        {"description", d.readable ? Json(d.description) : Json(nullptr)},
                        {"qvm7316", d.isQvm7316},
                        {"access", d.readable}});
    // A description that is not UTF-8 (a clone's) gets U+FFFD for its odd bytes.
    std::printf("%s\n", list.dump(2, ' ', false, Json::error_handler_t::replace).c_str());
    if (std::string line = UnreadableDevicesLine(devices); !line.empty()) std::fprintf(stderr, "%s\n", line.c_str());
    return 0;
}

#if defined(_WIN32)
// On Windows the one driver is the vendor's FTD2XX.dll.
const D2xxOps* RealDriver(const Options&) { return LoadVendorD2xx(); }
#else
// On Linux the default driver is libftdi1, which detaches the kernel's
// ftdi_sio itself; the vendor's libftd2xx.so loads fine but opens nothing
// while ftdi_sio holds the device. Without libftdi1, the vendor's library
// is taken if it is there.
const D2xxOps* RealDriver(const Options& options) {
    if (options.driver == "d2xx") return LoadVendorD2xx();
    std::vector<UsbId> ids;
    for (const std::string& text : options.usbIds) {
        UsbIdValue id;
        ParseUsbId(text, id);
        ids.push_back({static_cast<std::uint16_t>(id.vendor), static_cast<std::uint16_t>(id.product)});
    }
    std::string libftdiReason;
    if (const D2xxOps* ops = LoadLibftdiD2xx(ids, libftdiReason)) return ops;
    if (options.driver == "libftdi") return UnavailableD2xx(libftdiReason);
    std::string vendorReason;
    if (const D2xxOps* ops = TryVendorD2xx(vendorReason)) {
        Log("%s; the FTDI D2XX library is used instead\n", libftdiReason.c_str());
        return ops;
    }
    return UnavailableD2xx("no driver for the device: neither libftdi1 (" + std::string(kLibftdiLibrary) +
                           ", Debian package libftdi1-2) nor FTDI's D2XX library (libftd2xx.so) can be loaded");
}
#endif

// The driver the options choose: the emulated devices, a recorded run, or
// a real device's.
const D2xxOps* Backend(const Options& options, const sim::Scenario& scenario, sim::RecordedTrace& recording) {
    if (!options.simulate && options.replay.empty()) return RealDriver(options);
    if (options.realtime)
        UseRealClock();
    else
        UseVirtualClock();
    if (!options.replay.empty()) {
        sim::StartReplay(std::move(recording), options.replay);
        return sim::ReplayD2xx();
    }
    std::string folder = std::filesystem::path(options.scenario).parent_path().string();
    sim::StartEmulator(scenario, folder.empty() ? "." : folder);
    return sim::EmulatorD2xx();
}

// --check: the image check of a run, alone, with a summary of each image.
int CheckOnly() {
    const ImagesCheck& check = CheckImages();
    RecordRunStart("check", check);
    for (const CheckedImage& image : check.images)
        if (image.failures.empty())
            for (const std::string& line : image.summary) Log("%s\n", line.c_str());
    LogImageFailures(check);
    if (check.status == 0) {
        Log("images OK\n");
        RecordRunEnd("images OK");
    } else {
        RecordRunEnd(std::string("failed in image check: ") + StatusName(check.status) + " (" +
                     std::to_string(check.status) + ")");
    }
    return check.status;
}

// The images in the working folder against those of the recorded run,
// before the replay answers its first call. Returns -1 to go on, or the
// exit code after saying which differ.
int CompareReplayImages(const Options& options, const sim::RecordedTrace& recording, const ImagesCheck& images) {
    if (recording.images.empty()) {
        std::fprintf(stderr, "qvm7316-update: %s names no images; they are not compared\n", options.replay.c_str());
        return -1;
    }
    std::string mismatch = sim::ReplayImageMismatch(recording, DescribeImages(images));
    if (mismatch.empty()) return -1;
    std::fprintf(stderr, "qvm7316-update: the images here are not those of the run %s recorded:\n%s",
                 options.replay.c_str(), mismatch.c_str());
    if (options.replayAnyImages) {
        std::fprintf(stderr, "qvm7316-update: replayed all the same (--replay-any-images)\n");
        return -1;
    }
    std::fprintf(stderr, "qvm7316-update: --replay-any-images replays all the same\n");
    return REPLAY_DIVERGED;
}

// Creates the trace file (or empties it) for the run that starts. Returns
// -1 to go on, or the exit code after saying why it cannot be written.
int OpenTrace(const Options& options, std::FILE*& trace) {
    if (options.trace.empty()) return -1;
    trace = std::fopen(options.trace.c_str(), "w");
    if (trace) return -1;
    return UsageError("cannot write the trace file " + QuoteForMessage(options.trace) + ": " + std::strerror(errno));
}

// How a replay ended: its report or its summary on standard error, and
// its own exit code after a divergence, whatever the run gave.
int EndReplay(int status) {
    sim::FinishReplay();
    if (sim::ReplayDiverged()) {
        std::fputs(sim::ReplayReport().c_str(), stderr);
        return REPLAY_DIVERGED;
    }
    std::fprintf(stderr, "%s\n", sim::ReplaySummary().c_str());
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    IgnoreClosedOutput();
    UseRealClock();
    Options options;
    if (int code = ParseOptions(argc, argv, options); code >= 0) return code;
#if defined(_WIN32)
    if (!options.driver.empty() || !options.usbIds.empty())
        return UsageError("on Windows the driver is FTDI's FTD2XX.dll: --driver and --usb-id are for Linux");
#endif
    if (options.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (options.version) {
        std::printf("qvm7316-update %s\n", QVM7316_VERSION);
        return 0;
    }

    if (!options.directory.empty()) {
        std::error_code ec;
        std::filesystem::current_path(options.directory, ec);
        if (ec) return UsageError("cannot change to " + QuoteForMessage(options.directory) + ": " + ec.message());
    }

    if (options.check) {
        if (std::string path = RunLogPath(options); !path.empty()) OpenRunLog(path);
        int status = CheckOnly();
        CloseRunLog();
        return status;
    }

    sim::Scenario scenario;
    if (options.simulate && !options.scenario.empty()) {
        std::string error;
        if (!sim::LoadScenario(options.scenario, scenario, error)) return UsageError(error);
    }
    sim::RecordedTrace recording;
    if (!options.replay.empty()) {
        std::string error;
        if (!sim::LoadTrace(options.replay, recording, error)) return UsageError(error);
    }

    // A trace that cannot be written is found out now, without touching a
    // trace that is there: it is replaced only when the run starts.
    std::FILE* trace = nullptr;
    if (std::string reason; !options.trace.empty() && !CanWriteFile(options.trace.c_str(), reason))
        return UsageError("cannot write the trace file " + QuoteForMessage(options.trace) + ": " + reason);
    // So is a report that cannot be written, before the device is touched.
    if (std::string reason; !options.report.empty() && !CanReplaceWholeFile(options.report, reason))
        return UsageError("cannot write the report " + QuoteForMessage(options.report) + ": " + reason);
    SetReportFile(options.report);

    bool replay = !options.replay.empty();
    if (options.list) {
        if (int code = OpenTrace(options, trace); code >= 0) return code;
        const D2xxOps* backend = Backend(options, scenario, recording);
        SelectD2xx(trace ? TraceD2xx(backend, trace, options.trace) : backend);
        int status = options.json ? ListOnlyAsJson() : ListOnly();
        if (trace) EndTrace();
        return replay ? EndReplay(status) : status;
    }

    // The images are checked once, before the warning: the technician sees
    // what is about to be written, and the run sends what this check read.
    // Before the first call, so that a replay against other images says so.
    const ImagesCheck& images = CheckImages();
    if (replay) {
        if (int code = CompareReplayImages(options, recording, images); code >= 0) return code;
    }
    for (const std::string& line : ImagesSummary(images)) std::printf("%s\n", line.c_str());

    // A replay touches no device: nothing to confirm.
    std::fputs(kStartupWarning, stdout);
    if (!options.yes && !replay && !Confirmed()) {
        std::fprintf(stderr, "qvm7316-update: not confirmed; nothing was done\n");
        return kUsageError;
    }

    // The run starts: only now are the trace and the run log file written.
    if (int code = OpenTrace(options, trace); code >= 0) return code;
    if (std::string path = RunLogPath(options); !path.empty()) OpenRunLog(path);
    ChooseDevice(options.serial);
    // A replay sets the latency timer as the recorded run did: the read
    // after each line of the processor programming depends on it.
    if (replay && recording.latencyMs != 0)
        ChooseLatencyTimer(recording.latencyMs);
    else if (options.latencyMs != 0)
        ChooseLatencyTimer(options.latencyMs);
    const D2xxOps* backend = Backend(options, scenario, recording);
    SelectD2xx(trace ? TraceD2xx(backend, trace, options.trace) : backend);
    SelectDisplay(ConsoleDisplay());

    // The log reaches the console through a writer of its own, so that a
    // console that takes no output does not hold the update.
    StartLogWriter();
#if defined(_WIN32)
    WatchSessionEnd();
#endif
    int result = UpdateWorker(true);
    int code = result == 0 ? 0 : LastFailedStatus();
#if defined(_WIN32)
    StopWatchingSessionEnd();
#endif
    StopLogWriter();

    if (trace) EndTrace();
    CloseRunLog();
    if (!options.dump.empty()) {
        std::string error;
        if (!sim::DumpDevice(sim::TheDevice(), options.dump, error))
            std::fprintf(stderr, "qvm7316-update: %s\n", error.c_str());
    }
    return replay ? EndReplay(code) : code;
}
