#include "update/run_report.h"

#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

#include "device/selection.h"
#include "platform/clock.h"
#include "platform/d2xx.h"
#include "platform/files.h"
#include "protocol/status.h"
#include "update/check_images.h"

namespace {

// The fields in the order docs/report.md gives them.
using Json = nlohmann::ordered_json;

struct ReportedImage {
    std::string name;
    bool read = false;
    std::uint64_t size = 0;
    std::string sha256;
};

struct ReportedStage {
    std::string name;
    int status = 0;
    std::uint64_t ms = 0;
};

std::string g_reportFile;
bool g_written = false;
std::time_t g_started = 0;
std::uint64_t g_startedMs = 0;
std::vector<ReportedImage> g_images;
std::vector<ReportedStage> g_stages;

// A device's serial number or description; null for none.
Json TextOrNull(const std::optional<std::string>& text) {
    if (!text || text->empty()) return nullptr;
    return *text;
}

double Seconds(std::uint64_t ms) { return static_cast<double>(ms) / 1000.0; }

const char* Outcome(const RunEnding& ending) {
    if (ending.exitCode == 0) return "succeeded";
    if (ending.stopped) return "stopped";
    if (ending.refused) return "refused";
    return "failed";
}

// Seconds since 1970 of a broken-down time read as UTC.
long long SecondsOf(const std::tm& time) {
    using namespace std::chrono;
    sys_days date = year{time.tm_year + 1900} / month{static_cast<unsigned>(time.tm_mon + 1)} /
                    day{static_cast<unsigned>(time.tm_mday)};
    return static_cast<long long>(date.time_since_epoch().count()) * 86400 + time.tm_hour * 3600 + time.tm_min * 60 +
           time.tm_sec;
}

}  // namespace

void SetReportFile(const std::string& path) { g_reportFile = path; }
const std::string& ReportFile() { return g_reportFile; }

void ReportRunStart(const ImagesCheck& images) {
    g_started = std::time(nullptr);
    g_startedMs = NowMs();
    g_written = false;
    g_images.clear();
    g_stages.clear();
    for (const CheckedImage& image : images.images) {
        if (std::string(image.name) == "gn.hex") continue;  // written by the update, not sent as it stands
        g_images.push_back(ReportedImage{image.name, image.read, image.size, image.sha256});
    }
}

void ReportStage(const char* name, int status, std::uint64_t ms) {
    g_stages.push_back(ReportedStage{name, status, ms});
}

std::string IsoLocalTime(std::time_t time) {
    std::tm local{}, utc{};
#if defined(_WIN32)
    localtime_s(&local, &time);
    gmtime_s(&utc, &time);
#else
    localtime_r(&time, &local);
    gmtime_r(&time, &utc);
#endif
    long long offset = (SecondsOf(local) - SecondsOf(utc)) / 60;  // minutes east of UTC
    char sign = offset < 0 ? '-' : '+';
    if (offset < 0) offset = -offset;
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02lld:%02lld", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, sign, offset / 60,
                  offset % 60);
    return text;
}

std::string RunReport(const RunEnding& ending) {
    Json report;
    report["program"] = {{"name", "qvm7316-update"}, {"version", QVM7316_VERSION}};
    const DeviceChoice* device = RunDevice();
    report["device"] = {{"serial", device ? TextOrNull(device->serial) : nullptr},
                        {"description", device ? TextOrNull(device->description) : nullptr},
                        {"driver", SelectedD2xx()->name}};
    Json images = Json::array();
    for (const ReportedImage& image : g_images)
        images.push_back({{"name", image.name},
                          {"size", image.read ? Json(image.size) : Json(nullptr)},
                          {"sha256", image.read ? Json(image.sha256) : Json(nullptr)}});
    report["images"] = images;
    report["started"] = IsoLocalTime(g_started);
    report["ended"] = IsoLocalTime(std::time(nullptr));
    report["seconds"] = Seconds(NowMs() - g_startedMs);
    report["outcome"] = Outcome(ending);
    report["exit_code"] = ending.exitCode;
    report["status"] = ending.exitCode == 0 ? Json(nullptr) : Json(StatusName(ending.exitCode));
    report["stage"] = ending.stage.empty() ? Json(nullptr) : Json(ending.stage);
    report["device_changed"] = ending.deviceChanged;
    Json stages = Json::array();
    for (const ReportedStage& stage : g_stages)
        stages.push_back({{"name", stage.name}, {"status", StatusName(stage.status)}, {"seconds", Seconds(stage.ms)}});
    report["stages"] = stages;
    // Bytes that are not UTF-8 (a clone's description, say) become U+FFFD
    // rather than making the report unwritable.
    return report.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

bool WriteRunReport(const RunEnding& ending, std::string& reason) {
    g_written = false;
    if (g_reportFile.empty()) return true;
    g_written = ReplaceWholeFile(g_reportFile, RunReport(ending), reason);
    return g_written;
}

bool RunReportWritten() { return g_written; }

void ResetRunReport() {
    g_reportFile.clear();
    g_written = false;
    g_started = 0;
    g_startedMs = 0;
    g_images.clear();
    g_stages.clear();
}
