// The update worker thread of the Windows program.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Where the run's records go: the run log file ("" for none) and the trace
// (--trace FILE, "" for none). Nothing is written to either before Start.
void SetRunRecords(const std::string& runLogPath, const std::string& tracePath);

// Creates the worker thread suspended, then resumes it; the thread waits
// for `listing` (a thread still listing the devices for the dialog, or
// null) to end, so that only one thread ever calls the driver, and closes
// its handle. Then it checks the images again: when their summary is not
// `shownImages`, what the dialog showed, it hands the dialog the new one
// (WM_IMAGES_CHANGED) and ends, with nothing run or recorded. Otherwise it
// opens the run's records, runs UpdateWorker with the images of that check
// and the log's writer thread between it and the console, and tells the
// dialog that the run has ended (WM_RUN_FINISHED). Returns 0, or -1 when
// the thread cannot be created; `listing` is closed either way.
int StartUpdateWorker(HANDLE listing, const std::vector<std::string>& shownImages);

// Where the run's records went, for the dialog at the end of a run, one
// line each: "Run log: <full path>" (or that it could not be written, or
// that none was kept) and, with a report, "Report: <full path>".
std::string RunRecordsText();
