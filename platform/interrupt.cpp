#include "platform/interrupt.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <string>

#include "platform/clock.h"
#include "platform/log.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

constexpr std::uint64_t kSecondInterruptWithinMs = 5000;

// Set by the handlers, on whatever thread they run; read by the update
// worker in CheckForStop.
std::atomic<int> g_interrupts{0};
std::atomic<int> g_stopStatus{0};
std::atomic<bool> g_inRun{false};

// The worker's own view: interrupts it has seen, when it warned, and
// whether the stop has been delivered.
int g_interruptsSeen = 0;
bool g_warned = false;
std::uint64_t g_warnedAt = 0;
bool g_stopDelivered = false;

void (*g_closeDevice)() = nullptr;
std::mutex g_runMutex;
std::condition_variable g_runEnded;

void WarnOfInterrupt() {
    LogEndLine();
    Log("Ctrl+C: stopping the update now may leave the QVM7316 unusable. The update goes on; "
        "press Ctrl+C again within 5 seconds to stop it.\n");
    LogFlush();
}

#if defined(_WIN32)
BOOL WINAPI OnConsoleEvent(DWORD event) {
    if (!g_inRun) return FALSE;  // outside a run: the default, which ends the program
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            OnInterrupt();
            return TRUE;
        case CTRL_CLOSE_EVENT:
            OnConsoleClosing("the console window was closed", 4000);
            return FALSE;
        case CTRL_LOGOFF_EVENT:
            OnConsoleClosing("the user logged off", 4000);
            return FALSE;
        case CTRL_SHUTDOWN_EVENT:
            OnConsoleClosing("the computer is shutting down", 4000);
            return FALSE;
        default:
            return FALSE;
    }
}
#else
void OnSignal(int signal) {
    if (signal == SIGTERM)
        OnTerminate();
    else
        OnInterrupt();
}
#endif

}  // namespace

void BeginGuardedRun(void (*closeDevice)()) {
    ResetInterrupts();
    g_closeDevice = closeDevice;
    g_inRun = true;
    SetPauseCheck(CheckForStop);
#if defined(_WIN32)
    static const bool installed = SetConsoleCtrlHandler(OnConsoleEvent, TRUE) != 0;
    (void)installed;
#else
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
#endif
}

void EndGuardedRun() {
    {
        std::lock_guard<std::mutex> lock(g_runMutex);
        g_inRun = false;
    }
    g_runEnded.notify_all();
    SetPauseCheck(nullptr);
#if !defined(_WIN32)
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
#endif
}

bool StopRequested() { return g_stopStatus != 0; }

void OnInterrupt() { ++g_interrupts; }

void RequestStop(int status) {
    int none = 0;
    g_stopStatus.compare_exchange_strong(none, status);
}

void OnTerminate() { RequestStop(kStoppedByTermination); }

void CheckForStop() {
    if (!g_inRun || g_stopDelivered) return;
    for (int seen = g_interrupts; g_interruptsSeen < seen; ++g_interruptsSeen) {
        std::uint64_t now = NowMs();
        if (g_warned && now - g_warnedAt <= kSecondInterruptWithinMs) {
            int none = 0;
            g_stopStatus.compare_exchange_strong(none, kStoppedByInterrupt);
        } else {
            g_warned = true;
            g_warnedAt = now;
            WarnOfInterrupt();
        }
    }
    if (int status = g_stopStatus; status != 0) {
        g_stopDelivered = true;
        throw RunStopped{status};
    }
}

void OnConsoleClosing(const char* what, std::uint32_t waitMs) {
    RunLogRecord(std::string("=== ") + what + ": the update is stopped and the device closed");
    OnTerminate();
    std::unique_lock<std::mutex> lock(g_runMutex);
    bool ended = g_runEnded.wait_for(lock, std::chrono::milliseconds(waitMs), [] { return !g_inRun.load(); });
    // The run is held up in a device call: the process ends right after, so
    // the device is closed from here.
    if (!ended && g_closeDevice) g_closeDevice();
}

void IgnoreClosedOutput() {
#if !defined(_WIN32)
    std::signal(SIGPIPE, SIG_IGN);
#endif
}

void ResetInterrupts() {
    g_inRun = false;
    g_interrupts = 0;
    g_stopStatus = 0;
    g_interruptsSeen = 0;
    g_warned = false;
    g_stopDelivered = false;
    g_closeDevice = nullptr;
    SetPauseCheck(nullptr);
}
