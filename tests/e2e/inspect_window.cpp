// inspect_window.exe: prints what a top-level window of another process
// shows, for the end-to-end test, which runs it under the same Wine as the
// program. The window is found by its exact title. One line per fact:
//
//   window focus=<id of the focused control, 0 if none> client=<x>,<y> title=<title>
//   item <id> <class> enabled=<0|1> text=<text>
//   bar position=<n> colour=0x<BBGGRR>       (after a progress bar's item line)
//   combo selected=<index, -1 for none> count=<n>   (after a combo box's item line)
//   combo item <index> text=<text>           (one per entry of the combo box)
//
// Usage: inspect_window.exe <title>. Exit code 1 when no such window.
//
//        inspect_window.exe --click <id> <times> <title> posts the window
//        that many plain clicks (WM_COMMAND) of control <id> at once, as a
//        quick double click would queue them, and prints nothing.
//
//        inspect_window.exe --query-end-session <window> asks the window
//        whether the session may end, as Windows asks before a log-off or a
//        shut-down (WM_QUERYENDSESSION), and prints "answer=<0|1>".
//
//        inspect_window.exe --end-session <logoff|shutdown> <window> tells
//        the window that the session ends (WM_ENDSESSION), as Windows does
//        when it ends anyway, and prints "returned after <ms> ms" once the
//        window has handled it (Windows allows a few seconds).
//
// <window> is an exact title, or "class=<name>" for a window of that class
// (the console program's hidden window has no title to look for).
// clang-format off
#include <windows.h>
#include <commctrl.h>  // after windows.h, which it needs
// clang-format on

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Texts come through WM_GETTEXT, which the system carries between
// processes; the time-out keeps a hung program from hanging the test.
void TextOf(HWND window, char* text, int size) {
    text[0] = 0;
    DWORD_PTR length = 0;
    SendMessageTimeoutA(window, WM_GETTEXT, static_cast<WPARAM>(size), reinterpret_cast<LPARAM>(text), SMTO_BLOCK, 2000,
                        &length);
    text[size - 1] = 0;
}

BOOL CALLBACK PrintItem(HWND item, LPARAM) {
    char kind[64] = "";
    char text[1024];
    GetClassNameA(item, kind, sizeof kind);
    TextOf(item, text, sizeof text);
    std::printf("item %d %s enabled=%d text=%s\n", GetDlgCtrlID(item), kind, IsWindowEnabled(item) ? 1 : 0, text);
    if (std::strcmp(kind, PROGRESS_CLASSA) == 0) {
        DWORD_PTR position = 0, colour = 0;
        SendMessageTimeoutA(item, PBM_GETPOS, 0, 0, SMTO_BLOCK, 2000, &position);
        SendMessageTimeoutA(item, PBM_GETBARCOLOR, 0, 0, SMTO_BLOCK, 2000, &colour);
        std::printf("bar position=%d colour=0x%06X\n", static_cast<int>(position), static_cast<unsigned>(colour));
    }
    if (std::strcmp(kind, "ComboBox") == 0) {
        DWORD_PTR selected = 0, count = 0;
        SendMessageTimeoutA(item, CB_GETCURSEL, 0, 0, SMTO_BLOCK, 2000, &selected);
        SendMessageTimeoutA(item, CB_GETCOUNT, 0, 0, SMTO_BLOCK, 2000, &count);
        std::printf("combo selected=%d count=%d\n", static_cast<int>(static_cast<LRESULT>(selected)),
                    static_cast<int>(count));
        // The wide form: Wine carries only the first character of the
        // narrow one between processes.
        for (int i = 0; i < static_cast<int>(count); ++i) {
            DWORD_PTR length = 0;
            wchar_t wide[512] = {};
            SendMessageTimeoutW(item, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0, SMTO_BLOCK, 2000, &length);
            if (length >= sizeof wide / sizeof wide[0]) continue;
            SendMessageTimeoutW(item, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(wide), SMTO_BLOCK,
                                2000, &length);
            WideCharToMultiByte(CP_ACP, 0, wide, -1, text, sizeof text, nullptr, nullptr);
            std::printf("combo item %d text=%s\n", i, text);
        }
    }
    return TRUE;
}

HWND Find(const char* window) {
    if (std::strncmp(window, "class=", 6) == 0) return FindWindowA(window + 6, nullptr);
    return FindWindowA(nullptr, window);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--query-end-session") == 0) {
        HWND window = Find(argv[2]);
        if (!window) return 1;
        DWORD_PTR answer = 1;
        if (!SendMessageTimeoutA(window, WM_QUERYENDSESSION, 0, 0, SMTO_BLOCK, 10000, &answer)) return 3;
        std::printf("answer=%d\n", answer ? 1 : 0);
        return 0;
    }
    if (argc == 4 && std::strcmp(argv[1], "--end-session") == 0) {
        HWND window = Find(argv[3]);
        if (!window) return 1;
        LPARAM flags = std::strcmp(argv[2], "logoff") == 0 ? ENDSESSION_LOGOFF : 0;
        DWORD_PTR result = 0;
        ULONGLONG began = GetTickCount64();
        if (!SendMessageTimeoutA(window, WM_ENDSESSION, TRUE, flags, SMTO_BLOCK, 30000, &result)) return 3;
        std::printf("returned after %llu ms\n", GetTickCount64() - began);
        return 0;
    }
    if (argc == 5 && std::strcmp(argv[1], "--click") == 0) {
        HWND window = FindWindowA(nullptr, argv[4]);
        if (!window) return 1;
        int id = std::atoi(argv[2]);
        for (int i = std::atoi(argv[3]); i > 0; --i) PostMessageA(window, WM_COMMAND, static_cast<WPARAM>(id), 0);
        return 0;
    }
    if (argc != 2) {
        std::fprintf(stderr,
                     "usage: inspect_window <exact window title>\n"
                     "       inspect_window --click <control id> <times> <exact window title>\n"
                     "       inspect_window --query-end-session <title, or class=<name>>\n"
                     "       inspect_window --end-session <logoff|shutdown> <title, or class=<name>>\n");
        return 2;
    }
    HWND window = FindWindowA(nullptr, argv[1]);
    if (!window) return 1;
    GUITHREADINFO gui{};
    gui.cbSize = sizeof gui;
    int focus = 0;
    if (GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &gui) && gui.hwndFocus &&
        IsChild(window, gui.hwndFocus))
        focus = GetDlgCtrlID(gui.hwndFocus);
    POINT client{0, 0};  // the client area's top left corner on the screen
    ClientToScreen(window, &client);
    char title[256];
    TextOf(window, title, sizeof title);
    std::printf("window focus=%d client=%ld,%ld title=%s\n", focus, client.x, client.y, title);
    EnumChildWindows(window, PrintItem, 0);
    return 0;
}
