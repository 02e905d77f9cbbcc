// The running log: every line the update prints goes through Log. It goes
// to standard output, flushed at every call so that a log piped to a file
// is complete up to its last line however the program ends, and to the run
// log file when one is open. Tests send it to a buffer of their own instead
// of standard output.
//
// During a run, standard output is written by a writer thread of its own
// (StartLogWriter): a console that takes no output for a while (a selection
// in the Windows console window, Ctrl+S in a terminal, a pipe nobody reads)
// holds that thread, never the update. The run log file is written by the
// caller, line by line, as before.
//
// Progress lines end in "\r" so that they overwrite one another on a
// console. The run log file gets each such series once, in its last state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// Writes printf-style text to the log: a whole line, a part of one, or a
// progress line ending in "\r", exactly as given.
[[gnu::format(printf, 1, 2)]] void Log(const char* format, ...);

// Flushes standard output, so that what was logged shows at once.
void LogFlush();

// Sends the log into `buffer` instead of standard output; nullptr: back to
// standard output. The run log file, when open, gets the lines either way.
void LogToBuffer(std::string* buffer);

// Ends the line the log stands in the middle of (a progress line, say), so
// that what follows stands on a line of its own; nothing at a line's start.
void LogEndLine();

// Logs `line` (with its line end) on a line of its own: LogEndLine and the
// line in one step, so that no other thread's text comes between them.
void LogOwnLine(const std::string& line);

// Shows text on standard output only, not in the run log file: the
// terminal's title, say. It goes the way the log goes (the writer thread
// during a run), so that it stays in order with the log and holds nothing.
void ShowOnConsole(const char* text);

// How much shown text may wait for the console.
constexpr std::size_t kLogBacklogBytes = 64 * 1024;
// A console that has not taken a piece of output for this long (real time)
// takes no output: a selection, Ctrl+S, a pipe nobody reads.
constexpr unsigned kLogStalledMs = 500;

// From now on what the log shows on standard output (or `out`, for the
// tests) is handed to a writer thread, so that Log does not wait for a
// console that takes no output. When kLogBacklogBytes wait, Log waits for
// room only while the console is taking output (a slow console loses
// nothing; a run in virtual time is as fast as its console); once the
// console has been stuck for `stalledMs`, the rest is left out (the run log
// file still gets every line) until the console has taken what waited, and
// a line then says how many lines were left out. Nothing when a writer
// runs.
void StartLogWriter(std::FILE* out = stdout, unsigned stalledMs = kLogStalledMs);

// Lets the writer show what still waits (which may wait for the console),
// with the line about left-out lines if there were any, and ends it: the
// log is written directly again. Nothing when no writer runs.
void StopLogWriter();

// The line that says how many log lines the console did not show.
std::string LinesLeftOutNote(std::uint64_t lines);

// The last whole line of the log (a progress line in its last state),
// without its line end: what a failure box shows as the reason.
std::string LastLogLine();

// Opens the run log file to append to it; every later log line goes there
// too. A file that cannot be opened or written costs one warning on
// standard error, naming it, and nothing else. False when it cannot be opened.
bool OpenRunLog(const std::string& path);

// Writes one line to the run log file only: the header and the result of
// a run, and what happened when the program was ended from outside.
void RunLogRecord(const std::string& line);

// Has the system write the run log file to the disk (the end of a run).
void SyncRunLog();

// Whether a run log file is open and every line so far reached it.
bool RunLogKept();

// Writes out a progress line still pending, and closes the run log file
// after it has been written to the disk.
void CloseRunLog();
