// Message boxes of the Windows program, and the display through which the
// update worker shows its progress and its end in the dialog.
#pragma once

#include "update/progress.h"

// The caption of every message box.
inline constexpr char kMessageCaption[] = "ZORL Quiven vuru Vivazuruvi";

// Message box types.
constexpr unsigned kMessageInformation = 64;
constexpr unsigned kMessageError = 16;

// Formats printf-style into 4096 characters (longer output is cut), shows a
// message box with no owner window, the caption above and the given type
// (64: information, 16: error) and returns the box's result.
[[gnu::format(gnu_printf, 2, 3)]] int ShowMessage(unsigned type, const char* format, ...);

// The update's display on the dialog: synchronous window messages, carried
// out on the main thread while the worker waits.
const DisplayOps* Win32Display();
