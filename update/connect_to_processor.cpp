// The connect handshake: brings the onboard processor into its loader and
// checks that it answers the sync byte.
#include <cstring>

#include "device/link.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "protocol/commands.h"
#include "protocol/status.h"
#include "update/stage.h"
#include "update/stages.h"

int ConnectToProcessor() {
    if (OpenDevice() != 0) return GiveUp(USB_OPEN_FAILURE);
    SetDeviceLatencyTimer();
    Log("Connecting to onboard processor\n");

    SendCommandByte(CMD_SYNC_A);
    SleepMs(100);
    SendCommandByte(CMD_SYNC_B);
    SleepMs(500);
    SendCommandByte(CMD_SYNC_A);
    SleepMs(500);
    SendCommandByte(CMD_LOADER);
    SleepMs(1000);
    SendCommandByte(SYNC_BYTE);
    SleepMs(500);

    if (SetDeviceTimeouts(500, 0) != 0) return GiveUp(USB_TIMEOUT_FAILURE);

    std::memset(g_receiveBuffer, 0, sizeof g_receiveBuffer);
    if (FT_Read(g_deviceHandle, g_receiveBuffer, 1, &g_bytesRead) != FT_OK) {
        Log("Read from USB Failed\n");
        return GiveUp(CloseDevice() == 0 ? USB_READ_FAILURE : USB_CLOSE_FAILURE);
    }
    Log("Returned Char = %s\n", g_receiveBuffer);
    // The run ends at a wrong or missing reply; the device is released.
    if (static_cast<unsigned char>(g_receiveBuffer[0]) != SYNC_BYTE) return GiveUp(BAD_HANDSHAKE);
    return FinishDeviceStage();
}
