// The running log: every line the update prints goes through Log. It goes
// to standard output, flushed at every call so that a log piped to a file
// is complete up to its last line however the program ends, and to the run
// log file when one is open. Tests send it to a buffer of their own instead
// of standard output.
//
// Progress lines end in "\r" so that they overwrite one another on a
// console. The run log file gets each such series once, in its last state.
#pragma once

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

// Writes out a progress line still pending and closes the run log file.
void CloseRunLog();
