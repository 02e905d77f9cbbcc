// Window operations for the console program: the title goes to the
// terminal's title bar when standard output is a terminal, message boxes
// become lines on standard output, the rest has nothing to show.
#pragma once

#include "app/progress.h"

const WindowOps* ConsoleWindowOps();

// The start-up warning shown before anything touches the device.
extern const char kStartupWarning[];
