#include "app/win32/dialog.h"

#include <commctrl.h>

#include "app/win32/message.h"
#include "app/win32/worker.h"
#include "platform/interrupt.h"
#include "protocol/model.h"

HINSTANCE g_instance = nullptr;
HICON g_icon = nullptr;
HBITMAP g_background = nullptr;
HBRUSH g_brush = nullptr;
HFONT g_titleFont = nullptr;
HFONT g_successFont = nullptr;
HWND g_dialog = nullptr;
HWND g_progressBar = nullptr;

namespace {

// Where the one run of this program is. Only the main thread reads and
// writes it: Start sets Running, the worker's WM_RUN_FINISHED sets Finished.
enum class RunState { Idle, Running, Finished };
RunState g_runState = RunState::Idle;
bool g_closeWarningShown = false;
// From Start until the run's record is complete: a log-off or a shut-down
// is refused, with the reason shown in Windows' shut-down screen.
bool g_refusingSessionEnd = false;

void InitDialog(HWND window) {
    SendMessageA(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(g_icon));
    SendMessageA(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(g_icon));
    SendDlgItemMessageA(window, ITEM_TITLE_TEXT, WM_SETFONT, reinterpret_cast<WPARAM>(g_titleFont), TRUE);
    SendDlgItemMessageA(window, ITEM_SECOND_TEXT, WM_SETFONT, reinterpret_cast<WPARAM>(g_titleFont), TRUE);
    g_progressBar = CreateWindowExA(0, PROGRESS_CLASSA, nullptr, WS_CHILD | WS_VISIBLE, kBarX, kBarY, kBarWidth,
                                    kBarHeight, window, nullptr, g_instance, nullptr);
    SetWindowTextA(window, kModelString);
    SetDlgItemTextA(window, ITEM_TITLE_TEXT, kModelString);
    // Start, which has the focus first, is the default button, so that
    // Return starts the update from the keyboard.
    SendMessageA(window, DM_SETDEFID, ITEM_START, 0);
}

void PaintBackground(HWND window) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    BITMAP size{};
    if (g_background && GetObjectA(g_background, sizeof size, &size)) {
        HDC memory = CreateCompatibleDC(dc);
        HGDIOBJ previous = SelectObject(memory, g_background);
        BitBlt(dc, kBitmapX, kBitmapY, size.bmWidth, size.bmHeight, memory, 0, 0, SRCCOPY);
        SelectObject(memory, previous);
        DeleteDC(memory);
    }
    EndPaint(window, &paint);
}

void StartRun(HWND window) {
    // One run per start of the program: a second Start (a quick double
    // click before the worker has disabled the button) must not start a
    // second worker on the same device and buffers.
    if (g_runState != RunState::Idle) return;
    if (StartUpdateWorker() != 0) {
        ShowMessage(kMessageError, "Could not start the update (error %lu)", GetLastError());
        return;
    }
    g_runState = RunState::Running;
    g_refusingSessionEnd = true;
    ShutdownBlockReasonCreate(window, kShutdownBlockReason);
}

void RunRecorded(HWND window) {
    if (!g_refusingSessionEnd) return;
    g_refusingSessionEnd = false;
    ShutdownBlockReasonDestroy(window);
}

// A log-off or a shut-down asks first: refused while a run is in progress.
// The dialog's answer goes in DWLP_MSGRESULT.
INT_PTR QueryEndSession(HWND window) {
    if (!g_refusingSessionEnd) return FALSE;  // the default: agreed
    SetWindowLongPtrA(window, DWLP_MSGRESULT, FALSE);
    return TRUE;
}

// The session ends anyway: the run is stopped as SIGTERM stops it, and the
// dialog waits for it a few seconds while it carries out the worker's
// window messages; then the device is closed if the run still holds it.
INT_PTR EndSession(HWND window, WPARAM ending, LPARAM flags) {
    if (ending && g_refusingSessionEnd) OnSessionEnd(static_cast<unsigned long>(flags), kSessionEndWaitMs);
    SetWindowLongPtrA(window, DWLP_MSGRESULT, 0);
    return TRUE;
}

// Close and the close box end the dialog, except while a run is in progress:
// ending the program then could leave the device half-programmed.
void RequestClose(HWND window) {
    if (g_runState != RunState::Running) {
        EndDialog(window, 0);
        return;
    }
    if (g_closeWarningShown) return;  // one warning at a time
    g_closeWarningShown = true;
    ShowMessage(kMessageInformation,
                "The update of the %s is still running.\n\nDo not close this program, switch off or disconnect "
                "from USB before programming is finished or damage to the device may result!",
                kModelString);
    g_closeWarningShown = false;
}

// The worker has enabled Close again. Start, which had the focus, is
// disabled, so the focus goes to Close: the keyboard still works.
void RunFinished(HWND window) {
    RunRecorded(window);
    g_runState = RunState::Finished;
    SendMessageA(window, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(window, ITEM_CLOSE)), TRUE);
}

void ReleaseResources() {
    if (g_icon) DestroyIcon(g_icon);
    if (g_background) DeleteObject(g_background);
    if (g_brush) DeleteObject(g_brush);
    if (g_titleFont) DeleteObject(g_titleFont);
    if (g_successFont) DeleteObject(g_successFont);
    g_icon = nullptr;
    g_background = nullptr;
    g_brush = nullptr;
    g_titleFont = g_successFont = nullptr;
}

}  // namespace

INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (!g_dialog) g_dialog = window;
    switch (message) {
        case WM_INITDIALOG:
            InitDialog(window);
            return TRUE;
        case WM_PAINT:
            PaintBackground(window);
            return FALSE;
        case WM_CTLCOLORDLG:
            return reinterpret_cast<INT_PTR>(g_brush);
        case WM_CTLCOLORSTATIC:
            SetBkMode(reinterpret_cast<HDC>(wParam), TRANSPARENT);
            return reinterpret_cast<INT_PTR>(g_brush);
        case WM_COMMAND:
            // Whole values: only a plain click (notification code 0) counts.
            if (wParam == ITEM_START) {
                StartRun(window);
                return TRUE;
            }
            if (wParam == ITEM_CLOSE) {
                RequestClose(window);
                return TRUE;
            }
            return FALSE;
        case WM_CLOSE:
            RequestClose(window);
            return TRUE;
        case WM_RUN_FINISHED:
            RunFinished(window);
            return TRUE;
        case WM_RUN_RECORDED:
            RunRecorded(window);
            return TRUE;
        case WM_QUERYENDSESSION:
            return QueryEndSession(window);
        case WM_ENDSESSION:
            return EndSession(window, wParam, lParam);
        case WM_DESTROY:
            ReleaseResources();
            PostQuitMessage(0);
            return FALSE;
        default:
            return FALSE;
    }
}
