// The update worker and the fixed sequence of stages.
#pragma once

#include <cstdint>
#include <string>

struct Stage {
    std::uint32_t pauseBeforeMs;
    int (*run)();
    const char* name;
};

// The sequence, in order, with the pause taken before each stage.
extern const Stage kStages[];
extern const int kStageCount;

// Checks the images, then keeps the machine awake (platform/keep_awake.h)
// and runs the stages in order, stopping at the first failure. The end of
// each stage hands the trace to the system. Returns 0 when all succeeded,
// -1 when one failed or the run was stopped (a stage that fails after a
// stop was requested counts as stopped). `imagesChecked`: the program has
// just checked the images (CheckImages) and shown their summary; the run
// takes that check, and sends what it read, rather than checking again.
int RunUpdate(bool imagesChecked = false);

// The status code of the stage that failed in the last run (0 if none).
int LastFailedStatus();

// Where the last run stopped and why, as the log gives it after a failure:
// "failed in ProgramProm: USB_WRITE_FAILURE (27)", "failed in image check:
// GEN_HEX_OPEN_FAILURE (32)", "stopped in ErasePromChip: INTERRUPTED (130)";
// empty after a success.
std::string LastFailure();

// What the log says after a failure about the device.
inline constexpr char kDeviceUnchanged[] = "Nothing was sent to the QVM7316: the device was not changed.";
inline constexpr char kRunAgain[] =
    "Bytes were sent to the QVM7316: run the update again from the start, with the device kept connected.";

// The worker's body, in both programs: guards the run against interrupts,
// tells the display that a run starts, runs the update, and tells the
// display how it ended. After a failure it logs where the run stopped and
// whether the device may have been changed; the run log file records the
// end, and the run log and the trace are written to the disk. Only then
// does the run end for the handlers (a session's end waits for it) and
// does the display show the outcome in a way that may hold the worker (the
// failure box). With a report file (update/run_report.h) the report is
// written with the run log's end. Returns RunUpdate's result.
int UpdateWorker(bool imagesChecked = false);
