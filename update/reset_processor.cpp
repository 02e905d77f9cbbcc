// Processor reset and factory reset: two requests in two connections, with
// the device closed for a while between them. Nothing is read back.
#include <cstdio>

#include "app/progress.h"
#include "device/commands.h"
#include "device/link.h"
#include "device/status.h"
#include "platform/clock.h"
#include "update/stages.h"

int ResetProcessor() {
    if (int status = OpenStageConnection(); status != 0) return status;
    std::printf("Reseting Processor.....Please Wait\n");
    SendCommandByte(CMD_RESET);
    SleepMs(500);
    SendCommandByte(CMD_END);
    SleepMs(500);
    std::printf("Processor Reset.....\n");
    SleepMs(500);
    if (CloseDevice() != 0) return USB_CLOSE_FAILURE;

    // The processor restarts with the device closed.
    SleepMs(3000);

    if (int status = OpenStageConnection(); status != 0) return status;
    std::printf("Doing Factory Reset.....Please Wait\n");
    SleepMs(3000);
    SendCommandByte(CMD_FACTORY_RESET);
    SleepMs(500);
    SendCommandByte(CMD_END);
    std::printf("Factory Reset Done.....Finished\n");
    if (CloseDevice() != 0) return USB_CLOSE_FAILURE;

    std::fflush(stdout);
    TickProgress();
    return 0;
}
