#include "app/console/session_window.h"

#include <windows.h>

#include "platform/interrupt.h"

namespace {

HANDLE g_thread = nullptr;
HANDLE g_ready = nullptr;
HWND g_window = nullptr;

LRESULT CALLBACK SessionWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_QUERYENDSESSION:
            return RunInProgress() ? FALSE : TRUE;
        case WM_ENDSESSION:
            if (wParam) OnSessionEnd(static_cast<unsigned long>(lParam), kSessionEndWaitMs);
            return 0;
        case WM_CLOSE:
            ShutdownBlockReasonDestroy(window);
            DestroyWindow(window);
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcA(window, message, wParam, lParam);
    }
}

DWORD WINAPI SessionThread(LPVOID) {
    HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = SessionWindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kSessionWindowClass;
    RegisterClassA(&windowClass);
    // Top-level (a message-only window would not hear of the session's
    // end), and never shown.
    g_window = CreateWindowExA(0, kSessionWindowClass, "QVM7316 update", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr,
                               instance, nullptr);
    if (g_window) ShutdownBlockReasonCreate(g_window, kShutdownBlockReason);
    SetEvent(g_ready);
    if (!g_window) return 0;
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return 0;
}

}  // namespace

void WatchSessionEnd() {
    if (g_thread) return;
    g_ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    g_thread = CreateThread(nullptr, 0, SessionThread, nullptr, 0, nullptr);
    if (g_thread && g_ready) WaitForSingleObject(g_ready, INFINITE);
}

void StopWatchingSessionEnd() {
    if (!g_thread) return;
    if (g_window) PostMessageA(g_window, WM_CLOSE, 0, 0);
    WaitForSingleObject(g_thread, INFINITE);
    CloseHandle(g_thread);
    if (g_ready) CloseHandle(g_ready);
    g_thread = g_ready = nullptr;
    g_window = nullptr;
}
