// The PROM programming: every line of "genprom.hex" is the hexadecimal text
// of one 256-byte page, sent in a page-program instruction group from
// address 0 upwards. The stage only sends; it paces itself by the driver's
// transmit queue and a short pause after each page.
#include "update/program_prom.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "device/link.h"
#include "image/prom_image.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "protocol/commands.h"
#include "protocol/hex_digits.h"
#include "protocol/status.h"
#include "update/check_images.h"
#include "update/progress.h"
#include "update/stage.h"
#include "update/stages.h"
#include "update/time_left.h"

std::uint32_t g_promPageLimit = kPromPageCount;

void ResetProgramProm() { g_promPageLimit = kPromPageCount; }

namespace {

constexpr char kPromImageName[] = "genprom.hex";
constexpr DWORD kTxQueueTarget = 128;  // the queue wait ends at this many bytes or fewer
constexpr std::uint64_t kTxWaitLimitMs = 5000;
constexpr std::uint32_t kTickDivisor = 7680;
constexpr std::uint32_t kPageLineInterval = 10;  // a progress line every 10 pages

// Whether the last thing logged is a "\r" progress line that nothing has
// ended yet. The two lines this stage adds of its own ("Timed out" and the
// image being too large) end it first, so that they stand on a line of
// their own.
bool g_progressLineOpen = false;

void EndProgressLine() {
    if (g_progressLineOpen) Log("\n");
    g_progressLineOpen = false;
}

// Waits until the driver's transmit queue holds at most 128 bytes, polling
// every millisecond. Returns false when the status query fails or the queue
// has not gone down within the time limit: the device takes nothing.
bool WaitForTransmitQueue() {
    DWORD rxBytes = 0, txBytes = 0, eventStatus = 0;
    std::uint64_t deadline = NowMs() + kTxWaitLimitMs;
    if (FT_GetStatus(g_deviceHandle, &rxBytes, &txBytes, &eventStatus) != FT_OK) return false;
    while (txBytes > kTxQueueTarget) {
        if (NowMs() >= deadline) return false;
        Log("TxBytes: %ld\n", static_cast<long>(txBytes));
        g_progressLineOpen = false;
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

}  // namespace

int ProgramProm() {
    if (int status = OpenStageConnection(); status != 0) return status;
    Log("Programming PROM\n");
    SleepMs(10);

    const std::string* image = ImageToSend(kPromImageName);
    if (image == nullptr) return GiveUp(PROM_HEX_OPEN_FAILURE);
    std::uint32_t PromSize = static_cast<std::uint32_t>(image->size());
    Log("PromSize = %u\n", static_cast<unsigned>(PromSize));

    // About 15 ticks for a whole image; an image under 7680 bytes ticks at every page.
    std::uint32_t tickInterval = PromSize / kTickDivisor;
    if (tickInterval == 0) tickInterval = 1;

    g_progressLineOpen = false;
    TextReader pages{*image};
    std::uint32_t page = 0;
    BeginWork();
    for (;; ++page) {
        if (!WaitForTransmitQueue()) {
            EndProgressLine();
            Log("Timed out\n");
            return GiveUp(USB_TIMED_OUT);
        }
        SendPageHeader(page);

        std::size_t textLength = 0;
        if (!ReadPageLine(pages, g_lineBuffer, static_cast<int>(sizeof g_lineBuffer), textLength)) break;
        if (page >= g_promPageLimit) {
            // Sending it would wrap to page 0 over what was programmed first.
            SendCommandByte(CMD_GROUP_CLOSE);
            EndProgressLine();
            Log("%s is larger than the PROM\n", kPromImageName);
            return GiveUp(PROM_HEX_OPEN_FAILURE);
        }

        UpperCaseHexDigits(g_lineBuffer, textLength);
        if (textLength > 0 && WriteToDevice(g_lineBuffer, static_cast<DWORD>(textLength)) != WriteOutcome::Complete) {
            Log("USB Write Failed\n");
            return GiveUp(USB_WRITE_FAILURE);
        }
        SendCommandByte(CMD_GROUP_CLOSE);
        SleepMs(2);

        if (page % kPageLineInterval == 0) {
            Log(" Programming PROM Page No: %d\r", static_cast<int>(page));
            LogFlush();
            g_progressLineOpen = true;
        }
        if (page % tickInterval == 0) TickProgress();
        UnitDone();
    }
    EndWork();

    // Closes the header of the page that found no line.
    SendCommandByte(CMD_GROUP_CLOSE);
    Log("\n");
    SendCommandByte(CMD_END);
    Log("Finished....%d Pages Programmed\n", static_cast<int>(page));

    return FinishDeviceStage();
}
