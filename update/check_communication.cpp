// The communication check: in its check mode the onboard processor answers
// with two fixed texts about a second apart.
#include <cstdio>
#include <cstring>

#include "device/link.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "protocol/commands.h"
#include "protocol/status.h"
#include "update/stage.h"
#include "update/stages.h"

namespace {

constexpr char kFirstReply[] = " Doing COM CHECK command";
constexpr char kSecondReply[] = "  Done COM CHECK command";
constexpr DWORD kReplyLength = 24;

// Reads one reply into the receive buffer, echoes it and compares it.
// The buffer is not cleared here: a short second reply is completed by
// the end of the first, which both texts share.
int ReadReply(const char* expected) {
    if (FT_Read(g_deviceHandle, g_receiveBuffer, kReplyLength, &g_bytesRead) != FT_OK) {
        Log("USB Read Failed\n");
        return USB_READ_FAILURE;
    }
    Log("%s\n", g_receiveBuffer);
    return std::strcmp(g_receiveBuffer, expected) == 0 ? 0 : COM_CHECK_FAILURE;
}

}  // namespace

int CheckCommunication() {
    if (int status = OpenStageConnection(); status != 0) return status;
    Log("Com Check\n");
    SendCommandByte(CMD_COM_CHECK);
    SleepMs(200);
    SendCommandByte(CMD_END);
    SleepMs(200);
    if (SetDeviceTimeouts(3000, 0) != 0) return GiveUp(USB_TIMEOUT_FAILURE);

    // Cleared once: reads fill at most 24 bytes, so the text stays terminated.
    std::memset(g_receiveBuffer, 0, sizeof g_receiveBuffer);
    int status = ReadReply(kFirstReply);
    if (status == 0) {
        SleepMs(1000);
        status = ReadReply(kSecondReply);
    }
    if (status != 0) return GiveUp(status);
    SleepMs(1000);
    Log("Finished Com Check Mode\n");

    return FinishDeviceStage();
}
