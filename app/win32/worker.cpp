#include "app/win32/worker.h"

#include <windows.h>

#include "app/win32/dialog.h"
#include "update/run_update.h"

namespace {

// Written when the worker is created; never waited on or closed.
HANDLE g_workerThread = nullptr;

DWORD WINAPI WorkerThread(LPVOID listing) {
    if (listing) {
        WaitForSingleObject(listing, INFINITE);
        CloseHandle(listing);
    }
    UpdateWorker();
    // Synchronous, so the dialog has taken note before the thread ends.
    SendMessageA(g_dialog, WM_RUN_FINISHED, 0, 0);
    return 0;
}

}  // namespace

int StartUpdateWorker(HANDLE listing) {
    g_workerThread = CreateThread(nullptr, 0, WorkerThread, listing, CREATE_SUSPENDED, nullptr);
    if (!g_workerThread) {
        if (listing) CloseHandle(listing);
        return -1;
    }
    ResumeThread(g_workerThread);
    return 0;
}
