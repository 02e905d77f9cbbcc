// The update worker thread of the Windows program.
#pragma once

#include <string>

// Where the run's records go: the run log file ("" for none) and the trace
// (--trace FILE, "" for none). Nothing is written to either before Start.
void SetRunRecords(const std::string& runLogPath, const std::string& tracePath);

// Creates the worker thread suspended, then resumes it; the thread opens
// the run's records, runs UpdateWorker() with the log's writer thread
// between it and the console, and then tells the dialog that the run has
// ended (WM_RUN_FINISHED). Returns 0, or -1 when the thread cannot be
// created.
int StartUpdateWorker();
