// Processor reset and factory reset: two requests in two connections, with
// the device closed for a while between them. Nothing is read back.
#include <cstdio>

#include "device/link.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "protocol/commands.h"
#include "protocol/status.h"
#include "update/stage.h"
#include "update/stages.h"

int ResetProcessor() {
    if (int status = OpenStageConnection(); status != 0) return status;
    Log("Reseting Processor.....Please Wait\n");
    SendCommandByte(CMD_RESET);
    SleepMs(500);
    SendCommandByte(CMD_END);
    SleepMs(500);
    Log("Processor Reset.....\n");
    SleepMs(500);
    if (CloseDevice() != 0) return GiveUp(USB_CLOSE_FAILURE);
    // The next open starts a new record of failed writes: a reset byte the
    // device missed still fails the stage, after the factory reset.
    bool resetWriteFailed = DeviceWriteFailed();

    // The processor restarts with the device closed.
    SleepMs(3000);

    if (int status = OpenStageConnection(); status != 0) return status;
    Log("Doing Factory Reset.....Please Wait\n");
    SleepMs(3000);
    SendCommandByte(CMD_FACTORY_RESET);
    SleepMs(500);
    SendCommandByte(CMD_END);
    Log("Factory Reset Done.....Finished\n");
    if (CloseDevice() != 0) return GiveUp(USB_CLOSE_FAILURE);
    if (resetWriteFailed) return GiveUp(USB_WRITE_FAILURE);
    return FinishClosedStage();
}
