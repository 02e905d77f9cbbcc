#include "app/console/console_display.h"

#include <cstdio>
#include <string>

#include "platform/log.h"

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

void RunStarted() {}

// The title is the terminal's, not a line of the log.
bool Progress(int, const char* title) {
    if (!StdoutIsTerminal()) return true;
#if defined(_WIN32)
    SetConsoleTitleA(title);
#else
    // Through the log's writer, in step with the log, and never waiting for
    // a terminal that takes no output.
    ShowOnConsole(("\033]0;" + std::string(title) + "\007").c_str());
#endif
    return true;
}

// The reason is in the log already, a line or so above.
void RunEnded(int, const char* message, const char*) {
    Log("%s\n", message);
    LogFlush();
}

const DisplayOps kConsole = {RunStarted, Progress, RunEnded, nullptr};

}  // namespace

const DisplayOps* ConsoleDisplay() { return &kConsole; }
