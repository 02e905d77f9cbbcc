#include "app/console/console_window.h"

#include <cstdio>

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

const char kStartupWarning[] =
    "Disconnect USB, power device off and reconnect USB before starting the update. It takes about 30 minutes to "
    "update the QVM7316.\n\n\nWarning!\n\nA fully charged QVM7316 battery is required for firmware update!\n\nDo not "
    "switch off or disconnect from USB before programming is\nfinished or damage to the device may result!\n";

namespace {

bool StdoutIsTerminal() {
#if defined(_WIN32)
    return _isatty(_fileno(stdout)) != 0;
#else
    return isatty(fileno(stdout)) != 0;
#endif
}

bool BarExists() { return true; }

void SetTitle(const char* text) {
    if (!StdoutIsTerminal()) return;
#if defined(_WIN32)
    SetConsoleTitleA(text);
#else
    std::printf("\033]0;%s\007", text);
    std::fflush(stdout);
#endif
}

void SetBarPosition(int) {}
void SetBarColour(std::uint32_t) {}
void SetItemFont(int, DialogFont) {}
void SetItemText(int, const char*) {}
void EnableItem(int, bool) {}

int ShowMessageBox(unsigned, const char* text) {
    std::printf("%s\n", text);
    std::fflush(stdout);
    return 1;
}

const WindowOps kConsole = {BarExists, SetTitle, SetBarPosition, SetBarColour, SetItemFont, SetItemText, EnableItem,
                            ShowMessageBox};

}  // namespace

const WindowOps* ConsoleWindowOps() { return &kConsole; }
