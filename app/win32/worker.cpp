#include "app/win32/worker.h"

#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "app/win32/dialog.h"
#include "platform/d2xx.h"
#include "platform/d2xx_trace.h"
#include "platform/log.h"
#include "update/check_images.h"
#include "update/run_report.h"
#include "update/run_update.h"

namespace {

// Written when the worker is created; never waited on or closed.
HANDLE g_workerThread = nullptr;

std::string g_runLogPath;
std::string g_tracePath;
std::vector<std::string> g_shownImages;  // the images' summary the dialog showed at Start

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

// The images are checked again at Start, and the run sends what this
// check read: it must be what the technician saw. When it is not (a file
// replaced since), the dialog shows the new summary and waits for Start.
bool ImagesAsShown() {
    const ImagesCheck& check = CheckImages();
    ImagesShown now{check.status == 0, ImagesSummary(check)};
    if (now.lines == g_shownImages) return true;
    ResetImageCheck();
    SendMessageA(g_dialog, WM_IMAGES_CHANGED, 0, reinterpret_cast<LPARAM>(&now));
    return false;
}

DWORD WINAPI WorkerThread(LPVOID listing) {
    if (listing) {
        WaitForSingleObject(listing, INFINITE);
        CloseHandle(listing);
    }
    if (!ImagesAsShown()) return 0;
    OpenRunRecords();
    StartLogWriter();
    UpdateWorker(true);
    // Synchronous, so the dialog has taken note before the thread ends.
    SendMessageA(g_dialog, WM_RUN_FINISHED, 0, 0);
    return 0;
}

}  // namespace

void SetRunRecords(const std::string& runLogPath, const std::string& tracePath) {
    g_runLogPath = runLogPath;
    g_tracePath = tracePath;
}

int StartUpdateWorker(HANDLE listing, const std::vector<std::string>& shownImages) {
    g_shownImages = shownImages;
    g_workerThread = CreateThread(nullptr, 0, WorkerThread, listing, CREATE_SUSPENDED, nullptr);
    if (!g_workerThread) {
        if (listing) CloseHandle(listing);
        return -1;
    }
    ResumeThread(g_workerThread);
    return 0;
}

namespace {

// A path as the technician finds it in the Explorer: whole, from its drive.
std::string FullPath(const std::string& path) {
    std::error_code ec;
    std::filesystem::path full = std::filesystem::absolute(path, ec);
    return ec ? path : full.lexically_normal().string();
}

}  // namespace

std::string RunRecordsText() {
    std::string text;
    if (g_runLogPath.empty())
        text = "No run log was kept (--no-log)";
    else if (RunLogKept())
        text = "Run log: " + FullPath(g_runLogPath);
    else
        text = "The run log could not be written: " + FullPath(g_runLogPath);
    if (ReportFile().empty()) return text;
    if (RunReportWritten())
        text += "\r\nReport: " + FullPath(ReportFile());
    else
        text += "\r\nThe report could not be written: " + FullPath(ReportFile());
    return text;
}
