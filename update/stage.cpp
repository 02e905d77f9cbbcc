#include "update/stage.h"

#include <algorithm>
#include <vector>

#include "device/link.h"
#include "platform/log.h"
#include "protocol/status.h"
#include "update/progress.h"

namespace {

// The image files the running stage holds open.
std::vector<std::FILE*> g_stageFiles;

void Forget(std::FILE* file) {
    g_stageFiles.erase(std::remove(g_stageFiles.begin(), g_stageFiles.end(), file), g_stageFiles.end());
}

}  // namespace

int OpenStageConnection() {
    if (OpenDevice() != 0) return GiveUp(USB_OPEN_FAILURE);
    if (PurgeDevice() != 0) return GiveUp(USB_PURGE_FAILURE);
    SetDeviceLatencyTimer();
    return 0;
}

int FinishStage() {
    LogFlush();
    TickProgress();
    return 0;
}

int FinishDeviceStage(int unconfirmed) {
    if (CloseDevice() != 0) return GiveUp(USB_CLOSE_FAILURE);
    return FinishClosedStage(unconfirmed);
}

int FinishClosedStage(int unconfirmed) {
    if (DeviceWriteFailed()) return GiveUp(USB_WRITE_FAILURE);
    if (unconfirmed != 0) return GiveUp(unconfirmed);
    return FinishStage();
}

std::FILE* AdoptImageFile(std::FILE* file) {
    if (file) g_stageFiles.push_back(file);
    return file;
}

int CloseImageFile(std::FILE* file) {
    Forget(file);
    // A write that failed before the last buffer was flushed counts too.
    bool writeFailed = std::ferror(file) != 0;
    if (std::fclose(file) != 0 || writeFailed) {
        Log("error closing file\n");
        return FILE_CLOSE_FAILURE;
    }
    return 0;
}

int GiveUp(int status) {
    for (std::FILE* file : g_stageFiles) std::fclose(file);
    g_stageFiles.clear();
    if (DeviceIsOpen()) CloseDevice();
    return status;
}

void ResetStageFiles() {
    for (std::FILE* file : g_stageFiles) std::fclose(file);
    g_stageFiles.clear();
}
