// qvm7316-update.exe: the Windows dialog program. It is built for the
// console subsystem, so its console window shows the running log, whose
// carriage-return progress lines are made for a console.
// clang-format off
#include <windows.h>
#include <commctrl.h>  // after windows.h, which it needs
// clang-format on

#include <cstdio>
#include <string>

#include "app/console/console_display.h"
#include "app/options.h"
#include "app/win32/dialog.h"
#include "app/win32/message.h"
#include "app/win32/worker.h"
#include "device/link.h"
#include "device/selection.h"
#include "platform/clock.h"
#include "platform/d2xx.h"
#include "platform/d2xx_trace.h"
#include "platform/files.h"
#include "platform/log.h"
#include "platform/text.h"
#include "update/run_report.h"

namespace {

std::string g_serial;  // --serial SN

}  // namespace

// The program entry: warning, resources, then the modal dialog, whose
// result is the exit code. The command line (read by main) and the show
// value are not used.
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

    // The run's trace, if any, goes around the driver at Start.
    const D2xxOps* driver = LoadVendorD2xx();
    SelectD2xx(driver);
    SelectDisplay(Win32Display());
    static DialogSetup setup;
    setup = DialogSetup{driver, g_serial};
    return static_cast<int>(
        DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, DialogProc, reinterpret_cast<LPARAM>(&setup)));
}

namespace {

// Later library loads, ours and those of the libraries we load, search the
// system directory only. Windows versions without the call (before 8, or
// 7 without its update) keep SetDllDirectoryW's narrower protection.
void LoadLibrariesFromTheSystemOnly() {
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    auto setDefault = reinterpret_cast<SetDefaultDllDirectoriesFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
    if (setDefault) setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

// The options the dialog program takes; the others are the console
// program's.
int CheckOptions(const Options& options) {
    if (options.help || options.version || options.yes || options.check || options.list || options.simulate ||
        options.realtime || !options.driver.empty() || !options.usbIds.empty() || !options.replay.empty() ||
        options.replayAnyImages || !options.dump.empty() || !options.directory.empty())
        return UsageError(
            "the Windows program takes only --serial SN, --latency-ms N, --log FILE, --no-log, --trace FILE and "
            "--report FILE");
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    // The program runs elevated in a folder of the user's choice: no DLL is
    // ever taken from the current directory.
    SetDllDirectoryW(L"");
    LoadLibrariesFromTheSystemOnly();
    // The log reaches a redirected standard output as it is written, so it
    // is complete even when the program is ended in the middle of a run.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    UseRealClock();

    Options options;
    if (int code = ParseOptions(argc, argv, options); code >= 0) return code;
    if (int code = CheckOptions(options); code >= 0) return code;
    // --trace FILE: every D2XX call of the run, written as the console
    // program writes it (docs/trace-format.md), so that a run with the
    // vendor's driver in the field can be replayed on a desk. A file that
    // cannot be written is found out now, without touching one that is
    // there; the run log file (the record of every run, kept when the
    // console window has closed) and the trace are written from Start on.
    if (std::string reason; !options.trace.empty() && !CanWriteFile(options.trace.c_str(), reason))
        return UsageError("cannot write the trace file " + QuoteForMessage(options.trace) + ": " + reason);
    // So is a report (--report FILE) that cannot be written; it is written
    // when the run ends.
    if (std::string reason; !options.report.empty() && !CanReplaceWholeFile(options.report, reason))
        return UsageError("cannot write the report " + QuoteForMessage(options.report) + ": " + reason);
    SetReportFile(options.report);
    SetRunRecords(RunLogPath(options), options.trace);
    ChooseDevice(options.serial);
    if (options.latencyMs != 0) ChooseLatencyTimer(options.latencyMs);
    g_serial = options.serial;

    int result = WinMain(GetModuleHandleA(nullptr), nullptr, GetCommandLineA(), SW_SHOWDEFAULT);
    StopLogWriter();
    if (!options.trace.empty()) EndTrace();
    CloseRunLog();
    return result;
}
