#include "update/run_record.h"

#include <cstdio>
#include <ctime>

#include "device/link.h"
#include "platform/clock.h"
#include "platform/d2xx.h"
#include "platform/d2xx_trace.h"
#include "platform/interrupt.h"
#include "platform/log.h"
#include "update/check_images.h"
#include "update/run_report.h"

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

void RecordRunStart(const char* what, const ImagesCheck& images, unsigned latencyTimerMs) {
    g_startedAt = NowMs();
    std::string described = DescribeImages(images);
    std::string timer = latencyTimerMs ? ", latency timer " + std::to_string(latencyTimerMs) + " ms" : "";
    RunLogRecord("=== " + LocalDateAndTime() + " qvm7316-update " QVM7316_VERSION " " + what + ", driver " +
                 SelectedD2xx()->name + timer + ": " + described);
    AddTraceHeaderFields(latencyTimerMs ? "latency " + std::to_string(latencyTimerMs) + " " + described : described);
}

void RecordUpdateStart(const ImagesCheck& images) {
    RecordRunStart("update", images, LatencyTimerMs());
    for (const std::string& line : ImagesSummary(images)) RunLogRecord(line);
    ReportRunStart(images);
}

void RecordRunEnd(const std::string& outcome) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", static_cast<double>(NowMs() - g_startedAt) / 1000.0);
    TellPendingNotices();
    RunLogRecord("=== end: " + outcome + " after " + seconds + " s");
    // The record survives a machine that goes down right after.
    SyncRunLog();
    SyncTrace(true);
}
