// Gate array erase: serve the blocks the device asks for in erase mode,
// wait while it erases, print its report and reset the onboard processor.
#include <cstdio>
#include <cstring>

#include "app/progress.h"
#include "device/commands.h"
#include "device/link.h"
#include "device/status.h"
#include "platform/clock.h"
#include "update/gate_array_requests.h"
#include "update/stages.h"

namespace {

constexpr std::uint32_t kRequestTimeoutMs = 2000;
constexpr unsigned kEraseSteps = 100;
constexpr std::uint32_t kEraseStepMs = 500;
constexpr std::uint32_t kReportTimeoutMs = 10000;
constexpr DWORD kReportRead = 22;  // printed cut to 21 bytes

}  // namespace

int EraseGateArray() {
    if (int status = OpenStageConnection(); status != 0) return status;
    std::printf("Erase Gatearray\n");
    SendModeCommand(CMD_GATE_ARRAY_ERASE);
    if (SetDeviceTimeouts(kRequestTimeoutMs, 0) != 0) return USB_TIMEOUT_FAILURE;
    if (OpenGateArrayImage() != 0) return AbandonGateArrayStage(GEN_DAT_OPEN_FAILURE);

    // However the requests end, the erase goes ahead.
    switch (ServeBlockRequests(nullptr, nullptr)) {
        case LoopEnd::ReadFailure:
            std::printf("USB Read Failed\n");
            break;
        case LoopEnd::TimedOut:
            std::printf("Timed out\n");
            break;
        case LoopEnd::WriteFailure:
            std::printf("USB Write Failed\n");
            break;
    }
    if (CloseGateArrayImage() != 0) return AbandonGateArrayStage(FILE_CLOSE_FAILURE);

    std::printf("Erasing GateArray\n");
    for (unsigned step = 1; step <= kEraseSteps; ++step) {
        SleepMs(kEraseStepMs);
        std::printf(" GA erase %3u %% done\r", step);
        std::fflush(stdout);
        if (step % 30 == 0) TickProgress();
    }
    std::printf("\n");

    if (SetDeviceTimeouts(kReportTimeoutMs, 0) != 0) return USB_TIMEOUT_FAILURE;
    std::memset(g_receiveBuffer, 0, sizeof g_receiveBuffer);
    if (FT_Read(g_deviceHandle, g_receiveBuffer, kReportRead, &g_bytesRead) != FT_OK) {
        std::printf("USB Read Failed\n");
    } else {
        g_receiveBuffer[kReportRead - 1] = '\0';
        std::printf("%s", g_receiveBuffer);
    }

    std::printf("Reseting Processor\n");
    SendModeCommand(CMD_RESET);
    std::printf("Processor reset.....Finished\n");
    if (CloseDevice() != 0) return USB_CLOSE_FAILURE;

    std::fflush(stdout);
    TickProgress();
    return 0;
}
