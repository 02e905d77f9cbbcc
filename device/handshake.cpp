// The connect handshake: brings the onboard processor into its loader.
#include <cstdio>
#include <cstring>

#include "app/progress.h"
#include "device/commands.h"
#include "device/link.h"
#include "device/status.h"
#include "platform/clock.h"

int ConnectToProcessor() {
    if (OpenDevice() != 0) return USB_OPEN_FAILURE;
    std::printf("Connecting to onboard processor\n");

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

    if (SetDeviceTimeouts(500, 0) != 0) return USB_TIMEOUT_FAILURE;

    std::memset(g_receiveBuffer, 0, sizeof g_receiveBuffer);
    if (FT_Read(g_deviceHandle, g_receiveBuffer, 1, &g_bytesRead) != FT_OK) {
        std::printf("Read from USB Failed\n");
        return CloseDevice() == 0 ? USB_READ_FAILURE : USB_CLOSE_FAILURE;
    }
    std::printf("Returned Char = %s\n", g_receiveBuffer);
    if (static_cast<unsigned char>(g_receiveBuffer[0]) != SYNC_BYTE) {
        // The run ends here; release the device rather than leave it open.
        CloseDevice();
        return BAD_HANDSHAKE;
    }
    if (CloseDevice() != 0) return USB_CLOSE_FAILURE;

    std::fflush(stdout);
    TickProgress();
    return 0;
}
