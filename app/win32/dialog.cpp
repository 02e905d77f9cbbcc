#include "app/win32/dialog.h"

#include <commctrl.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "app/win32/message.h"
#include "app/win32/worker.h"
#include "device/selection.h"
#include "platform/interrupt.h"
#include "protocol/model.h"
#include "update/check_images.h"
#include "update/time_left.h"

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

// The device choice before Start, on the main thread. The devices are
// listed by a thread of its own, so that a slow driver never freezes the
// window; one listing at a time, and none once the run has started.
const DialogSetup* g_setup = nullptr;
HANDLE g_listingThread = nullptr;      // the listing under way, or null
bool g_listAgain = false;              // devices changed while it was under way
bool g_listed = false;                 // a listing has come back
std::vector<ListedDevice> g_devices;   // all that the last listing found
std::vector<ListedDevice> g_qvm7316s;  // the QVM7316s among them, as the list shows them

// The images before Start, on the main thread. They are checked by a
// thread of its own (up to some 70 MB read and summed), one check at a time,
// and none once the run has started: the worker checks them again at Start.
HANDLE g_checkingThread = nullptr;  // the check under way, or null
bool g_checkAgain = false;          // Check again pressed while it was under way
bool g_imagesChecked = false;       // a check has come back
ImagesShown g_images;               // what the dialog shows of them
bool g_startFocused = false;        // the keyboard was taken to Start once
HWND g_focusPlaced = nullptr;       // where the dialog last took the keyboard

// What a listing thread hands the dialog (WM_DEVICES_LISTED).
struct DevicesListed {
    bool listed = false;
    std::vector<ListedDevice> devices;
};

DWORD WINAPI ListingThread(LPVOID window) {
    auto result = std::make_unique<DevicesListed>();
    result->listed = ListDevicesQuietly(*g_setup->driver, result->devices);
    if (PostMessageA(static_cast<HWND>(window), WM_DEVICES_LISTED, 0, reinterpret_cast<LPARAM>(result.get())))
        result.release();  // the dialog's now
    return 0;
}

void ListDevicesAgain(HWND window) {
    if (g_runState != RunState::Idle || !g_setup->serial.empty()) return;
    if (g_listingThread) {
        g_listAgain = true;
        return;
    }
    g_listingThread = CreateThread(nullptr, 0, ListingThread, window, 0, nullptr);
}

HWND Item(HWND window, int item) { return GetDlgItem(window, item); }

// Start waits for a choice among several QVM7316s, and for the first
// listing: it tells whether there are several; and for images that all
// passed their check.
void EnableStart(HWND window) {
    bool chosen = g_qvm7316s.size() <= 1 || SendDlgItemMessageA(window, ITEM_DEVICE_LIST, CB_GETCURSEL, 0, 0) != CB_ERR;
    bool deviceReady = !g_setup->serial.empty() || (g_listed && chosen);
    bool ready = g_runState == RunState::Idle && deviceReady && g_imagesChecked && g_images.passed;
    EnableWindow(Item(window, ITEM_START), ready ? TRUE : FALSE);
}

// The keyboard goes where the next step is when it has nowhere useful to
// be: at first (while Start was disabled it went to Close), where the
// dialog itself took it while it waited for Start (the device list or Check
// again: the listing and the image check come back in either order), and
// when its control was disabled. Start, once it can be pressed; else Check
// again for images that fail; else the list of devices to choose from.
// Once Start has had it, the keyboard stays where the user takes it.
void FocusNextStep(HWND window) {
    HWND focus = GetFocus();
    bool waiting = !g_startFocused && (focus == Item(window, ITEM_CLOSE) || focus == g_focusPlaced);
    bool lost = !focus || !IsWindowEnabled(focus) || waiting;
    if (!lost) return;
    int next = IsWindowEnabled(Item(window, ITEM_START)) ? ITEM_START
               : g_imagesChecked && !g_images.passed     ? ITEM_CHECK_AGAIN
                                                         : ITEM_DEVICE_LIST;
    HWND control = Item(window, next);
    if (!IsWindowEnabled(control) || control == focus) return;
    if (next == ITEM_START) g_startFocused = true;
    g_focusPlaced = control;
    SendMessageA(window, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(control), TRUE);
}

