#include "app/win32/worker.h"

#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/win32/dialog.h"
#include "platform/d2xx.h"
#include "platform/d2xx_trace.h"
#include "platform/log.h"
#include "update/run_update.h"

namespace {

// Written when the worker is created; never waited on or closed.
HANDLE g_workerThread = nullptr;

std::string g_runLogPath;
std::string g_tracePath;

// The run starts: the run log file is opened for appending, and the trace
// file is created or emptied. The trace was found writable at start-up; if
// it cannot be created now, the update goes on without it.
void OpenRunRecords() {
    if (!g_runLogPath.empty()) OpenRunLog(g_runLogPath);
    if (g_tracePath.empty()) return;
    std::FILE* trace = std::fopen(g_tracePath.c_str(), "w");
    if (!trace) {
        std::fprintf(stderr, "qvm7316-update: cannot write the trace file %s: %s; the update goes on without it\n",
                     g_tracePath.c_str(), std::strerror(errno));
        return;
    }
    SelectD2xx(TraceD2xx(SelectedD2xx(), trace, g_tracePath));
}

DWORD WINAPI WorkerThread(LPVOID listing) {
    if (listing) {
        WaitForSingleObject(listing, INFINITE);
        CloseHandle(listing);
    }
    OpenRunRecords();
    StartLogWriter();
    UpdateWorker();
    // Synchronous, so the dialog has taken note before the thread ends.
    SendMessageA(g_dialog, WM_RUN_FINISHED, 0, 0);
    return 0;
}

}  // namespace

void SetRunRecords(const std::string& runLogPath, const std::string& tracePath) {
    g_runLogPath = runLogPath;
    g_tracePath = tracePath;
}

int StartUpdateWorker(HANDLE listing) {
    g_workerThread = CreateThread(nullptr, 0, WorkerThread, listing, CREATE_SUSPENDED, nullptr);
    if (!g_workerThread) {
        if (listing) CloseHandle(listing);
        return -1;
    }
    ResumeThread(g_workerThread);
    return 0;
}
