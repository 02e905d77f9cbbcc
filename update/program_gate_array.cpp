// Gate array programming and verification: serve the device's block
// requests through its programming and its verifying pass, tell the two
// apart by the positions it asks for, then reset the onboard processor.
#include <cstdio>
#include <string_view>

#include "device/link.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "protocol/commands.h"
#include "protocol/status.h"
#include "update/gate_array_requests.h"
#include "update/progress.h"
#include "update/stage.h"
#include "update/stages.h"

namespace {

constexpr std::uint32_t kRequestTimeoutMs = 5000;
constexpr std::uint32_t kAnswersPerUpdate = 100;
constexpr std::uint16_t kVerifyingFrom = 99;  // percent

// What the stage knows of the device's progress. The device never says which
// pass it is in: the first update at 99 % or beyond starts the verifying
// phase, and only a silence after an update at 99 % or beyond is its end.
struct PassProgress {
    bool verifying = false;
    std::uint32_t answered = 0;  // since the last update
    std::uint16_t percentage = 0;
    std::uint16_t previousPercentage = 0;
    std::uint8_t changes = 0;  // wraps
};

void ShowPassProgress(PassProgress& p, std::uint32_t requestNumber) {
    p.percentage = static_cast<std::uint16_t>(requestNumber * 100 / MaxSize);
    Log(p.verifying ? " Verifying:   %3u %%\r" : " Programming: %3u %%\r", p.percentage);
    LogFlush();
    if (p.percentage >= kVerifyingFrom && !p.verifying) {
        Log("%39s\r", "");
        LogFlush();
        p.verifying = true;
    }
    p.answered = 0;
    SleepMs(10);
    if (p.percentage != p.previousPercentage) {
        ++p.changes;
        p.previousPercentage = p.percentage;
        if (p.changes % 5 == 0) TickProgress();
    }
}

void AfterAnswer(std::uint32_t requestNumber, void* context) {
    auto& progress = *static_cast<PassProgress*>(context);
    if (UsbBytesWritten != kAnswerLength) Log("wrong size of UsbBytesWritten to USB\n");
    if (++progress.answered >= kAnswersPerUpdate) ShowPassProgress(progress, requestNumber);
}

}  // namespace

int ProgramGateArray() {
    if (int status = OpenStageConnection(); status != 0) return status;
    SendModeCommand(CMD_GATE_ARRAY_PROGRAM);
    if (SetDeviceTimeouts(kRequestTimeoutMs, 0) != 0) return GiveUp(USB_TIMEOUT_FAILURE);
    std::string_view image;
    if (!TakeGateArrayImage(image)) return GiveUp(GEN_DAT_OPEN_FAILURE);

    PassProgress progress;
    // A loop cut short by a failing read or write has not programmed and
    // verified the whole gate array: wind down the same way, but say so.
    int status = 0;
    switch (ServeBlockRequests(image, AfterAnswer, &progress)) {
        case LoopEnd::ReadFailure:
            Log("Read Failed\n");
            status = USB_READ_FAILURE;
            break;
        case LoopEnd::WriteFailure:
            Log("USB Write Failed\n");
            status = USB_WRITE_FAILURE;
            break;
        case LoopEnd::TimedOut:
            Log("\nTimed out\n");
            if (!progress.verifying || progress.percentage < kVerifyingFrom) return GiveUp(USB_TIMED_OUT);
            break;
    }

    Log("\nFinished Programming\n");
    SleepMs(2000);
    Log("Reseting Processor\n");
    SendModeCommand(CMD_RESET);
    Log("Processor reset.....done\n");
    if (CloseDevice() != 0) {
        Log("USB_CLOSE_FAILURE\n");
        LogFlush();
        return GiveUp(USB_CLOSE_FAILURE);
    }
    return status;
}
