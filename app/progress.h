// The progress display: the one way the running update shows progress.
// It works through a small table of window operations, which the Windows
// dialog carries out with synchronous window messages, the console program
// with terminal output, and the tests with a recorder.
#pragma once

#include <cstdint>

// Dialog items.
enum DialogItem : int {
    ITEM_TITLE_TEXT = 303,
    ITEM_SECOND_TEXT = 307,
    ITEM_START = 301,
    ITEM_CLOSE = 302,
};

enum class DialogFont { Title, Success };

// Colours in the 0x00BBGGRR form.
constexpr std::uint32_t kBarBlack = 0x000000;
constexpr std::uint32_t kBarGreen = 0x00C800;
constexpr std::uint32_t kBarRed = 0x0000C8;

// Message box types.
constexpr unsigned kMessageInformation = 64;
constexpr unsigned kMessageError = 16;

struct WindowOps {
    bool (*ProgressBarExists)();
    void (*SetTitle)(const char* text);
    void (*SetBarPosition)(int value);
    void (*SetBarColour)(std::uint32_t colour);
    void (*SetItemFont)(int item, DialogFont font);
    void (*SetItemText)(int item, const char* text);
    void (*EnableItem)(int item, bool enabled);
    // Shows a message box with the program's caption; returns its result.
    int (*ShowMessageBox)(unsigned type, const char* text);
};

// Chooses where the display goes (default: nowhere, as before the dialog
// exists). The table must outlive all calls.
void SelectWindowOps(const WindowOps* ops);
const WindowOps& Window();

// Process-wide progress state, used by the update worker alone.
extern std::uint16_t g_stepCounter;  // ticks of the running update
extern int g_lastShownValue;         // last clamped value accepted, -1 at start

// Shows value (clamped to 0..100) on the bar and in the title, and the
// success text at 100. Returns 0, or -1 when there is no bar yet.
int ShowProgress(int value);

// Increments the step counter and shows its new value: one tick.
void TickProgress();

void ResetProgress();
