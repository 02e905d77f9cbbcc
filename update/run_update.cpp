#include "update/run_update.h"

#include <string>

#include "device/link.h"
#include "device/selection.h"
#include "platform/clock.h"
#include "platform/d2xx.h"
#include "platform/interrupt.h"
#include "platform/log.h"
#include "protocol/status.h"
#include "update/check_images.h"
#include "update/progress.h"
#include "update/run_record.h"
#include "update/stage.h"
#include "update/stages.h"

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
std::string g_failureReason;  // the failure in one line, for the failure box

int Failed(const char* where, int status, const std::string& reason) {
    g_lastFailedStatus = status;
    g_failedIn = where;
    g_failureReason = reason;
    return -1;
}

// What a console window that is being closed does when the run has not
// ended in time: the process ends right after.
void CloseDeviceIfOpen() {
    if (DeviceIsOpen()) CloseDevice();
}

}  // namespace

int LastFailedStatus() { return g_lastFailedStatus; }

std::string LastFailure() {
    if (g_lastFailedStatus == 0) return "";
    return std::string(g_stopped ? "stopped in " : "failed in ") + g_failedIn + ": " + StatusName(g_lastFailedStatus) +
           " (" + std::to_string(g_lastFailedStatus) + ")";
}

namespace {

// The stages in order, on the checked images; stops at the first failure.
int RunStages() {
    for (int i = 0; i < kStageCount; ++i) {
        int status = 0;
        try {
            if (kStages[i].pauseBeforeMs) SleepMs(kStages[i].pauseBeforeMs);
            status = kStages[i].run();
        } catch (const RunStopped& stop) {
            g_stopped = true;
            status = GiveUp(stop.status);
        }
        if (status != 0) return Failed(kStages[i].name, status, LastLogLine());
    }
    LogFlush();
    ShowProgress(100);
    return 0;
}

}  // namespace

int RunUpdate() {
    g_lastFailedStatus = 0;
    g_stopped = false;
    ForgetD2xxWrites();
    ForgetRunDevice();
    g_stepCounter = 0;
    ShowProgress(0);

    // Nothing touches the device before the images are known to be good.
    const ImagesCheck& images = CheckImages();
    RecordRunStart("update", images);
    int result = 0;
    if (images.status != 0) {
        LogImageFailures(images);
        result = Failed("image check", images.status, images.firstFailure);
    } else {
        result = RunStages();
    }
    // The images are held for the run's stages only.
    ResetImageCheck();
    return result;
}

int UpdateWorker() {
    BeginGuardedRun(CloseDeviceIfOpen);
    Display().RunStarted();
    int result = RunUpdate();
    EndGuardedRun();
    if (result == 0) {
        Display().RunEnded(0, kRunSucceeded, "");
        RecordRunEnd("succeeded");
        return 0;
    }
    // Where the run stopped, and whether the device may have been changed.
    bool deviceChanged = D2xxWriteMade();
    // Without a driver, that is the reason, not the first call that failed.
    std::string reason = D2xxUnavailableReason();
    if (reason.empty()) reason = g_failureReason;
    Display().RunEnded(g_lastFailedStatus, kRunFailed, deviceChanged ? "" : reason.c_str());
    Log("%s\n", LastFailure().c_str());
    Log("%s\n", deviceChanged ? kRunAgain : kDeviceUnchanged);
    LogFlush();
    RecordRunEnd(LastFailure());
    return result;
}
