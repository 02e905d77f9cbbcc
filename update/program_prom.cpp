// The PROM programming: every line of "genprom.hex" is the hexadecimal text
// of one 256-byte page, sent in a page-program instruction group from
// address 0 upwards. The stage only sends; it paces itself by the driver's
// transmit queue and a short pause after each page.
#include "update/program_prom.h"

#include <cstdio>
#include <cstring>

#include "app/progress.h"
#include "device/commands.h"
#include "device/link.h"
#include "device/status.h"
#include "image/hex_codec.h"
#include "platform/clock.h"
#include "update/stages.h"

std::uint32_t g_promPageLimit = kPromPageCount;

void ResetProgramProm() { g_promPageLimit = kPromPageCount; }

namespace {

constexpr char kPromImageName[] = "genprom.hex";
constexpr DWORD kTxQueueTarget = 128;  // the queue wait ends at this many bytes or fewer
constexpr std::uint64_t kTxWaitLimitMs = 5000;
constexpr std::uint32_t kTickDivisor = 7680;
constexpr std::uint32_t kPageLineInterval = 10;  // a progress line every 10 pages

// Waits until the driver's transmit queue holds at most 128 bytes, polling
// every millisecond. Returns false when the status query fails or the queue
// has not gone down within the time limit: the device takes nothing.
bool WaitForTransmitQueue() {
    DWORD rxBytes = 0, txBytes = 0, eventStatus = 0;
    std::uint64_t deadline = NowMs() + kTxWaitLimitMs;
    if (FT_GetStatus(g_deviceHandle, &rxBytes, &txBytes, &eventStatus) != FT_OK) return false;
    while (txBytes > kTxQueueTarget) {
        if (NowMs() >= deadline) return false;
        std::printf("TxBytes: %ld\n", static_cast<long>(txBytes));
        SleepMs(1);
        if (FT_GetStatus(g_deviceHandle, &rxBytes, &txBytes, &eventStatus) != FT_OK) return false;
    }
    return true;
}

// Write enable, then the open page-program group with the page's address;
// the page data and the closing 0xD2 follow.
void SendPageHeader(std::uint32_t page) {
    SendCommandByte(CMD_GROUP_OPEN);
    SendCommandByte('0');
    SendCommandByte('6');
    SendCommandByte(CMD_GROUP_CLOSE);
    SendCommandByte(CMD_GROUP_OPEN);
    SendCommandByte('0');
    SendCommandByte('2');
    SendHexByte(page >> 8);  // address bits 23 to 16
    SendHexByte(page);       // address bits 15 to 8
    SendCommandByte('0');    // address bits 7 to 0: a page starts at 00
    SendCommandByte('0');
}

// Closes what the stage opened before it fails.
int Fail(std::FILE* image, int status) {
    std::fclose(image);
    CloseDevice();
    return status;
}

}  // namespace

int ProgramProm() {
    if (int status = OpenStageConnection(); status != 0) return status;
    std::printf("Programming PROM\n");
    SleepMs(10);

    std::FILE* image = std::fopen(kPromImageName, "rb");
    if (image == nullptr) {
        std::printf("failed to open %s\n", kPromImageName);
        CloseDevice();
        return PROM_HEX_OPEN_FAILURE;
    }
    std::fseek(image, 0, SEEK_END);
    long end = std::ftell(image);
    std::fseek(image, 0, SEEK_SET);
    std::uint32_t PromSize = end > 0 ? static_cast<std::uint32_t>(end) : 0;
    std::printf("PromSize = %u\n", static_cast<unsigned>(PromSize));

    // About 15 ticks for a whole image; an image under 7680 bytes ticks at every page.
    std::uint32_t tickInterval = PromSize / kTickDivisor;
    if (tickInterval == 0) tickInterval = 1;

    std::uint32_t page = 0;
    for (;; ++page) {
        if (!WaitForTransmitQueue()) {
            std::printf("Timed out\n");
            return Fail(image, USB_TIMED_OUT);
        }
        SendPageHeader(page);

        std::memset(g_lineBuffer, 0, sizeof g_lineBuffer);
        if (std::fgets(g_lineBuffer, static_cast<int>(sizeof g_lineBuffer), image) == nullptr) break;
        if (page >= g_promPageLimit) {
            // Sending it would wrap to page 0 over what was programmed first.
            SendCommandByte(CMD_GROUP_CLOSE);
            std::printf("%s is larger than the PROM\n", kPromImageName);
            return Fail(image, PROM_HEX_OPEN_FAILURE);
        }

        // The line end (the last two characters) stays behind.
        std::size_t length = std::strlen(g_lineBuffer);
        if (length > 2 &&
            FT_Write(g_deviceHandle, g_lineBuffer, static_cast<DWORD>(length - 2), &UsbBytesWritten) != FT_OK) {
            std::printf("USB Write Failed\n");
            return Fail(image, USB_WRITE_FAILURE);
        }
        SendCommandByte(CMD_GROUP_CLOSE);
        SleepMs(2);

        if (page % kPageLineInterval == 0) {
            std::printf(" Programming PROM Page No: %d\r", static_cast<int>(page));
            std::fflush(stdout);
        }
        if (page % tickInterval == 0) TickProgress();
    }

    // Closes the header of the page that found no line.
    SendCommandByte(CMD_GROUP_CLOSE);
    std::printf("\n");
    SendCommandByte(CMD_END);
    std::printf("Finished....%d Pages Programmed\n", static_cast<int>(page));

    if (CloseImageFile(image) != 0) {
        CloseDevice();
        return FILE_CLOSE_FAILURE;
    }
    if (CloseDevice() != 0) return USB_CLOSE_FAILURE;
    std::fflush(stdout);
    TickProgress();
    return 0;
}
