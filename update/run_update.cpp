#include "update/run_update.h"

#include <cstdio>
#include <string>

#include "device/link.h"
#include "device/selection.h"
#include "platform/clock.h"
#include "platform/d2xx.h"
#include "platform/d2xx_trace.h"
#include "platform/interrupt.h"
#include "platform/keep_awake.h"
#include "platform/log.h"
#include "protocol/status.h"
#include "update/check_images.h"
#include "update/progress.h"
#include "update/run_record.h"
#include "update/run_report.h"
#include "update/stage.h"
#include "update/stages.h"
#include "update/time_left.h"

// clang-format off
const Stage kStages[] = {
    {0,    ConnectToProcessor, "ConnectToProcessor"},
    {0,    ConvertHexFile,     "ConvertHexFile"},
    {1000, ProgramProcessor,   "ProgramProcessor"},
    {0,    ResetProcessor,     "ResetProcessor"},
    {4000, ErasePromChip,      "ErasePromChip"},
    {4000, ProgramProm,        "ProgramProm"},
    {4000, CheckCommunication, "CheckCommunication"},
    {4000, EraseGateArray,     "EraseGateArray"},
    {4000, ProgramGateArray,   "ProgramGateArray"},
};
// clang-format on
const int kStageCount = static_cast<int>(sizeof kStages / sizeof kStages[0]);

namespace {

// How the last run ended, when it did not succeed.
int g_lastFailedStatus = 0;
const char* g_failedIn = "";
bool g_stopped = false;
bool g_imagesFailed = false;  // the run ended in its image check
std::string g_failureReason;  // the failure in one line, for the failure box

int Failed(const char* where, int status, const std::string& reason) {
    g_lastFailedStatus = status;
    g_failedIn = where;
    g_failureReason = reason;
    return -1;
}

// The machine is kept awake while the stages run; the run log file says
// whether it was, and standard error says so when it was not. A run in
// virtual time (the emulated device, a replay) is over in moments: nothing
// can sleep in the middle of it.
void KeepAwakeForTheStages() {
    if (UsingVirtualClock()) return;
    AwakeState awake = KeepMachineAwake();
    RunLogRecord("=== " + awake.line);
    if (!awake.kept) std::fprintf(stderr, "qvm7316-update: %s\n", awake.line.c_str());
}

// Runs the stages in order: 0, or the failing stage's status after Failed.
// A stage's end hands the trace to the system and has it written to the
// disk meanwhile, so that a run cut short keeps its record.
int RunStages() {
    for (int i = 0; i < kStageCount; ++i) {
        int status = 0;
        std::uint64_t began = NowMs();
        StageBegins(i);
        try {
            if (kStages[i].pauseBeforeMs) SleepMs(kStages[i].pauseBeforeMs);
            began = NowMs();
            status = kStages[i].run();
        } catch (const RunStopped& stop) {
            g_stopped = true;
            status = GiveUp(stop.status);
        }
        // A stage that fails once a stop has been requested fails because
        // of it (its device may have been closed under it, by the handler
        // of a session that ends): the run was stopped.
        if (status != 0 && StopRequested()) {
            g_stopped = true;
            status = StopStatus();
        }
        ReportStage(kStages[i].name, status, NowMs() - began);
        if (status != 0) return Failed(kStages[i].name, status, LastLogLine());
        SyncTrace(false);
    }
    return 0;
}

}  // namespace

int LastFailedStatus() { return g_lastFailedStatus; }

std::string LastFailure() {
    if (g_lastFailedStatus == 0) return "";
    return std::string(g_stopped ? "stopped in " : "failed in ") + g_failedIn + ": " + StatusName(g_lastFailedStatus) +
           " (" + std::to_string(g_lastFailedStatus) + ")";
}

namespace {

// The stages with the machine kept awake; after their success the display
// shows 100, the success, and nothing before it does.
int RunStagesAwake() {
    KeepAwakeForTheStages();
    int result = RunStages();
    LetMachineSleep();
    if (result != 0) return result;
    LogFlush();
    ShowProgress(100);
    return 0;
}

}  // namespace

int RunUpdate(bool imagesChecked) {
    g_lastFailedStatus = 0;
    g_stopped = false;
    g_imagesFailed = false;
    ForgetD2xxWrites();
    ForgetRunDevice();
    g_stepCounter = 0;
    ShowProgress(0);

    // Nothing touches the device before the images are known to be good.
    const ImagesCheck& images = imagesChecked ? CheckInForce() : CheckImages();
    RecordUpdateStart(images);
    int result = 0;
    if (images.status != 0) {
        LogImageFailures(images);
        g_imagesFailed = true;
        result = Failed("image check", images.status, images.firstFailure);
    } else {
        BeginTimeLeft(images);
        result = RunStagesAwake();
        EndTimeLeft();
    }
    // The images are held for the run's stages only.
    ResetImageCheck();
    return result;
}

namespace {

// The report of the run, when one is asked for: written with the run log's
// end, before anything may hold the worker or end the program. A report
// that cannot be written costs a line on standard error and in the run log
// file, and changes nothing else.
void WriteReport(int result) {
    if (ReportFile().empty()) return;
    RunEnding ending;
    ending.exitCode = result == 0 ? 0 : g_lastFailedStatus;
    ending.stage = result == 0 ? "" : g_failedIn;
    ending.stopped = result != 0 && g_stopped;
    ending.deviceChanged = D2xxWriteMade();
    ending.refused = result != 0 && !g_stopped && !ending.deviceChanged && (g_imagesFailed || NoSingleDeviceChosen());
    std::string reason;
    if (WriteRunReport(ending, reason)) return;
    std::string line = "the report could not be written to " + ReportFile() + ": " + reason;
    std::fprintf(stderr, "qvm7316-update: %s\n", line.c_str());
    RunLogRecord("=== " + line);
}

}  // namespace

int UpdateWorker(bool imagesChecked) {
    BeginGuardedRun(CloseDeviceFromOutside);
    Display().RunStarted();
    int result = RunUpdate(imagesChecked);
    const char* message = result == 0 ? kRunSucceeded : kRunFailed;
    std::string detail;
    if (result == 0) {
        Display().RunEnded(0, kRunSucceeded, "");
        WriteReport(result);
        RecordRunEnd("succeeded");
    } else {
        // Where the run stopped, and whether the device may have been changed.
        bool deviceChanged = D2xxWriteMade();
        // Without a driver, that is the reason, not the first call that failed.
        std::string reason = D2xxUnavailableReason();
        if (reason.empty()) reason = g_failureReason;
        Display().RunEnded(g_lastFailedStatus, kRunFailed, deviceChanged ? "" : reason.c_str());
        Log("%s\n", LastFailure().c_str());
        Log("%s\n", deviceChanged ? kRunAgain : kDeviceUnchanged);
        LogFlush();
        WriteReport(result);
        RecordRunEnd(LastFailure());
        detail = deviceChanged ? kRunAgain : reason;
    }
    // The record is complete: whatever ends the program from now on loses
    // nothing, and a display may hold the worker (a box to dismiss).
    EndGuardedRun();
    if (Display().RunRecorded) Display().RunRecorded(g_lastFailedStatus, message, detail.c_str());
    return result;
}
