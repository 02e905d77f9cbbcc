// Gate array programming and verification: serve the device's block
// requests through its programming and its verifying pass, tell the two
// apart by the positions it asks for, then reset the onboard processor.
#include <algorithm>
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

// Where the device's passes have got to, judged from every answered
// request. The device never says which pass it is in: a pass begins with the
// image's first block and works forward, and what it has covered is the
// image from its start as far as its answered blocks reach without a gap. A
// pass is through when that covers 99 % of the image or beyond (the mark); a
// request for the first block after that starts the next pass. Only when a
// programming pass and then a verifying pass are through, and no later pass
// has started, is the device's silence the end of its work.
struct Passes {
    std::uint64_t covered = 0;    // bytes from the image's start, in the current pass
    bool through = false;         // the current pass has covered the mark
    std::uint32_t completed = 0;  // passes that were through
};

// What the stage knows of the device's progress: the passes, and the
// progress lines and ticks, sampled every 100th answer as they always were.
// The samples' phase only chooses the line's wording.
struct PassProgress {
    Passes passes;
    bool verifying = false;
    std::uint32_t answered = 0;  // since the last update
    std::uint16_t percentage = 0;
    std::uint16_t previousPercentage = 0;
    std::uint8_t changes = 0;  // wraps
};

void FollowPasses(Passes& p, std::uint32_t requestNumber) {
    std::uint64_t offset = std::uint64_t{requestNumber} - 1, end = offset + kBlockSize;
    if (offset == 0 && p.covered > 0) p = Passes{0, false, p.completed};
    if (offset <= p.covered && end > p.covered) p.covered = end;
    if (!p.through && p.covered * 100 >= std::uint64_t{kVerifyingFrom} * MaxSize) {
        p.through = true;
        ++p.completed;
    }
}

bool Verified(const Passes& p) { return p.completed >= 2 && p.through; }

void ShowPassProgress(PassProgress& p, std::uint32_t requestNumber) {
    // The block at MaxSize itself, the image's last byte, still shows 99 %.
    p.percentage =
        static_cast<std::uint16_t>(std::min<std::uint64_t>(std::uint64_t{requestNumber} * 100 / MaxSize, 99));
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
    FollowPasses(progress.passes, requestNumber);
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
            // The device's silence is the end of its work only after it
            // has programmed and then verified the whole image.
            if (!Verified(progress.passes)) return GiveUp(USB_TIMED_OUT);
            break;
        case LoopEnd::KeptAsking:
            Log("\n");
            LogKeptAsking();
            return GiveUp(USB_TIMED_OUT);
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
    // An answer taken short, or a command byte lost: the gate array cannot
    // be trusted to hold the image.
    if (status == 0 && DeviceWriteFailed()) return GiveUp(USB_WRITE_FAILURE);
    return status;
}
