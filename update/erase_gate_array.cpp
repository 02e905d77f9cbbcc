// Gate array erase: serve the blocks the device asks for in erase mode,
// wait while it erases, print its report and reset the onboard processor.
#include <cstdio>
#include <cstring>
#include <string_view>

#include "device/link.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "protocol/commands.h"
#include "protocol/model.h"
#include "protocol/status.h"
#include "update/gate_array_requests.h"
#include "update/progress.h"
#include "update/stage.h"
#include "update/stages.h"
#include "update/time_left.h"

namespace {

constexpr std::uint32_t kRequestTimeoutMs = 2000;
constexpr unsigned kEraseSteps = 100;
constexpr std::uint32_t kEraseStepMs = 500;
constexpr std::uint32_t kReportTimeoutMs = 10000;
constexpr DWORD kReportRead = 22;  // printed cut to 21 bytes

}  // namespace

int EraseGateArray() {
    if (int status = OpenStageConnection(); status != 0) return status;
    Log("Erase Gatearray\n");
    SendModeCommand(CMD_GATE_ARRAY_ERASE);
    if (SetDeviceTimeouts(kRequestTimeoutMs, 0) != 0) return GiveUp(USB_TIMEOUT_FAILURE);
    std::string_view image;
    if (!TakeGateArrayImage(image)) return GiveUp(GEN_DAT_OPEN_FAILURE);

    // However the requests end, the erase goes ahead and the processor is
    // reset; but the stage succeeds only when the device confirmed its
    // erase: every answer written whole, every read made, and its report
    // received. Only a device that keeps asking is not waited for.
    bool readFailed = false;
    switch (ServeBlockRequests(image, nullptr, nullptr)) {
        case LoopEnd::ReadFailure:
            Log("USB Read Failed\n");
            readFailed = true;
            break;
        case LoopEnd::TimedOut:
            Log("Timed out\n");
            break;
        case LoopEnd::WriteFailure:
            Log("USB Write Failed\n");
            break;
        case LoopEnd::KeptAsking:
            LogKeptAsking();
            return GiveUp(USB_TIMED_OUT);
    }

    Log("Erasing GateArray\n");
    for (unsigned step = 1; step <= kEraseSteps; ++step) {
        SleepMs(kEraseStepMs);
        Log(" GA erase %3u %% done\r", step);
        LogFlush();
        if (step % 30 == 0) TickProgress();
        WaitGoesOn();
    }
    Log("\n");

    if (SetDeviceTimeouts(kReportTimeoutMs, 0) != 0) return GiveUp(USB_TIMEOUT_FAILURE);
    std::memset(g_receiveBuffer, 0, sizeof g_receiveBuffer);
    bool reported = false;
    if (FT_Read(g_deviceHandle, g_receiveBuffer, kReportRead, &g_bytesRead) != FT_OK) {
        Log("USB Read Failed\n");
        readFailed = true;
    } else {
        g_receiveBuffer[kReportRead - 1] = '\0';
        Log("%s", g_receiveBuffer);
        // The report is the device's word that it has erased: without it a
        // programming pass would go into a gate array that may not be empty.
        reported = g_bytesRead > 0;
        if (!reported) Log("No erase report from the %s: the gate array's erase is not confirmed\n", kModelString);
    }

    Log("Reseting Processor\n");
    SendModeCommand(CMD_RESET);
    Log("Processor reset.....Finished\n");
    return FinishDeviceStage(readFailed ? USB_READ_FAILURE : !reported ? USB_TIMED_OUT : 0);
}
