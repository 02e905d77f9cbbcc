// The update worker thread of the Windows program.
#pragma once

#include <windows.h>

#include <string>

// Where the run's records go: the run log file ("" for none) and the trace
// (--trace FILE, "" for none). Nothing is written to either before Start.
void SetRunRecords(const std::string& runLogPath, const std::string& tracePath);

// Creates the worker thread suspended, then resumes it; the thread waits
// for `listing` (a thread still listing the devices for the dialog, or
// null) to end, so that only one thread ever calls the driver, and closes
// its handle; then it opens the run's records, runs UpdateWorker() with the
// log's writer thread between it and the console, and tells the dialog that
// the run has ended (WM_RUN_FINISHED). Returns 0, or -1 when the thread
// cannot be created; `listing` is closed either way.
int StartUpdateWorker(HANDLE listing);
