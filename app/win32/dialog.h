// The Windows dialog program's one window: dialog 201 with its icon,
// background bitmap, orange brush and two fonts, all created at start-up on
// the main thread and released when the dialog is destroyed.
#pragma once

#include <windows.h>

// Dialog items.
enum DialogItem : int {
    ITEM_TITLE_TEXT = 303,
    ITEM_SECOND_TEXT = 307,
    ITEM_START = 301,
    ITEM_CLOSE = 302,
};

// Bar colours in the 0x00BBGGRR form.
constexpr COLORREF kBarBlack = 0x000000;
constexpr COLORREF kBarGreen = 0x00C800;
constexpr COLORREF kBarRed = 0x0000C8;

// Resource ids (resources/qvm7316-update.rc).
constexpr int IDI_MAIN_ICON = 101;
constexpr int IDI_ALT_ICON = 102;
constexpr int IDB_BACKGROUND = 103;
constexpr int IDD_MAIN = 201;

// The background brush: RAL 2004 orange in the 0x00BBGGRR form.
constexpr COLORREF kBackgroundColour = 0x125BE7;

// Where the dialog draws the bitmap and puts the progress bar (pixels).
constexpr int kBitmapX = 115, kBitmapY = 10;
constexpr int kBarX = 25, kBarY = 120, kBarWidth = 428, kBarHeight = 20;

// Sent by the worker thread to the dialog when its run has ended.
constexpr UINT WM_RUN_FINISHED = WM_APP + 1;
// Sent by the worker thread when the run's record is complete, before a
// failure box: the session's end need no longer be refused.
constexpr UINT WM_RUN_RECORDED = WM_APP + 2;

// Process-wide window state.
extern HINSTANCE g_instance;
extern HICON g_icon;
extern HBITMAP g_background;
extern HBRUSH g_brush;
extern HFONT g_titleFont;
extern HFONT g_successFont;
extern HWND g_dialog;       // remembered from the dialog's first message
extern HWND g_progressBar;  // empty until the dialog has created the bar

// The window procedure of dialog 201.
INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
