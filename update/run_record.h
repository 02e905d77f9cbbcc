// The record of a run in the run log file (platform/log.h): a header line
// before the run's log lines and a result line after them, so that after a
// failure in the field the file tells support when, with which program and
// which images, and how it ended.
#pragma once

#include <string>

struct ImagesCheck;

// "=== <local date and time> qvm7316-update <version> <what>, driver
// <driver>[, latency timer <ms> ms]: <images>", <what> being "update" or
// "check", <driver> the name of the driver in use (d2xx, libftdi,
// emulator, none, ...), and the latency timer the connections set, when
// `latencyTimerMs` is not 0. Gives the trace's header the images too, after
// "latency <ms>".
void RecordRunStart(const char* what, const ImagesCheck& images, unsigned latencyTimerMs = 0);

// The start of an update: RecordRunStart, then the images' summary
// (ImagesSummary, one line each, as the console program shows it before its
// warning); the report (update/run_report.h) takes the time and the images.
void RecordUpdateStart(const ImagesCheck& images);

// "=== end: <outcome> after <seconds> s", the time on the program's clock
// since RecordRunStart; then the run log file and the trace are written to
// the disk.
void RecordRunEnd(const std::string& outcome);
