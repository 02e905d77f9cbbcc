#include "update/run_update.h"

#include "platform/clock.h"
#include "platform/log.h"
#include "update/progress.h"
#include "update/stages.h"

const Stage kStages[] = {
    {0, ConnectToProcessor, "ConnectToProcessor"},    {0, ConvertHexFile, "ConvertHexFile"},
    {1000, ProgramProcessor, "ProgramProcessor"},     {0, ResetProcessor, "ResetProcessor"},
    {4000, ErasePromChip, "ErasePromChip"},           {4000, ProgramProm, "ProgramProm"},
    {4000, CheckCommunication, "CheckCommunication"}, {4000, EraseGateArray, "EraseGateArray"},
    {4000, ProgramGateArray, "ProgramGateArray"},
};
const int kStageCount = static_cast<int>(sizeof kStages / sizeof kStages[0]);

namespace {
int g_lastFailedStatus = 0;
}

int LastFailedStatus() { return g_lastFailedStatus; }

int RunUpdate() {
    g_lastFailedStatus = 0;
    g_stepCounter = 0;
    ShowProgress(0);
    for (int i = 0; i < kStageCount; ++i) {
        if (kStages[i].pauseBeforeMs) SleepMs(kStages[i].pauseBeforeMs);
        int status = kStages[i].run();
        if (status != 0) {
            g_lastFailedStatus = status;
            return -1;
        }
    }
    LogFlush();
    ShowProgress(100);
    return 0;
}

int UpdateWorker() {
    Display().RunStarted();
    int result = RunUpdate();
    if (result == 0)
        Display().RunEnded(0, kRunSucceeded);
    else
        Display().RunEnded(g_lastFailedStatus, kRunFailed);
    return result;
}
