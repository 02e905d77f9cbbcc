#include "update/time_left.h"

#include <cstdio>
#include <cstring>

#include "platform/clock.h"
#include "update/check_images.h"
#include "update/progress.h"
#include "update/run_update.h"
#include "update/schedule.h"

namespace {

// The display hears of the estimate at most this often, besides at the
// beginning of each stage.
constexpr std::uint64_t kReportEveryMs = 1000;
// A kind of work has a measured rate once this many units have followed one
// another: the first unit of a stage's work may have been waiting already
// (the gate array's first request comes during the mode's pause).
constexpr std::uint32_t kMeasuredUnits = 3;

enum class Part { BeforeWork, Work, AfterWork };

// Time between units of one kind of work that followed one another, the
// stages' own pauses between them aside: the device's pace, whichever stage
// does that kind of work.
struct Rate {
    double ms = 0;
    std::uint32_t units = 0;
};

struct RunPosition {
    bool active = false;
    RunAmounts amounts;
    int stage = -1;  // none begun yet
    Part part = Part::BeforeWork;
    std::uint64_t stageBeganAt = 0;
    std::uint32_t units = 0;  // of the running stage's work
    std::uint32_t unitsDone = 0;
    // When the last unit was done, or the work began: the fixed waits after
    // the work start there, with the silence that tells it has ended.
    std::uint64_t lastUnitAt = 0;
    Rate rates[static_cast<int>(Work::BlockRequests) + 1];  // by Work
    std::uint64_t reportedAt = 0;
};

RunPosition g_run;

std::uint64_t Less(std::uint64_t a, std::uint64_t b) { return a > b ? a - b : 0; }

double MsPerUnit(Work work) {
    const Rate& rate = g_run.rates[static_cast<int>(work)];
    return rate.units >= kMeasuredUnits ? rate.ms / rate.units : NominalMsPerUnit(work);
}

std::uint64_t WorkMs(const ScheduledStage& stage, std::uint32_t units) {
    return static_cast<std::uint64_t>(units * (MsPerUnit(stage.work) + stage.pauseMsPerUnit) + 0.5);
}

// The whole of a stage that has not begun: its pause, its fixed waits and
// its work.
std::uint64_t StageMs(int index) {
    const ScheduledStage& s = kSchedule[index];
    return kStages[index].pauseBeforeMs + s.beforeWorkMs + WorkMs(s, WorkUnits(index, g_run.amounts)) + s.afterWorkMs;
}

// What is left of the running stage at `now`.
std::uint64_t RunningStageMs(std::uint64_t now) {
    const ScheduledStage& s = kSchedule[g_run.stage];
    switch (g_run.part) {
        case Part::BeforeWork:
            return Less(kStages[g_run.stage].pauseBeforeMs + s.beforeWorkMs, now - g_run.stageBeganAt) +
                   WorkMs(s, g_run.units) + s.afterWorkMs;
        case Part::Work: {
            // The time since the last unit goes to the next one, or, when
            // all are done, to the silence that ends the work.
            std::uint32_t left = g_run.units > g_run.unitsDone ? g_run.units - g_run.unitsDone : 0;
            return Less(WorkMs(s, left) + s.afterWorkMs, now - g_run.lastUnitAt);
        }
        case Part::AfterWork:
            return Less(s.afterWorkMs, now - g_run.lastUnitAt);
    }
    return 0;
}

void Report(bool always) {
    if (!g_run.active || !Display().TimeLeft) return;
    std::uint64_t now = NowMs();
    if (!always && now - g_run.reportedAt < kReportEveryMs) return;
    g_run.reportedAt = now;
    Display().TimeLeft(StageInWords(), MsLeft());
}

const CheckedImage* Image(const ImagesCheck& images, const char* name) {
    for (const CheckedImage& image : images.images)
        if (std::strcmp(image.name, name) == 0) return &image;
    return nullptr;
}

}  // namespace

void BeginTimeLeft(const ImagesCheck& images) {
    const CheckedImage* genHex = Image(images, "gen.hex");
    const CheckedImage* promHex = Image(images, "genprom.hex");
    const CheckedImage* gateArray = Image(images, "GEN.dat");
    g_run = RunPosition{};
    g_run.active = true;
    g_run.amounts =
        AmountsOfImages(genHex ? genHex->bytes : "", promHex ? promHex->bytes : "", gateArray ? gateArray->size : 0);
    Report(true);
}

void EndTimeLeft() { g_run.active = false; }

void StageBegins(int index) {
    if (!g_run.active || index < 0 || index >= kScheduleLength) return;
    g_run.stage = index;
    g_run.part = Part::BeforeWork;
    g_run.stageBeganAt = NowMs();
    g_run.units = WorkUnits(index, g_run.amounts);
    g_run.unitsDone = 0;
    Report(true);
}

void BeginWork() {
    if (g_run.active && g_run.stage >= 0) BeginWork(WorkUnits(g_run.stage, g_run.amounts));
}

void BeginWork(std::uint32_t units) {
    if (!g_run.active || g_run.stage < 0) return;
    g_run.part = Part::Work;
    g_run.units = units;
    g_run.unitsDone = 0;
    g_run.lastUnitAt = NowMs();
    Report(false);
}

void UnitDone() {
    if (!g_run.active || g_run.part != Part::Work) return;
    std::uint64_t now = NowMs();
    if (g_run.unitsDone > 0) {
        const ScheduledStage& s = kSchedule[g_run.stage];
        Rate& rate = g_run.rates[static_cast<int>(s.work)];
        rate.ms += static_cast<double>(now - g_run.lastUnitAt) - s.pauseMsPerUnit;
        ++rate.units;
    }
    ++g_run.unitsDone;
    g_run.lastUnitAt = now;
    Report(false);
}

void EndWork() {
    if (!g_run.active || g_run.part != Part::Work) return;
    g_run.part = Part::AfterWork;
    Report(false);
}

void WaitGoesOn() { Report(false); }

std::uint64_t MsLeft() {
    if (!g_run.active) return 0;
    std::uint64_t left = g_run.stage >= 0 ? RunningStageMs(NowMs()) : 0;
    for (int i = g_run.stage + 1; i < kScheduleLength; ++i) left += StageMs(i);
    return left;
}

const char* StageInWords() {
    if (!g_run.active) return "";
    int index = g_run.stage >= 0 ? g_run.stage : 0;
    const ScheduledStage& s = kSchedule[index];
    bool secondPass = g_run.stage >= 0 && s.passes == 2 && g_run.part != Part::BeforeWork && g_run.units > 0 &&
                      g_run.unitsDone >= g_run.units / 2;
    return secondPass ? s.secondPassWords : s.words;
}

std::string TimeLeftText(std::uint64_t ms) {
    std::uint64_t seconds = (ms + 999) / 1000;
    char text[48];
    if (seconds < 60)
        std::snprintf(text, sizeof text, "about %u s left", static_cast<unsigned>(seconds > 0 ? seconds : 1));
    else
        std::snprintf(text, sizeof text, "about %u min left", static_cast<unsigned>((seconds + 30) / 60));
    return text;
}

void ResetTimeLeft() { g_run = RunPosition{}; }
