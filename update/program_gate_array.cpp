// Gate array programming and verification: serve the device's block
// requests through its programming and its verifying pass, tell the two
// apart by the positions it asks for, then reset the onboard processor.
#include <cstdio>

#include "app/progress.h"
#include "device/commands.h"
#include "device/link.h"
#include "device/status.h"
#include "platform/clock.h"
#include "update/gate_array_requests.h"
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
    std::printf(p.verifying ? " Verifying:   %3u %%\r" : " Programming: %3u %%\r", p.percentage);
    std::fflush(stdout);
    if (p.percentage >= kVerifyingFrom && !p.verifying) {
        std::printf("%39s\r", "");
        std::fflush(stdout);
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
    if (UsbBytesWritten != kAnswerLength) std::printf("wrong size of UsbBytesWritten to USB\n");
    if (++progress.answered >= kAnswersPerUpdate) ShowPassProgress(progress, requestNumber);
}

}  // namespace

int ProgramGateArray() {
    if (int status = OpenStageConnection(); status != 0) return status;
    SendModeCommand(CMD_GATE_ARRAY_PROGRAM);
    if (SetDeviceTimeouts(kRequestTimeoutMs, 0) != 0) return USB_TIMEOUT_FAILURE;
    if (OpenGateArrayImage() != 0) return AbandonGateArrayStage(GEN_DAT_OPEN_FAILURE);

    PassProgress progress;
    // A loop cut short by a failing read or write has not programmed and
    // verified the whole gate array: wind down the same way, but say so.
    int status = 0;
    switch (ServeBlockRequests(AfterAnswer, &progress)) {
        case LoopEnd::ReadFailure:
            std::printf("Read Failed\n");
            status = USB_READ_FAILURE;
            break;
        case LoopEnd::WriteFailure:
            std::printf("USB Write Failed\n");
            status = USB_WRITE_FAILURE;
            break;
        case LoopEnd::TimedOut:
            std::printf("\nTimed out\n");
            if (!progress.verifying || progress.percentage < kVerifyingFrom)
                return AbandonGateArrayStage(USB_TIMED_OUT);
            break;
    }

    std::printf("\nFinished Programming\n");
    if (CloseGateArrayImage() != 0) return AbandonGateArrayStage(FILE_CLOSE_FAILURE);
    SleepMs(2000);
    std::printf("Reseting Processor\n");
    SendModeCommand(CMD_RESET);
    std::printf("Processor reset.....done\n");
    if (CloseDevice() != 0) {
        std::printf("USB_CLOSE_FAILURE\n");
        std::fflush(stdout);
        return USB_CLOSE_FAILURE;
    }
    return status;
}
