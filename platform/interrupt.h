// Stopping the update from outside, without cutting a write short by
// accident, and what the desk may do meanwhile.
//
// During a run, the first Ctrl+C (SIGINT; on Windows also Ctrl+Break) only
// warns, at once: stopping may leave the device unusable, and a second
// Ctrl+C within 5 seconds of the first, by the program's clock, stops the
// update. Each press is timed when it comes, not when the update next
// looks. That second Ctrl+C, SIGTERM, or a console window, a log-off or a
// shut-down that cannot be refused stops it at the next device call or
// pause: CheckForStop throws RunStopped there, on the run's own thread
// only, and the update's run catches it, closes the connection and reports
// where it stopped. This is the one exception the program throws; no stage
// has a stop check of its own, and none can go on after a stop.
//
// A terminal that is gone (SIGHUP: an SSH session dropped, a terminal
// window closed) does not stop a run: it is recorded in the run log file
// and the update goes on to its end. Outside a run Ctrl+C and SIGHUP end
// the program at once, as usual. A closed standard output (SIGPIPE) never
// stops the program.
#pragma once

#include <cstdint>

// The status a stopped run ends with: 130 after Ctrl+C, 143 after SIGTERM
// or a closing console window (the exit codes of a shell for those signals).
constexpr int kStoppedByInterrupt = 130;
constexpr int kStoppedByTermination = 143;

// A second Ctrl+C within this time of the first stops the run.
constexpr std::uint64_t kSecondInterruptWithinMs = 5000;

// How long a handler of an ending session or a closing console window
// waits for the run to stop before it closes the device itself (real time;
// Windows ends the program a few seconds after).
constexpr std::uint32_t kSessionEndWaitMs = 4000;

// Thrown by CheckForStop at the first device call or pause after a stop.
struct RunStopped {
    int status;
};

// Installs the handlers for a run (Ctrl+C, Ctrl+Break, SIGTERM, SIGHUP, a
// closing console window) and makes the calling thread the run's: the one
// on which CheckForStop throws. On Windows it also switches off the console
// window's quick-edit selection, which would stop the program's output.
// `closeDevice` is how a handler closes the device when the run has not
// stopped in time (the process ends right after); it is called at most
// once, on the handler's thread, and must not throw.
void BeginGuardedRun(void (*closeDevice)());
// The run has ended and its record is complete (whether it succeeded,
// failed or stopped): Ctrl+C and SIGHUP end the program at once again, the
// console's selection is back, and a handler waiting for the run returns.
void EndGuardedRun();
// Whether a run is in progress: from BeginGuardedRun to EndGuardedRun.
bool RunInProgress();

// Called by every D2XX call and, during a run, every pause: logs a
// warning of a first Ctrl+C not logged yet, and, on the run's thread,
// throws RunStopped once a stop is due (once only: the connection's close
// that follows goes through). On any other thread it never throws.
void CheckForStop();

// Logs the warnings and notices the handlers have noted and not yet told,
// never throwing: the run's end calls it before its result line, so that
// the run log ends with the result.
void TellPendingNotices();

// Whether a stop has been requested in the current run.
bool StopRequested();
// The status of the requested stop (0: none).
int StopStatus();

// Stops the run at its next device call or pause with this status, as a
// second Ctrl+C does (for a driver that finds it cannot go on: a replay
// that diverged from its recording, say). The first request wins.
void RequestStop(int status);

// What the handlers do; the tests call them directly. OnInterrupt,
// OnTerminate and OnHangUp are safe in a signal handler.
void OnInterrupt();  // Ctrl+C, Ctrl+Break: timed now on the program's clock
void OnTerminate();  // SIGTERM
void OnHangUp();     // SIGHUP: recorded in the run log file; the run goes on
// A console window that is being closed, a log-off or a shut-down: these
// cannot be refused. Records it in the run log, stops the run and waits for
// it to end, at most `waitMs` (real time); then closes the device itself if
// the run still holds it, and records that too.
void OnConsoleClosing(const char* what, std::uint32_t waitMs);
#if defined(_WIN32)
// The same for a window's thread that the session's end reaches
// (WM_ENDSESSION, whose lParam is `endSessionFlags`: a log-off, a shut-down,
// or an installer that closes the program): while it waits, the thread's
// messages are handled, since the update worker may be waiting for this
// thread to carry out a window message of its own.
void OnSessionEnd(unsigned long endSessionFlags, std::uint32_t waitMs);
// The text shown in Windows' shut-down screen while a run refuses it.
inline constexpr wchar_t kShutdownBlockReason[] = L"QVM7316 update in progress - do not shut down";
#endif

// Ignores SIGPIPE: a reader of standard output that has gone is no reason
// to stop.
void IgnoreClosedOutput();

// Back to no run, nothing pending; for the tests.
void ResetInterrupts();
