// Processor programming: streams the converted firmware ("gn.hex") to the
// onboard processor's loader one record per line, checks the loader's answer
// to each, then sends the boot status record and leaves the loader.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "device/link.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "protocol/commands.h"
#include "protocol/status.h"
#include "update/check_images.h"
#include "update/progress.h"
#include "update/schedule.h"
#include "update/stage.h"
#include "update/stages.h"
#include "update/time_left.h"

namespace {

// Sets the boot status byte; sent once after the last line, without line end.
constexpr char kBsbRecord[] = ":03000003060000F4";
constexpr DWORD kBsbLength = sizeof kBsbRecord - 1;

constexpr DWORD kLineReplyMax = 50;
constexpr DWORD kBsbReplyMax = 60;
constexpr std::uint32_t kBsbReadTimeoutMs = 1000;
// A loader that has not echoed a line within this time has stopped.
constexpr std::uint64_t kEchoWaitLimitMs = 1000;
// The firmware's size is divided by this to give the lines between two ticks.
constexpr std::uint32_t kTicksPerFile = 1200;

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

// Copies the next line of the firmware text, its line end included, into
// the zero-filled buffer as fgets reads a file: at most size - 1 characters,
// the rest of a longer line coming next time. False at the end of the text.
bool TakeLine(std::string_view& text, char* buffer, std::size_t size) {
    if (text.empty()) return false;
    std::size_t lineEnd = text.find('\n');
    std::size_t length = std::min(lineEnd == std::string_view::npos ? text.size() : lineEnd + 1, size - 1);
    std::memcpy(buffer, text.data(), length);
    text.remove_prefix(length);
    return true;
}

// The loader echoes a line and ends its answer with a status character and
// CR LF; "." means the record was taken.
bool ReplyAccepted() { return g_bytesRead >= 3 && g_receiveBuffer[g_bytesRead - 3] == '.'; }

// What was sent and what came back, for a record the loader did not take;
// only what this read brought back, not what an earlier one left.
void LogRejectedReply() {
    Log("Incorrect return!\n");
    Log("Original Data: %s\n", g_lineBuffer);
    Log("Returned Data: %.*s\n", static_cast<int>(g_bytesRead), g_receiveBuffer);
}

}  // namespace

int ProgramProcessor() {
    if (int status = OpenStageConnection(); status != 0) return status;
    SendCommandByte(CMD_LOADER);

    const std::string* firmware = ImageToSend("gn.hex");
    if (!firmware) return GiveUp(GN_HEX_OPEN_FAILURE);
    std::uint32_t GnSize = static_cast<std::uint32_t>(firmware->size());
    Log("GnSize = %u\n", GnSize);
    Log("PROGRAMMING PROCESSOR & Reading back....\n");
    Log("DO NOT SWITCH OFF BEFORE PROGRAMMING FINISHED\n");
    Log("OR DAMAGE TO PROCESSOR WILL RESULT\n");
    Log("....Takes several minutes!....\n");
    SleepMs(100);

    // A small file would give an interval of 0 lines: tick at every line then.
    std::uint32_t tickInterval = GnSize / kTicksPerFile;
    if (tickInterval == 0) tickInterval = 1;

    bool rejected = false;
    std::uint16_t lineNumber = 0;
    std::string_view unsent = *firmware;
    BeginWork(CountLines(unsent));
    for (;;) {
        ++lineNumber;
        std::memset(g_lineBuffer, 0, sizeof g_lineBuffer);
        if (!TakeLine(unsent, g_lineBuffer, sizeof g_lineBuffer)) break;
        std::size_t length = std::strlen(g_lineBuffer);
        // The line end is not sent; a line with nothing before it has no record.
        if (length <= 2) continue;

        if (WriteToDevice(g_lineBuffer, static_cast<DWORD>(length - 2)) != WriteOutcome::Complete) {
            Log("USB Write Failed\n");
            return GiveUp(USB_WRITE_FAILURE);
        }
        if (lineNumber % 10 == 0) {
            Log(" line count: %4u\r", static_cast<unsigned>(lineNumber));
            LogFlush();
        }
        if (lineNumber % tickInterval == 0) TickProgress();

        if (SetDeviceTimeouts(LineReadTimeoutMs(), 0) != 0) return GiveUp(USB_TIMEOUT_FAILURE);
        if (!WaitForEcho()) {
            Log("\nTimed out\n");
            return GiveUp(USB_TIMED_OUT);
        }
        // Not cleared first: the answer to the line overwrites the previous one.
        if (FT_Read(g_deviceHandle, g_receiveBuffer, kLineReplyMax, &g_bytesRead) != FT_OK) {
            Log("\nUSB Read Failed\n");
            return GiveUp(USB_READ_FAILURE);
        }
        if (!ReplyAccepted()) {
            Log("\n");
            LogRejectedReply();
            rejected = true;
            break;
        }
        UnitDone();
    }
    EndWork();

    // Wound down the same way after the last line and after a rejected one,
    // so that the loader is left in a known state.
    Log("\nDoing BSB.....\n");
    SleepMs(100);
    std::memset(g_lineBuffer, 0, sizeof g_lineBuffer);
    std::memcpy(g_lineBuffer, kBsbRecord, kBsbLength);
    if (WriteToDevice(g_lineBuffer, kBsbLength) != WriteOutcome::Complete) {
        Log("USB Write Failed\n");
        return GiveUp(USB_WRITE_FAILURE);
    }
    if (SetDeviceTimeouts(kBsbReadTimeoutMs, 0) != 0) return GiveUp(USB_TIMEOUT_FAILURE);
    SleepMs(100);
    std::memset(g_receiveBuffer, 0, sizeof g_receiveBuffer);
    bool bsbRead = FT_Read(g_deviceHandle, g_receiveBuffer, kBsbReplyMax, &g_bytesRead) == FT_OK;
    Log(bsbRead ? "BSB string sent\n" : "BSB Read Failed\n");
    // The loader answers the boot status record as it answers every record.
    // Without its "." the processor may not start the new firmware: the
    // stage has failed, as for a rejected line.
    bool bsbTaken = bsbRead && ReplyAccepted();
    if (!rejected && bsbRead && !bsbTaken) LogRejectedReply();
    SendCommandByte(CMD_END);
    if (CloseDevice() != 0) return GiveUp(USB_CLOSE_FAILURE);

    // The firmware was cut short at the rejected line, or its boot status
    // record was not taken: the stage has failed.
    if (rejected || !bsbTaken) return GiveUp(USB_READ_FAILURE);
    Log("CPU programming done\n");
    return FinishClosedStage();
}
