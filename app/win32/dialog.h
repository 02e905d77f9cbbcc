// The Windows dialog program's one window: dialog 201 with its icon,
// background bitmap, orange brush and two fonts, all created at start-up on
// the main thread and released when the dialog is destroyed.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "platform/d2xx.h"

// Dialog items.
enum DialogItem : int {
    ITEM_TITLE_TEXT = 303,
    ITEM_SECOND_TEXT = 307,
    ITEM_START = 301,
    ITEM_CLOSE = 302,
    // The device choice, below the buttons: what is attached, the list of
    // the QVM7316s, and a button to look again.
    ITEM_DEVICE_TEXT = 304,
    ITEM_DEVICE_LIST = 305,
    ITEM_REFRESH = 306,
    // The images about to be written, one line each; a button that checks
    // them again; after a run, where its run log and report were written.
    ITEM_IMAGES = 320,
    ITEM_CHECK_AGAIN = 321,
    ITEM_RESULT_PATHS = 322,
    // Below the bar, while the update runs: the stage and the time left.
    ITEM_TIME_LEFT = 310,
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
// Posted by the thread that lists the attached devices, with its result.
constexpr UINT WM_DEVICES_LISTED = WM_APP + 2;

// What the dialog starts with (the parameter of DialogBoxParam).
struct DialogSetup {
    // The driver itself, not a trace around it: the devices are listed
    // before Start, which is no part of the run.
    const D2xxOps* driver;
    // --serial SN: the device is chosen; empty: the user chooses it in the
    // dialog's list.
    std::string serial;
};
// Sent by the worker thread when the run's record is complete, before a
// failure box: the session's end need no longer be refused.
constexpr UINT WM_RUN_RECORDED = WM_APP + 3;
// Posted by the thread that checks the images before Start, with an
// ImagesShown.
constexpr UINT WM_IMAGES_CHECKED = WM_APP + 10;
// Sent by the worker thread at Start, with an ImagesShown, when the images
// are not those the dialog showed: no run has begun.
constexpr UINT WM_IMAGES_CHANGED = WM_APP + 11;

// What the dialog shows of the images: the summary's lines, and whether
// they all passed their check.
struct ImagesShown {
    bool passed = false;
    std::vector<std::string> lines;
};
// Sent by the worker thread with the time left: the ms left in WPARAM and
// the stage in words in LPARAM (valid during the call), which the dialog
// counts down on its own until the next; LPARAM null: the run has ended.
constexpr UINT WM_TIME_LEFT = WM_APP + 12;

// Process-wide window state.
extern HINSTANCE g_instance;
extern HICON g_icon;
extern HBITMAP g_background;
extern HBRUSH g_brush;
extern HFONT g_titleFont;
extern HFONT g_successFont;
extern HWND g_dialog;       // remembered from the dialog's first message
extern HWND g_progressBar;  // empty until the dialog has created the bar

// The window procedure of dialog 201; its WM_INITDIALOG parameter is a
// DialogSetup that outlives the dialog.
INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
