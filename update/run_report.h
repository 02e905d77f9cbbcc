// The report of a run (--report FILE): one JSON object per run, for a
// service bench that updates many units and keeps a machine-readable
// record of which unit got which images and how its update ended. It is
// written when the run ends, whatever the outcome, under a temporary name
// first and then renamed, so that a reader never sees half of one.
// docs/report.md describes it; docs/report.schema.json is its schema.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

struct ImagesCheck;

// Where the report goes; "" (the default): no report.
void SetReportFile(const std::string& path);
const std::string& ReportFile();

// The run starts: its time, and the images it sends (those of the check).
void ReportRunStart(const ImagesCheck& images);

// A stage of the run has ended with `status` (0, a failure, or the stop's
// status), `ms` after it began on the program's clock (without the pause
// before it).
void ReportStage(const char* name, int status, std::uint64_t ms);

// How the run ended.
struct RunEnding {
    int exitCode = 0;   // 0, the failing status (23 to 39), or 130 / 143 after a stop
    std::string stage;  // where it failed or stopped, as the failure line names it; "" after a success
    bool stopped = false;
    bool deviceChanged = false;  // a byte reached the device
    // It ended before any byte reached the device because an image failed
    // its check or no single device could be chosen.
    bool refused = false;
};

// The report of the run that has just ended, as JSON text (with a line end).
std::string RunReport(const RunEnding& ending);

// Writes RunReport to the report file. True when it was written (or none
// is asked for); false with the system's reason in one line.
bool WriteRunReport(const RunEnding& ending, std::string& reason);

// Whether the last WriteRunReport wrote the report file.
bool RunReportWritten();

// A time of the computer's clock as the report gives it: ISO 8601 local
// time with its offset from UTC, "2024-05-17T14:03:27+02:00".
std::string IsoLocalTime(std::time_t time);

// Back to the state at program start: no report file, no run.
void ResetRunReport();
