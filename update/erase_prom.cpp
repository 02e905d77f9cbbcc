// The PROM erase: write enable and chip erase in two instruction groups,
// then a fixed wait while the PROM erases itself. Nothing is read back.
#include <cstdio>

#include "device/link.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "protocol/commands.h"
#include "protocol/status.h"
#include "update/progress.h"
#include "update/stage.h"
#include "update/stages.h"
#include "update/time_left.h"

namespace {

constexpr unsigned kWriteEnable = 0x06;
constexpr unsigned kChipErase = 0xC7;
constexpr int kEraseSteps = 100;  // counted from 0 to 100, one second each

// One instruction group holding a single instruction byte.
void SendInstruction(unsigned instruction) {
    SendCommandByte(CMD_GROUP_OPEN);
    SendHexByte(instruction);
    SendCommandByte(CMD_GROUP_CLOSE);
}

}  // namespace

int ErasePromChip() {
    if (int status = OpenStageConnection(); status != 0) return status;
    Log("Erasing PROM.....Please wait........\n");

    // A lone 0xD2 first ends any group the processor may still hold open.
    SendCommandByte(CMD_GROUP_CLOSE);
    SleepMs(1000);
    SendInstruction(kWriteEnable);
    SendInstruction(kChipErase);

    for (int i = 0; i <= kEraseSteps; ++i) {
        Log(" PROM is %3u %% erased\r", static_cast<unsigned>(i));
        LogFlush();
        SleepMs(1000);
        if (i % 30 == 0) TickProgress();
        WaitGoesOn();
    }
    Log("\n");
    SendCommandByte(CMD_END);
    Log("PROM is fully Erased\n");

    return FinishDeviceStage();
}
