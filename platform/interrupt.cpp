#include "platform/interrupt.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/d2xx_trace.h"
#include "platform/log.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace {

const char kInterruptWarning[] =
    "Ctrl+C: stopping the update now may leave the QVM7316 unusable. The update goes on; "
    "press Ctrl+C again within 5 seconds to stop it.\n";

// The run, as the handlers on any thread see it. The run's thread is set
// before g_inRun, and read after it.
std::atomic<bool> g_inRun{false};
std::thread::id g_runThread;
std::atomic<int> g_stopStatus{0};
bool g_stopDelivered = false;  // the run's thread alone

// Ctrl+C presses, timed by the handler: the one that warned last, and the
// warnings and the hang-up still to be told (by whichever thread comes
// first: the notice thread at once, or the run's thread at its next check;
// one at a time, so that the run's next line comes after them).
std::atomic<bool> g_warned{false};
std::atomic<std::uint64_t> g_warnedAt{0};
std::atomic<int> g_warningsDue{0};
std::atomic<int> g_warningsTold{0};
std::atomic<bool> g_hangUpDue{false};
std::atomic<bool> g_hangUpTold{false};
std::mutex g_telling;

void (*g_closeDevice)() = nullptr;
std::mutex g_runMutex;
std::condition_variable g_runEnded;

// Tells what the handlers have noted: the warning of each first Ctrl+C, on
// a line of its own, and a terminal that is gone, in the run log file.
void TellNotices() {
    if (g_warningsTold == g_warningsDue && g_hangUpDue == g_hangUpTold) return;
    std::lock_guard<std::mutex> lock(g_telling);
    for (; g_warningsTold < g_warningsDue; ++g_warningsTold) {
        LogOwnLine(kInterruptWarning);
        LogFlush();
    }
    if (g_hangUpDue && !g_hangUpTold) {
        RunLogRecord("=== the terminal was closed (SIGHUP): the update goes on; its output is dropped");
        g_hangUpTold = true;
    }
}

// Records that the run did not stop in time and closes the device from
// the handler's thread; the process ends right after, so the record goes
// to the disk now.
void CloseDeviceOfHeldRun(std::uint32_t waitMs) {
    char line[160];
    std::snprintf(line, sizeof line,
                  "=== the update did not stop within %.1f s: the device is closed from outside it, and the program "
                  "ends",
                  waitMs / 1000.0);
    RunLogRecord(line);
    if (g_closeDevice) g_closeDevice();
    SyncRunLog();
    SyncTrace(true);
}

// What every handler of an end that cannot be refused does first.
bool StopForEnd(const char* what) {
    if (!g_inRun) return false;
    RunLogRecord(std::string("=== ") + what + ": the update is stopped and the device closed");
    OnTerminate();
    return true;
}

#if defined(_WIN32)

// Set when a run has ended, for a window's thread that waits for it while
// it handles its messages.
HANDLE g_runEndedEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);

// The console's input mode before the run: quick-edit selection is off
// during the run, since a selection in the console window stops every
// write to it.
DWORD g_savedInputMode = 0;
bool g_inputModeSaved = false;

void QuickEditOff() {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (input == INVALID_HANDLE_VALUE || !GetConsoleMode(input, &mode)) return;
    g_savedInputMode = mode;
    g_inputModeSaved = true;
    SetConsoleMode(input, (mode & ~ENABLE_QUICK_EDIT_MODE) | ENABLE_EXTENDED_FLAGS);
}

void QuickEditBack() {
    if (!g_inputModeSaved) return;
    g_inputModeSaved = false;
    SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), g_savedInputMode);
}

BOOL WINAPI OnConsoleEvent(DWORD event) {
    if (!g_inRun) return FALSE;  // outside a run: the default, which ends the program
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            OnInterrupt();
            TellNotices();
            return TRUE;
        case CTRL_CLOSE_EVENT:
            OnConsoleClosing("the console window was closed", kSessionEndWaitMs);
            return FALSE;
        case CTRL_LOGOFF_EVENT:
            OnConsoleClosing("the user logged off", kSessionEndWaitMs);
            return FALSE;
        case CTRL_SHUTDOWN_EVENT:
            OnConsoleClosing("the computer is shutting down", kSessionEndWaitMs);
            return FALSE;
        default:
            return FALSE;
    }
}

void WakeNoticeThread() {}
void StartNoticeThread() {}
void StopNoticeThread() {}

#else

// The notice thread: a signal handler may not log, so it wakes this thread
// through a pipe, and the warning of a Ctrl+C shows at once, even while the
// update waits in a long read.
int g_wakeRead = -1;
std::atomic<int> g_wakeWrite{-1};
std::thread g_noticeThread;
std::atomic<bool> g_noticesEnding{false};

void WakeNoticeThread() {
    int fd = g_wakeWrite;
    if (fd < 0) return;
    int saved = errno;
    [[maybe_unused]] ssize_t n = write(fd, "!", 1);
    errno = saved;
}

void NoticeThread() {
    char wakes[64];
    for (;;) {
        ssize_t n = read(g_wakeRead, wakes, sizeof wakes);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || g_noticesEnding) return;
        TellNotices();
    }
}

void StartNoticeThread() {
    int fds[2];
    if (pipe(fds) != 0) return;  // the warnings then come at the run's next check
    fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    fcntl(fds[1], F_SETFD, FD_CLOEXEC);
    fcntl(fds[1], F_SETFL, O_NONBLOCK);
    g_wakeRead = fds[0];
    g_noticesEnding = false;
    g_wakeWrite = fds[1];
    g_noticeThread = std::thread(NoticeThread);
}

