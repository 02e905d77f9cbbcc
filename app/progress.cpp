#include "app/progress.h"

#include <cstdio>

#include "device/link.h"

namespace {

bool NoBar() { return false; }
void NoTitle(const char*) {}
void NoPosition(int) {}
void NoColour(std::uint32_t) {}
void NoFont(int, DialogFont) {}
void NoText(int, const char*) {}
void NoEnable(int, bool) {}
int NoMessage(unsigned, const char*) { return 0; }

const WindowOps kNoWindow = {NoBar, NoTitle, NoPosition, NoColour, NoFont, NoText, NoEnable, NoMessage};
const WindowOps* g_window = &kNoWindow;

}  // namespace

std::uint16_t g_stepCounter = 0;
int g_lastShownValue = -1;

void SelectWindowOps(const WindowOps* ops) { g_window = ops ? ops : &kNoWindow; }
const WindowOps& Window() { return *g_window; }

int ShowProgress(int value) {
    if (value < 0) value = 0;
    if (value > 100) value = 100;
    if (value == g_lastShownValue) return 0;
    g_lastShownValue = value;
    if (!g_window->ProgressBarExists()) return -1;

    char title[64];
    if (value <= 99) {
        std::snprintf(title, sizeof title, " %s - %d%%", kModelString, value);
    } else {
        g_window->SetItemFont(ITEM_TITLE_TEXT, DialogFont::Success);
        g_window->SetItemFont(ITEM_SECOND_TEXT, DialogFont::Success);
        g_window->SetItemText(ITEM_TITLE_TEXT, "Programming finished successfully!");
        g_window->SetItemText(ITEM_SECOND_TEXT, " ");
        std::snprintf(title, sizeof title, " %s - DONE!", kModelString);
    }
    g_window->SetTitle(title);
    g_window->SetBarPosition(value);
    g_window->SetBarColour(value == 100 ? kBarGreen : kBarBlack);
    return 0;
}

void TickProgress() {
    ++g_stepCounter;
    ShowProgress(g_stepCounter);
}

void ResetProgress() {
    g_stepCounter = 0;
    g_lastShownValue = -1;
}
