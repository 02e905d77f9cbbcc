#include "update/run_record.h"

#include <cstdio>
#include <ctime>

#include "platform/clock.h"
#include "platform/d2xx.h"
#include "platform/d2xx_trace.h"
#include "platform/log.h"
#include "update/check_images.h"

namespace {

std::uint64_t g_startedAt = 0;

std::string LocalDateAndTime() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
#if defined(_WIN32)
    localtime_s(&local, &now);
#else
    localtime_r(&now, &local);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

}  // namespace

void RecordRunStart(const char* what, const ImagesCheck& images) {
    g_startedAt = NowMs();
    std::string described = DescribeImages(images);
    RunLogRecord("=== " + LocalDateAndTime() + " qvm7316-update " QVM7316_VERSION " " + what + ", driver " +
                 SelectedD2xx()->name + ": " + described);
    AddTraceHeaderFields(described);
}

void RecordRunEnd(const std::string& outcome) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", static_cast<double>(NowMs() - g_startedAt) / 1000.0);
    RunLogRecord("=== end: " + outcome + " after " + seconds + " s");
    // The record survives a machine that goes down right after.
    SyncRunLog();
    SyncTrace(true);
}
