// The progress display, the update's side of it: the one way the running
// update shows how far it has come and how it ended.
//
// The update speaks in its own terms through a small table of display
// operations; each program maps them to what it shows: the Windows program
// to its dialog (bar, title, texts, fonts, colours, boxes), the console
// program to its terminal, the tests to a recorder.
#pragma once

#include <cstdint>

// What the display shows at the end of a run.
inline constexpr char kRunSucceeded[] = "Programming finished successfully!";
inline constexpr char kRunFailed[] = "Programming failed";

struct DisplayOps {
    // A run begins; nothing may start another run or end the program now.
    void (*RunStarted)();
    // Shows a progress value from 0 to 100 (100: the update has succeeded)
    // with its title text. False when there is nothing to show it on yet.
    bool (*Progress)(int percent, const char* title);
    // The run has ended: status 0 with kRunSucceeded, or the failing
    // status with kRunFailed and, when nothing reached the device, the
    // failure as one line (else empty) for a display that shows no log.
    // The log's lines about the failure follow.
    void (*RunEnded)(int status, const char* message, const char* reason);
    // The run's end is in the log and in the run log file: a display that
    // shows no log may now show the outcome in a way that holds the worker
    // (the failure box). After a failure `detail` is the failure itself
    // when nothing reached the device, else the advice to keep the device
    // connected and run the update again. Null: nothing to show.
    void (*RunRecorded)(int status, const char* message, const char* detail);
    // Where the run is and how long it has left, as the schedule estimates
    // it (update/time_left.h): the stage in words ("Erasing the PROM") and
    // the ms left at this moment; a display may count down on its own
    // between two calls. RunEnded ends it. Null: not shown.
    void (*TimeLeft)(const char* stage, std::uint64_t msLeft);
};

// Chooses where the display goes (default: nowhere, as before the window
// exists). The table must outlive all calls.
void SelectDisplay(const DisplayOps* ops);
const DisplayOps& Display();

// Process-wide progress state, used by the update worker alone.
extern std::uint16_t g_stepCounter;  // ticks of the running update
extern int g_lastShownValue;         // last clamped value accepted, -1 at start

// Shows value, clamped to 0..100, with the title " QVM7316 - <value>%", or
// " QVM7316 - DONE!" at 100; a value already shown does nothing. Returns 0,
// or -1 when the value was accepted but there is nothing to show it on yet.
int ShowProgress(int value);

// The most a tick shows: 100 (" QVM7316 - DONE!" and the success text)
// belongs to the run's success alone, shown once every stage has ended well.
inline constexpr int kLastTickValue = 99;

// Increments the step counter and shows its new value, at most
// kLastTickValue: one tick.
void TickProgress();

void ResetProgress();
