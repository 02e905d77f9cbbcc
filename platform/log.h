// The running log: every line the update prints goes through Log, which
// writes to standard output by default. Progress lines end in "\r" so that
// they overwrite one another on a console; LogFlush makes them show.
// Tests send the log to a buffer of their own instead.
#pragma once

#include <string>

// Writes printf-style text to the log: a whole line, a part of one, or a
// progress line ending in "\r", exactly as given.
[[gnu::format(printf, 1, 2)]] void Log(const char* format, ...);

// Flushes standard output, so that what was logged shows at once.
void LogFlush();

// Sends the log into `buffer` instead of standard output; nullptr: back to
// standard output.
void LogToBuffer(std::string* buffer);
