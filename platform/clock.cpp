#include "platform/clock.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using SteadyClock = std::chrono::steady_clock;

// The clock's state: which kind runs, where real time started, and the
// virtual time. Sleeps happen on the update worker only; the time may also
// be read by a signal handler or a console handler on another thread
// (when a Ctrl+C came), so the virtual time is atomic.
bool g_virtual = false;
SteadyClock::time_point g_realStart = SteadyClock::now();
std::atomic<std::uint64_t> g_virtualNow{0};
void (*g_pauseCheck)() = nullptr;

}  // namespace

std::uint64_t NowMs() {
    if (g_virtual) return g_virtualNow.load(std::memory_order_relaxed);
    auto elapsed = SteadyClock::now() - g_realStart;
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

void SleepUntilMs(std::uint64_t when) {
    if (g_virtual) {
        if (when > g_virtualNow.load(std::memory_order_relaxed)) g_virtualNow.store(when, std::memory_order_relaxed);
        return;
    }
    std::this_thread::sleep_until(g_realStart + std::chrono::milliseconds(when));
}

void SleepMs(std::uint32_t ms) {
    if (g_pauseCheck) g_pauseCheck();
    if (g_virtual) {
        g_virtualNow.fetch_add(ms, std::memory_order_relaxed);
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void SetPauseCheck(void (*check)()) { g_pauseCheck = check; }

void UseRealClock() {
    g_virtual = false;
    g_realStart = SteadyClock::now();
}

void UseVirtualClock() {
    g_virtual = true;
    g_virtualNow = 0;
}

bool UsingVirtualClock() { return g_virtual; }
