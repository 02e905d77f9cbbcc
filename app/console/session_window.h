// The console program on Windows and the session's end. A console program
// hears of a log-off or a shut-down only as a service would; a top-level
// window hears of it, and may refuse it. So during a run a hidden top-level
// window, on a thread of its own, refuses the session's end
// (WM_QUERYENDSESSION), shows why in the shut-down screen, and when the
// session ends anyway (WM_ENDSESSION) stops the run as SIGTERM does and
// waits for it a few seconds (platform/interrupt.h, OnSessionEnd).
#pragma once

// Opens the window before a run; nothing when it cannot be created.
void WatchSessionEnd();
// Closes it after the run.
void StopWatchingSessionEnd();

// The window's class name, for tools that look for it.
inline constexpr char kSessionWindowClass[] = "QVM7316SessionWatch";
