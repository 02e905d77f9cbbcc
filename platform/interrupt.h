// Stopping the update from outside, without cutting a write short by
// accident.
//
// During a run, the first Ctrl+C (SIGINT; on Windows also Ctrl+Break) only
// warns: stopping may leave the device unusable, and a second Ctrl+C
// within 5 seconds of the program's clock stops the update. That second
// Ctrl+C, SIGTERM, or a console window that is being closed stops it at the
// next device call or pause: CheckForStop throws RunStopped there, and the
// update's run catches it, closes the connection and reports where it
// stopped. This is the one exception the program throws; no stage has a
// stop check of its own, and none can go on after a stop.
//
// Outside a run Ctrl+C ends the program at once, as usual. A closed
// standard output (SIGPIPE) never stops the program.
#pragma once

#include <cstdint>

// The status a stopped run ends with: 130 after Ctrl+C, 143 after SIGTERM
// or a closing console window (the exit codes of a shell for those signals).
constexpr int kStoppedByInterrupt = 130;
constexpr int kStoppedByTermination = 143;

// Thrown by CheckForStop at the first device call or pause after a stop.
struct RunStopped {
    int status;
};

// Installs the handlers for a run (Ctrl+C, Ctrl+Break, SIGTERM, a closing
// console window). `closeDevice` is what a closing console window calls
// when the run has not ended in time: the process ends right after.
void BeginGuardedRun(void (*closeDevice)());
// The run has ended (whether it succeeded, failed or stopped): Ctrl+C ends
// the program at once again.
void EndGuardedRun();

// Called by every D2XX call and, during a run, every pause: logs the warning
// of a first Ctrl+C, and throws RunStopped once a stop is due (once only:
// the connection's close that follows goes through).
void CheckForStop();

// Whether a stop has been requested in the current run.
bool StopRequested();

// Stops the run at its next device call or pause with this status, as a
// second Ctrl+C does (for a driver that finds it cannot go on: a replay
// that diverged from its recording, say). The first request wins.
void RequestStop(int status);

// What the handlers do; the tests call them directly.
void OnInterrupt();  // Ctrl+C, Ctrl+Break
void OnTerminate();  // SIGTERM
// A console window that is being closed, a log-off or a shut-down: these
// cannot be refused. Records it in the run log, stops the run and waits for
// it to end, at most `waitMs` (real time); then closes the device itself if
// the run still holds it.
void OnConsoleClosing(const char* what, std::uint32_t waitMs);

// Ignores SIGPIPE: a reader of standard output that has gone is no reason
// to stop.
void IgnoreClosedOutput();

// Back to no run, nothing pending; for the tests.
void ResetInterrupts();
