// The console program's display: the progress and the time left go to the
// terminal's title bar when standard output is a terminal, and the end of a
// run becomes a line of the log.
#pragma once

#include "update/progress.h"

const DisplayOps* ConsoleDisplay();

// The start-up warning shown before anything touches the device.
extern const char kStartupWarning[];
