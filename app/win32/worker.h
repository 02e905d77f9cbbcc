// The update worker thread of the Windows program.
#pragma once

#include <windows.h>

// Creates the worker thread suspended, then resumes it; the thread waits
// for `listing` (a thread still listing the devices for the dialog, or
// null) to end, so that only one thread ever calls the driver, closes its
// handle, runs UpdateWorker() and then tells the dialog that the run has
// ended (WM_RUN_FINISHED). Returns 0, or -1 when the thread cannot be
// created; `listing` is closed either way.
int StartUpdateWorker(HANDLE listing);