DWORD WINAPI CheckingThread(LPVOID window) {
    ImagesCheck check = CheckImageFiles();
    auto result = std::make_unique<ImagesShown>();
    result->passed = check.status == 0;
    result->lines = ImagesSummary(check);
    if (PostMessageA(static_cast<HWND>(window), WM_IMAGES_CHECKED, 0, reinterpret_cast<LPARAM>(result.get())))
        result.release();  // the dialog's now
    return 0;
}

// Checks the images again, off the dialog's thread; Start waits for it.
void CheckImagesAgain(HWND window) {
    if (g_runState != RunState::Idle) return;
    if (g_checkingThread) {
        g_checkAgain = true;
        return;
    }
    g_checkingThread = CreateThread(nullptr, 0, CheckingThread, window, 0, nullptr);
    if (!g_checkingThread) return;
    g_imagesChecked = false;
    SetDlgItemTextA(window, ITEM_IMAGES, "Checking the images...");
    EnableStart(window);
}

void ShowImages(HWND window, const ImagesShown& images) {
    g_images = images;
    g_imagesChecked = true;
    std::string text;
    for (const std::string& line : images.lines) text += (text.empty() ? "" : "\r\n") + line;
    SetDlgItemTextA(window, ITEM_IMAGES, text.c_str());
    EnableStart(window);
    FocusNextStep(window);
}

void ImagesCheckedBack(HWND window, ImagesShown* result) {
    std::unique_ptr<ImagesShown> images(result);
    if (g_checkingThread) CloseHandle(g_checkingThread);
    g_checkingThread = nullptr;
    if (g_runState != RunState::Idle) return;
    ShowImages(window, *images);
    if (g_checkAgain) {
        g_checkAgain = false;
        CheckImagesAgain(window);
    }
}

// A QVM7316 in the list: its serial number and description, and where it
// is plugged in when another has both the same.
std::string Entry(const ListedDevice& device) {
    std::string entry =
        (device.serial.empty() ? std::string("(no serial number)") : device.serial) + "  " + device.description;
    DeviceChoice choice = ChoiceOf(device, g_devices);
    if (choice.location) {
        char where[32];
        std::snprintf(where, sizeof where, "  at 0x%08X", static_cast<unsigned>(*choice.location));
        entry += where;
    }
    return entry;
}

bool SameDevice(const ListedDevice& a, const ListedDevice& b) {
    return a.serial == b.serial && a.description == b.description && a.location == b.location;
}

// Shows a listing: the QVM7316s in the list, the one chosen before kept
// chosen while it is attached, the only one chosen.
void ShowDevices(HWND window, const DevicesListed& listed) {
    HWND list = Item(window, ITEM_DEVICE_LIST);
    LRESULT before = SendMessageA(list, CB_GETCURSEL, 0, 0);
    ListedDevice chosen;
    bool wasChosen = before != CB_ERR && static_cast<std::size_t>(before) < g_qvm7316s.size();
    if (wasChosen) chosen = g_qvm7316s[static_cast<std::size_t>(before)];

    g_listed = true;
    g_devices = listed.devices;
    g_qvm7316s.clear();
    for (const ListedDevice& d : g_devices)
        if (d.isQvm7316) g_qvm7316s.push_back(d);
    SendMessageA(list, CB_RESETCONTENT, 0, 0);
    int selection = g_qvm7316s.size() == 1 ? 0 : CB_ERR;
    for (std::size_t i = 0; i < g_qvm7316s.size(); ++i) {
        SendMessageA(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Entry(g_qvm7316s[i]).c_str()));
        if (wasChosen && SameDevice(g_qvm7316s[i], chosen)) selection = static_cast<int>(i);
    }
    SendMessageA(list, CB_SETCURSEL, static_cast<WPARAM>(selection), 0);
    EnableWindow(list, g_qvm7316s.empty() ? FALSE : TRUE);

    char text[96];
    if (!listed.listed)
        std::snprintf(text, sizeof text, "%s",
                      D2xxUnavailableReason().empty() ? "The FTDI devices cannot be listed"
                                                      : "The FTDI D2XX driver is not installed");
    else if (g_qvm7316s.empty())
        std::snprintf(text, sizeof text, "No %s attached", kModelString);
    else if (g_qvm7316s.size() == 1)
        std::snprintf(text, sizeof text, "The %s to update:", kModelString);
    else
        std::snprintf(text, sizeof text,
                      "%u %s attached - choose the one to update:", static_cast<unsigned>(g_qvm7316s.size()),
                      kModelString);
    SetDlgItemTextA(window, ITEM_DEVICE_TEXT, text);
    EnableStart(window);
    FocusNextStep(window);
}

