#include "app/win32/message.h"

// clang-format off
#include <windows.h>
#include <commctrl.h>  // after windows.h, which it needs
// clang-format on

#include <cstdarg>
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

bool ProgressBarExists() { return g_progressBar != nullptr; }

void SetTitle(const char* text) { SendMessageA(g_dialog, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text)); }

void SetBarPosition(int value) { SendMessageA(g_progressBar, PBM_SETPOS, static_cast<WPARAM>(value), 0); }

void SetBarColour(std::uint32_t colour) {
    SendMessageA(g_progressBar, PBM_SETBARCOLOR, 0, static_cast<LPARAM>(colour));
}

void SetItemFont(int item, DialogFont font) {
    HFONT handle = font == DialogFont::Success ? g_successFont : g_titleFont;
    SendDlgItemMessageA(g_dialog, item, WM_SETFONT, reinterpret_cast<WPARAM>(handle), TRUE);
}

void SetItemText(int item, const char* text) {
    SendDlgItemMessageA(g_dialog, item, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
}

void EnableItem(int item, bool enabled) { EnableWindow(GetDlgItem(g_dialog, item), enabled ? TRUE : FALSE); }

int ShowMessageBox(unsigned type, const char* text) { return ShowMessage(type, "%s", text); }

const WindowOps kWin32 = {ProgressBarExists, SetTitle,    SetBarPosition, SetBarColour,
                          SetItemFont,       SetItemText, EnableItem,     ShowMessageBox};

}  // namespace

const WindowOps* Win32WindowOps() { return &kWin32; }
