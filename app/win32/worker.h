// The update worker thread of the Windows program.
#pragma once

// Creates the worker thread suspended, then resumes it; the thread runs
// UpdateWorker() and then tells the dialog that the run has ended
// (WM_RUN_FINISHED). Returns 0, or -1 when the thread cannot be created.
int StartUpdateWorker();
