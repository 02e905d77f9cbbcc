#include "update/progress.h"

#include <cstdio>

#include "protocol/model.h"

namespace {

void NoRunStarted() {}
bool NoProgress(int, const char*) { return false; }
void NoRunEnded(int, const char*, const char*) {}

const DisplayOps kNoDisplay = {NoRunStarted, NoProgress, NoRunEnded, nullptr, nullptr};
const DisplayOps* g_display = &kNoDisplay;

}  // namespace

std::uint16_t g_stepCounter = 0;
int g_lastShownValue = -1;

void SelectDisplay(const DisplayOps* ops) { g_display = ops ? ops : &kNoDisplay; }
const DisplayOps& Display() { return *g_display; }

int ShowProgress(int value) {
    if (value < 0) value = 0;
    if (value > 100) value = 100;
    if (value == g_lastShownValue) return 0;
    g_lastShownValue = value;

    char title[64];
    if (value <= 99)
        std::snprintf(title, sizeof title, " %s - %d%%", kModelString, value);
    else
        std::snprintf(title, sizeof title, " %s - DONE!", kModelString);
    return g_display->Progress(value, title) ? 0 : -1;
}

void TickProgress() {
    ++g_stepCounter;
    ShowProgress(g_stepCounter < kLastTickValue ? g_stepCounter : kLastTickValue);
}

void ResetProgress() {
    g_stepCounter = 0;
    g_lastShownValue = -1;
}