void DevicesListedBack(HWND window, DevicesListed* result) {
    std::unique_ptr<DevicesListed> listed(result);
    // Once Start was pressed, the worker waits for the thread and closes it.
    if (g_runState != RunState::Idle) return;
    if (g_listingThread) CloseHandle(g_listingThread);
    g_listingThread = nullptr;
    ShowDevices(window, *listed);
    if (g_listAgain) {
        g_listAgain = false;
        ListDevicesAgain(window);
    }
}

void InitDialog(HWND window, const DialogSetup* setup) {
    g_setup = setup;
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
    CheckImagesAgain(window);
    if (!g_setup->serial.empty()) {
        std::string chosen = std::string(kModelString) + " " + g_setup->serial + ", chosen with --serial";
        SetDlgItemTextA(window, ITEM_DEVICE_TEXT, chosen.c_str());
        EnableWindow(Item(window, ITEM_DEVICE_LIST), FALSE);
        EnableWindow(Item(window, ITEM_REFRESH), FALSE);
        return;
    }
    EnableWindow(Item(window, ITEM_DEVICE_LIST), FALSE);
    EnableStart(window);
    ListDevicesAgain(window);
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
    // second worker on the same device and buffers. Nor does a click that
    // reaches a disabled Start.
    if (g_runState != RunState::Idle || !IsWindowEnabled(Item(window, ITEM_START)) || g_checkingThread) return;
    if (g_setup->serial.empty()) {
        LRESULT chosen = SendDlgItemMessageA(window, ITEM_DEVICE_LIST, CB_GETCURSEL, 0, 0);
        if (chosen != CB_ERR && static_cast<std::size_t>(chosen) < g_qvm7316s.size()) {
            ChooseDevice(ChoiceOf(g_qvm7316s[static_cast<std::size_t>(chosen)], g_devices));
            std::string text = std::string("The ") + kModelString + " to update:";
            SetDlgItemTextA(window, ITEM_DEVICE_TEXT, text.c_str());
        } else {
            ChooseDevice(DeviceChoice{});  // none attached: the run says so
        }
    }
    EnableWindow(Item(window, ITEM_DEVICE_LIST), FALSE);
    EnableWindow(Item(window, ITEM_REFRESH), FALSE);
    EnableWindow(Item(window, ITEM_CHECK_AGAIN), FALSE);
    HANDLE listing = g_listingThread;
    g_listingThread = nullptr;
    g_runState = RunState::Running;
    EnableStart(window);
    if (StartUpdateWorker(listing, g_images.lines) != 0) {
        g_runState = RunState::Finished;
        ShowMessage(kMessageError, "Could not start the update (error %lu)", GetLastError());
        return;
    }
    g_refusingSessionEnd = true;
    ShutdownBlockReasonCreate(window, kShutdownBlockReason);
}

void RunRecorded(HWND window) {
    if (!g_refusingSessionEnd) return;
    g_refusingSessionEnd = false;
    ShutdownBlockReasonDestroy(window);
}

