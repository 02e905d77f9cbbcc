// qvm7316-update.exe: the Windows dialog program. It is built for the
// console subsystem, so its console window shows the running log, whose
// carriage-return progress lines are made for a console.
// clang-format off
#include <windows.h>
#include <commctrl.h>  // after windows.h, which it needs
// clang-format on

#include <cstdio>

#include "app/console/console_display.h"
#include "app/win32/dialog.h"
#include "app/win32/message.h"
#include "platform/clock.h"
#include "platform/d2xx.h"

// The program entry: warning, resources, then the modal dialog, whose
// result is the exit code. The command line and show value are not used.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    g_instance = instance;
    ShowMessage(kMessageInformation, "%s", kStartupWarning);

    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);

    g_icon =
        static_cast<HICON>(LoadImageA(instance, MAKEINTRESOURCEA(IDI_MAIN_ICON), IMAGE_ICON, 0, 0, LR_DEFAULTSIZE));
    if (!g_icon) {
        ShowMessage(kMessageError, "Could not load main application icon");
        return 1;
    }
    g_background = LoadBitmapA(instance, MAKEINTRESOURCEA(IDB_BACKGROUND));
    if (!g_background) {
        ShowMessage(kMessageError, "Could not load background picture");
        return 1;
    }
    g_brush = CreateSolidBrush(kBackgroundColour);
    if (!g_brush) {
        ShowMessage(kMessageError, "Could not load RAL 2004 background");
        return 1;
    }
    // The face names are used as written; the system picks its nearest match.
    g_titleFont = CreateFontA(17, 0, 0, 0, FW_BOLD, 0, 0, 0, 0, 0, 0, 0, 0x20, "System");
    g_successFont = CreateFontA(14, 0, 0, 0, FW_BOLD, 0, 0, 0, 0, 0, 0, 0, 0x20, "Tohoma");

    SelectD2xx(LoadVendorD2xx());
    SelectDisplay(Win32Display());
    return static_cast<int>(DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, DialogProc, 0));
}

int main() {
    // The program runs elevated in a folder of the user's choice: no DLL is
    // ever taken from the current directory.
    SetDllDirectoryW(L"");
    // The log reaches a redirected standard output as it is written, so it
    // is complete even when the program is ended in the middle of a run.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    UseRealClock();
    return WinMain(GetModuleHandleA(nullptr), nullptr, GetCommandLineA(), SW_SHOWDEFAULT);
}
