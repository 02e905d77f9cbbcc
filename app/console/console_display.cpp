#include "app/console/console_display.h"

#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/log.h"
#include "update/time_left.h"

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

// The terminal's title: the progress title, then the time left while the
// update runs (" QVM7316 - 42% - about 12 min left").
std::string g_progressTitle;
std::string g_timeLeft;
std::string g_shownTitle;

// The title is the terminal's, not a line of the log.
void ShowTitle() {
    std::string title = g_progressTitle;
    if (!g_timeLeft.empty()) title += " - " + g_timeLeft;
    if (title == g_shownTitle || !StdoutIsTerminal()) return;
    g_shownTitle = title;
#if defined(_WIN32)
    SetConsoleTitleA(title.c_str());
#else
    // Through the log's writer, in step with the log, and never waiting for
    // a terminal that takes no output.
    ShowOnConsole(("\033]0;" + title + "\007").c_str());
#endif
}

void RunStarted() {}

bool Progress(int percent, const char* title) {
    g_progressTitle = title;
    if (percent == 100) g_timeLeft.clear();  // done: nothing left
    ShowTitle();
    return true;
}

void TimeLeft(const char*, std::uint64_t msLeft) {
    g_timeLeft = TimeLeftText(msLeft);
    ShowTitle();
}

// The reason is in the log already, a line or so above. The time left
// leaves the title.
void RunEnded(int, const char* message, const char*) {
    g_timeLeft.clear();
    ShowTitle();
    Log("%s\n", message);
    LogFlush();
}

const DisplayOps kConsole = {RunStarted, Progress, RunEnded, nullptr, TimeLeft};

}  // namespace

const DisplayOps* ConsoleDisplay() { return &kConsole; }
