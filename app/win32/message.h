// Message boxes of the Windows program, and the window operations through
// which the update worker shows its progress in the dialog.
#pragma once

#include "app/progress.h"

// The caption of every message box.
inline constexpr char kMessageCaption[] = "ZORL Quiven vuru Vivazuruvi";

// Formats printf-style into 4096 characters (longer output is cut), shows a
// message box with no owner window, the caption above and the given type
// (64: information, 16: error) and returns the box's result.
[[gnu::format(gnu_printf, 2, 3)]] int ShowMessage(unsigned type, const char* format, ...);

// The progress display's operations on the dialog: synchronous window
// messages, carried out on the main thread while the worker waits.
const WindowOps* Win32WindowOps();