// The worker found at Start that the images are not those shown: nothing
// was run. The dialog is as before Start, with the new summary; Start must
// be pressed again, on images that pass.
void ImagesChanged(HWND window, const ImagesShown& now) {
    RunRecorded(window);
    g_runState = RunState::Idle;
    EnableWindow(Item(window, ITEM_CHECK_AGAIN), TRUE);
    if (g_setup->serial.empty()) {
        EnableWindow(Item(window, ITEM_REFRESH), TRUE);
        EnableWindow(Item(window, ITEM_DEVICE_LIST), g_qvm7316s.empty() ? FALSE : TRUE);
        ListDevicesAgain(window);  // the listing was ended for the run
    }
    ShowImages(window, now);
    // The keyboard goes back to Start, where it was, or to Check again.
    HWND next = Item(window, now.passed ? ITEM_START : ITEM_CHECK_AGAIN);
    if (IsWindowEnabled(next)) SendMessageA(window, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(next), TRUE);
    ShowMessage(kMessageInformation, "The images changed after they were checked; nothing was sent to the %s.\n\n%s",
                kModelString,
                now.passed ? "Look at the images shown now, then press Start again."
                           : "Replace the image that fails, then press Check again.");
}

// At the end of a run: where its run log and its report were written.
void ShowRunRecords(HWND window) { SetDlgItemTextA(window, ITEM_RESULT_PATHS, RunRecordsText().c_str()); }

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

// The line below the bar while the update runs: the stage and the time
// left, which a timer of the dialog's own counts down between the worker's
// reports, so that it moves during the long waits too.
constexpr UINT_PTR kTimeLeftTimer = 1;
constexpr UINT kTimeLeftTickMs = 250;
std::string g_stageInWords;
ULONGLONG g_estimateEndsAt = 0;  // GetTickCount64() when the time left runs out
bool g_countingDown = false;

void ShowTimeLeft(HWND window) {
    ULONGLONG now = GetTickCount64();
    std::string text = g_stageInWords + " - " + TimeLeftText(g_estimateEndsAt > now ? g_estimateEndsAt - now : 0);
    char shown[160] = "";
    GetDlgItemTextA(window, ITEM_TIME_LEFT, shown, sizeof shown);
    if (text != shown) SetDlgItemTextA(window, ITEM_TIME_LEFT, text.c_str());
}

void TimeLeftReported(HWND window, WPARAM msLeft, LPARAM stage) {
    if (!stage) {
        if (g_countingDown) KillTimer(window, kTimeLeftTimer);
        g_countingDown = false;
        SetDlgItemTextA(window, ITEM_TIME_LEFT, "");
        return;
    }
    g_stageInWords = reinterpret_cast<const char*>(stage);
    g_estimateEndsAt = GetTickCount64() + msLeft;
    ShowTimeLeft(window);
    if (!g_countingDown) g_countingDown = SetTimer(window, kTimeLeftTimer, kTimeLeftTickMs, nullptr) != 0;
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
            InitDialog(window, reinterpret_cast<const DialogSetup*>(lParam));
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
            if (wParam == ITEM_REFRESH) {
                ListDevicesAgain(window);
                return TRUE;
            }
            if (wParam == ITEM_CHECK_AGAIN) {
                CheckImagesAgain(window);
                return TRUE;
            }
            if (wParam == MAKEWPARAM(ITEM_DEVICE_LIST, CBN_SELCHANGE)) {
                EnableStart(window);
                return TRUE;
            }
            return FALSE;
        case WM_DEVICECHANGE:
            // A device plugged in or out: the list follows.
            ListDevicesAgain(window);
            return TRUE;
        case WM_DEVICES_LISTED:
            DevicesListedBack(window, reinterpret_cast<DevicesListed*>(lParam));
            return TRUE;
        case WM_CLOSE:
            RequestClose(window);
            return TRUE;
        case WM_RUN_FINISHED:
            RunFinished(window);
            return TRUE;
        case WM_RUN_RECORDED:
            RunRecorded(window);
            ShowRunRecords(window);
            return TRUE;
        case WM_IMAGES_CHECKED:
            ImagesCheckedBack(window, reinterpret_cast<ImagesShown*>(lParam));
            return TRUE;
        case WM_IMAGES_CHANGED:
            ImagesChanged(window, *reinterpret_cast<const ImagesShown*>(lParam));
            return TRUE;
        case WM_TIME_LEFT:
            TimeLeftReported(window, wParam, lParam);
            return TRUE;
        case WM_TIMER:
            if (wParam != kTimeLeftTimer || !g_countingDown) return FALSE;
            ShowTimeLeft(window);
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
