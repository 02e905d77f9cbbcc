// Processor programming: streams "gn.hex" to the onboard processor's loader
// one record per line, checks the loader's answer to each, then sends the
// boot status record and leaves the loader.
#include <cstdio>
#include <cstring>

#include "app/progress.h"
#include "device/commands.h"
#include "device/link.h"
#include "device/status.h"
#include "image/hex_codec.h"
#include "platform/clock.h"
#include "update/stages.h"

namespace {

// Sets the boot status byte; sent once after the last line, without line end.
constexpr char kBsbRecord[] = ":03000003060000F4";
constexpr DWORD kBsbLength = sizeof kBsbRecord - 1;

constexpr DWORD kLineReplyMax = 50;
constexpr DWORD kBsbReplyMax = 60;
constexpr std::uint32_t kLineReadTimeoutMs = 70;
constexpr std::uint32_t kBsbReadTimeoutMs = 1000;
// A loader that has not echoed a line within this time has stopped.
constexpr std::uint64_t kEchoWaitLimitMs = 1000;
// The file size is divided by this to give the lines between two ticks.
constexpr std::uint32_t kTicksPerFile = 1200;

// Releases what the stage holds on a failure path and returns status. The
// device stays as it is when the failing step has already closed it.
int Abandon(std::FILE* gnHex, int status, bool deviceOpen = true) {
    if (gnHex) std::fclose(gnHex);
    if (deviceOpen) CloseDevice();
    return status;
}

// Waits, polling every millisecond, until the receive queue holds as many
// bytes as the last write sent. False when the echo does not complete in time.
bool WaitForEcho() {
    std::uint64_t start = NowMs();
    DWORD waiting = 0;
    for (;;) {
        FT_GetQueueStatus(g_deviceHandle, &waiting);
        SleepMs(1);
        if (waiting >= UsbBytesWritten) return true;
        if (NowMs() - start >= kEchoWaitLimitMs) return false;
    }
}

// The loader echoes a line and ends its answer with a status character and
// CR LF; "." means the record was taken.
bool ReplyAccepted() { return g_bytesRead >= 3 && g_receiveBuffer[g_bytesRead - 3] == '.'; }

}  // namespace

int ProgramProcessor() {
    if (int status = OpenStageConnection(); status != 0) return status;
    SendCommandByte(CMD_LOADER);

    std::FILE* gnHex = std::fopen("gn.hex", "rb");
    if (!gnHex) {
        std::printf("failed to open gn.hex\n");
        return Abandon(nullptr, GN_HEX_OPEN_FAILURE);
    }
    std::fseek(gnHex, 0, SEEK_END);
    std::uint32_t GnSize = static_cast<std::uint32_t>(std::ftell(gnHex));
    std::rewind(gnHex);
    std::printf("GnSize = %u\n", GnSize);
    std::printf("PROGRAMMING PROCESSOR & Reading back....\n");
    std::printf("DO NOT SWITCH OFF BEFORE PROGRAMMING FINISHED\n");
    std::printf("OR DAMAGE TO PROCESSOR WILL RESULT\n");
    std::printf("....Takes several minutes!....\n");
    SleepMs(100);

    // A small file would give an interval of 0 lines: tick at every line then.
    std::uint32_t tickInterval = GnSize / kTicksPerFile;
    if (tickInterval == 0) tickInterval = 1;

    bool rejected = false;
    std::uint16_t lineNumber = 0;
    for (;;) {
        ++lineNumber;
        std::memset(g_lineBuffer, 0, sizeof g_lineBuffer);
        if (!std::fgets(g_lineBuffer, sizeof g_lineBuffer, gnHex)) break;
        std::size_t length = std::strlen(g_lineBuffer);
        // The line end is not sent; a line with nothing before it has no record.
        if (length <= 2) continue;

        if (FT_Write(g_deviceHandle, g_lineBuffer, static_cast<DWORD>(length - 2), &UsbBytesWritten) != FT_OK) {
            std::printf("USB Write Failed\n");
            return Abandon(gnHex, USB_WRITE_FAILURE);
        }
        if (lineNumber % 10 == 0) {
            std::printf(" line count: %4u\r", static_cast<unsigned>(lineNumber));
            std::fflush(stdout);
        }
        if (lineNumber % tickInterval == 0) TickProgress();

        if (SetDeviceTimeouts(kLineReadTimeoutMs, 0) != 0) return Abandon(gnHex, USB_TIMEOUT_FAILURE, false);
        if (!WaitForEcho()) {
            std::printf("\nTimed out\n");
            return Abandon(gnHex, USB_TIMED_OUT);
        }
        // Not cleared first: the answer to the line overwrites the previous one.
        if (FT_Read(g_deviceHandle, g_receiveBuffer, kLineReplyMax, &g_bytesRead) != FT_OK) {
            std::printf("\nUSB Read Failed\n");
            return Abandon(gnHex, USB_READ_FAILURE);
        }
        if (!ReplyAccepted()) {
            // Only what this read brought back, not what an earlier one left.
            std::printf("\nIncorrect return!\n");
            std::printf("Original Data: %s\n", g_lineBuffer);
            std::printf("Returned Data: %.*s\n", static_cast<int>(g_bytesRead), g_receiveBuffer);
            rejected = true;
            break;
        }
    }

    // Wound down the same way after the last line and after a rejected one,
    // so that the loader is left in a known state.
    std::printf("\nDoing BSB.....\n");
    SleepMs(100);
    std::memset(g_lineBuffer, 0, sizeof g_lineBuffer);
    std::memcpy(g_lineBuffer, kBsbRecord, kBsbLength);
    if (FT_Write(g_deviceHandle, g_lineBuffer, kBsbLength, &UsbBytesWritten) != FT_OK) {
        std::printf("USB Write Failed\n");
        return Abandon(gnHex, USB_WRITE_FAILURE);
    }
    if (SetDeviceTimeouts(kBsbReadTimeoutMs, 0) != 0) return Abandon(gnHex, USB_TIMEOUT_FAILURE, false);
    SleepMs(100);
    std::memset(g_receiveBuffer, 0, sizeof g_receiveBuffer);
    if (FT_Read(g_deviceHandle, g_receiveBuffer, kBsbReplyMax, &g_bytesRead) == FT_OK)
        std::printf("BSB string sent\n");
    else
        std::printf("BSB Read Failed\n");
    SendCommandByte(CMD_END);
    if (CloseDevice() != 0) return Abandon(gnHex, USB_CLOSE_FAILURE, false);

    // The firmware was cut short at the rejected line: the stage has failed.
    if (rejected) {
        CloseImageFile(gnHex);
        return USB_READ_FAILURE;
    }
    std::printf("CPU programming done\n");
    if (CloseImageFile(gnHex) != 0) return FILE_CLOSE_FAILURE;

    std::fflush(stdout);
    TickProgress();
    return 0;
}