void StopNoticeThread() {
    int fd = g_wakeWrite.exchange(-1);
    if (fd < 0) return;
    g_noticesEnding = true;
    [[maybe_unused]] ssize_t n = write(fd, "!", 1);
    g_noticeThread.join();
    close(fd);
    close(g_wakeRead);
    g_wakeRead = -1;
}

// What the signals did before the run, put back after it (a program started
// with SIGHUP ignored, by nohup say, keeps it ignored).
struct sigaction g_before[3];
const int kRunSignals[3] = {SIGINT, SIGTERM, SIGHUP};

void OnSignal(int signal) {
    if (signal == SIGTERM)
        OnTerminate();
    else if (signal == SIGHUP)
        OnHangUp();
    else
        OnInterrupt();
}

#endif

}  // namespace

void BeginGuardedRun(void (*closeDevice)()) {
    ResetInterrupts();
    g_closeDevice = closeDevice;
    g_runThread = std::this_thread::get_id();
    g_inRun = true;
    SetPauseCheck(CheckForStop);
    StartNoticeThread();
#if defined(_WIN32)
    ResetEvent(g_runEndedEvent);
    static const bool installed = SetConsoleCtrlHandler(OnConsoleEvent, TRUE) != 0;
    (void)installed;
    QuickEditOff();
#else
    // Restarted calls: a signal that lands on another thread of the program
    // (the log's writer, say) does not fail its write.
    struct sigaction action {};
    action.sa_handler = OnSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < 3; ++i) sigaction(kRunSignals[i], &action, &g_before[i]);
#endif
}

void EndGuardedRun() {
#if !defined(_WIN32)
    for (int i = 0; i < 3; ++i) sigaction(kRunSignals[i], &g_before[i], nullptr);
#endif
    StopNoticeThread();
    TellNotices();
#if defined(_WIN32)
    QuickEditBack();
#endif
    SetPauseCheck(nullptr);
    {
        std::lock_guard<std::mutex> lock(g_runMutex);
        g_inRun = false;
    }
    g_runEnded.notify_all();
#if defined(_WIN32)
    SetEvent(g_runEndedEvent);
#endif
}

bool RunInProgress() { return g_inRun; }

bool StopRequested() { return g_stopStatus != 0; }
int StopStatus() { return g_stopStatus; }

void RequestStop(int status) {
    int none = 0;
    g_stopStatus.compare_exchange_strong(none, status);
}

void OnInterrupt() {
    std::uint64_t now = NowMs();
    if (g_warned && now - g_warnedAt <= kSecondInterruptWithinMs) {
        RequestStop(kStoppedByInterrupt);
    } else {
        g_warnedAt = now;
        g_warned = true;
        ++g_warningsDue;
    }
    WakeNoticeThread();
}

void OnTerminate() { RequestStop(kStoppedByTermination); }

void OnHangUp() {
    g_hangUpDue = true;
    WakeNoticeThread();
}

void TellPendingNotices() { TellNotices(); }

void CheckForStop() {
    if (!g_inRun) return;
    TellNotices();
    if (g_stopDelivered || std::this_thread::get_id() != g_runThread) return;
    if (int status = g_stopStatus; status != 0) {
        g_stopDelivered = true;
        throw RunStopped{status};
    }
}

void OnConsoleClosing(const char* what, std::uint32_t waitMs) {
    if (!StopForEnd(what)) return;
    std::unique_lock<std::mutex> lock(g_runMutex);
    bool ended = g_runEnded.wait_for(lock, std::chrono::milliseconds(waitMs), [] { return !g_inRun.load(); });
    lock.unlock();
    if (!ended) CloseDeviceOfHeldRun(waitMs);
}

#if defined(_WIN32)
void OnSessionEnd(unsigned long endSessionFlags, std::uint32_t waitMs) {
    const char* what = (endSessionFlags & ENDSESSION_LOGOFF)     ? "the user logged off"
                       : (endSessionFlags & ENDSESSION_CLOSEAPP) ? "Windows closed the program for an installer"
                                                                 : "the computer is shutting down";
    if (!StopForEnd(what)) return;
    ULONGLONG deadline = GetTickCount64() + waitMs;
    for (;;) {
        ULONGLONG now = GetTickCount64();
        if (!g_inRun || now >= deadline) break;
        DWORD woke =
            MsgWaitForMultipleObjects(1, &g_runEndedEvent, FALSE, static_cast<DWORD>(deadline - now), QS_ALLINPUT);
        if (woke != WAIT_OBJECT_0 + 1) continue;  // the run ended, or the time is up: looked at above
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                // Kept for the thread's own loop; from here on only the
                // run's end is waited for.
                WaitForSingleObject(g_runEndedEvent, static_cast<DWORD>(deadline - now));
                PostQuitMessage(static_cast<int>(message.wParam));
                break;
            }
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
    if (g_inRun) CloseDeviceOfHeldRun(waitMs);
}
#endif

void IgnoreClosedOutput() {
#if !defined(_WIN32)
    std::signal(SIGPIPE, SIG_IGN);
#endif
}

void ResetInterrupts() {
    StopNoticeThread();
    g_inRun = false;
    g_runThread = std::thread::id();
    g_stopStatus = 0;
    g_stopDelivered = false;
    g_warned = false;
    g_warnedAt = 0;
    g_warningsDue = 0;
    g_warningsTold = 0;
    g_hangUpDue = false;
    g_hangUpTold = false;
    g_closeDevice = nullptr;
    SetPauseCheck(nullptr);
}
