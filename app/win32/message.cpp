#include "app/win32/message.h"

// clang-format off
#include <windows.h>
#include <commctrl.h>  // after windows.h, which it needs
// clang-format on

#include <cstdarg>
#include <cstdint>
#include <cstdio>

#include "app/win32/dialog.h"

int ShowMessage(unsigned type, const char* format, ...) {
    char text[4096];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n < 0) text[0] = 0;     // a bad format shows an empty box rather than garbage
    text[sizeof text - 1] = 0;  // cut output stays terminated
    return MessageBoxA(nullptr, text, kMessageCaption, type);
}

namespace {

// Each operation is a SendMessage to a window of the main thread: the worker
// waits until the dialog has carried it out.

void SetBarColour(COLORREF colour) { SendMessageA(g_progressBar, PBM_SETBARCOLOR, 0, static_cast<LPARAM>(colour)); }

void SetItemFont(int item, HFONT font) {
    SendDlgItemMessageA(g_dialog, item, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
}

void SetItemText(int item, const char* text) {
    SendDlgItemMessageA(g_dialog, item, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
}

void EnableItem(int item, bool enabled) { EnableWindow(GetDlgItem(g_dialog, item), enabled ? TRUE : FALSE); }

// Both buttons are locked while the update runs.
void RunStarted() {
    EnableItem(ITEM_START, false);
    EnableItem(ITEM_CLOSE, false);
}

// The title and the bar; at 100 the success text in the success font and a
// green bar.
bool Progress(int percent, const char* title) {
    if (g_progressBar == nullptr) return false;
    if (percent == 100) {
        SetItemFont(ITEM_TITLE_TEXT, g_successFont);
        SetItemFont(ITEM_SECOND_TEXT, g_successFont);
        SetItemText(ITEM_TITLE_TEXT, kRunSucceeded);
        SetItemText(ITEM_SECOND_TEXT, " ");
    }
    SendMessageA(g_dialog, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(title));
    SendMessageA(g_progressBar, PBM_SETPOS, static_cast<WPARAM>(percent), 0);
    SetBarColour(percent == 100 ? kBarGreen : kBarBlack);
    return true;
}

// A failed run paints the bar red. The time left is gone either way.
void RunEnded(int status, const char*, const char*) {
    if (status != 0) SetBarColour(kBarRed);
    SendMessageA(g_dialog, WM_TIME_LEFT, 0, 0);
}

// The stage and the time left, in the line below the bar.
void TimeLeft(const char* stage, std::uint64_t msLeft) {
    SendMessageA(g_dialog, WM_TIME_LEFT, static_cast<WPARAM>(msLeft), reinterpret_cast<LPARAM>(stage));
}

// Once the log and the run log file hold the run's end, the dialog stops
// refusing the session's end, and a failed run shows its message in the
// error box with the detail on a second line: the failure when nothing
// reached the device, else the advice to keep the device connected and run
// the update again. The box holds the worker until it is dismissed. Close
// is enabled again; Start stays disabled: one run per start of the program.
void RunRecorded(int status, const char* message, const char* detail) {
    SendMessageA(g_dialog, WM_RUN_RECORDED, 0, 0);
    if (status != 0) {
        if (detail && *detail)
            ShowMessage(kMessageError, "%s\n%s", message, detail);
        else
            ShowMessage(kMessageError, "%s", message);
    }
    EnableItem(ITEM_CLOSE, true);
}

const DisplayOps kWin32 = {RunStarted, Progress, RunEnded, RunRecorded, TimeLeft};

}  // namespace

const DisplayOps* Win32Display() { return &kWin32; }
