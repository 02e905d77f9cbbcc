// How honest the time left is, on the real clock: whole updates against the
// emulated device as --simulate --realtime runs them, once with the
// device's own timing and once with a device slower than that (its loader
// answers each record 30 ms later, its gate array asks for each block 3 ms
// after the last answer instead of 1 ms). At a quarter, half and three
// quarters of each run, the time left that the display showed then (its
// last report, counted down since, as the dialog counts it) against the
// time that was really left. The goal: within 10 %.
//
// The images are small, so that a run takes five or six minutes, and the
// work is still a good part of it: 1200 firmware records (about 105 s),
// 1000 PROM pages, 1000 gate-array blocks. The two runs go side by side, a
// process each. Prints the figures; exits 1 when one misses the goal.
//
// Usage: time_left_bench
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench_support.h"
#include "hex_gen.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "sim/device.h"
#include "sim/scenario.h"
#include "update/process_state.h"
#include "update/progress.h"
#include "update/run_update.h"

namespace {

constexpr std::size_t kFirmwareRecords = 1200;
constexpr std::uint32_t kPromPages = 1000;
constexpr std::uint32_t kGateArrayBytes = 32000;
constexpr double kGoalPercent = 10;

struct BenchCase {
    const char* name;
    const char* text;
};
const BenchCase kCases[] = {
    {"nominal", ""},
    {"slower", "echo_delay_ms = 30\nga_request_delay_ms = 3\n"},
};

void WriteImages(const std::filesystem::path& folder) {
    HexGenOptions firmware;
    firmware.minRecord = firmware.maxRecord = 16;
    firmware.contiguous = true;
    firmware.textBytes = kFirmwareRecords * 45;  // a 16-byte record's line
    std::ofstream(folder / "gen.hex", std::ios::binary) << GenerateIntelHex(firmware);

    std::ofstream prom(folder / "genprom.hex", std::ios::binary);
    std::uint32_t x = 7;
    for (std::uint32_t page = 0; page < kPromPages; ++page) {
        std::string line(2 * kPromPageSize, '0');
        for (char& c : line) {
            x = x * 1103515245u + 12345u;
            c = "0123456789ABCDEF"[(x >> 16) & 15];
        }
        prom << line << "\r\n";
    }
    std::ofstream gateArray(folder / "GEN.dat", std::ios::binary);
    for (std::uint32_t i = 0; i < kGateArrayBytes; ++i) gateArray.put(static_cast<char>(i * 131 + 17));
}

// What the display was told, on the run's clock.
struct Report {
    std::uint64_t at;
    std::uint64_t msLeft;
};
std::vector<Report> g_reports;
std::uint64_t g_doneAt = 0;

void NoRunStarted() {}
bool NoteProgress(int percent, const char*) {
    if (percent == 100) g_doneAt = NowMs();
    return true;
}
void NoRunEnded(int, const char*, const char*) {}
void NoteTimeLeft(const char*, std::uint64_t msLeft) { g_reports.push_back({NowMs(), msLeft}); }
const DisplayOps kRecorder = {NoRunStarted, NoteProgress, NoRunEnded, nullptr, NoteTimeLeft};

// What the display showed at `t`: the last report, counted down since.
double ShownAt(std::uint64_t t) {
    const Report* last = nullptr;
    for (const Report& r : g_reports)
        if (r.at <= t) last = &r;
    if (!last) return 0;
    double shown = static_cast<double>(last->msLeft) - static_cast<double>(t - last->at);
    return shown > 0 ? shown : 0;
}

// One run, in this process; prints its figures as one block. Returns
// whether every figure met the goal.
bool RunCase(const BenchCase& scenario) {
    BenchFolder folder;
    WriteImages(folder.Path());
    std::filesystem::current_path(folder.Path());
    ResetProcessState();
    UseRealClock();
    sim::Scenario setup;
    std::string error;
    if (!sim::ParseScenario(scenario.text, scenario.name, setup, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return false;
    }
    sim::StartEmulator(setup);
    SelectD2xx(sim::EmulatorD2xx());
    SelectDisplay(&kRecorder);
    std::string log;
    LogToBuffer(&log);
    std::uint64_t start = NowMs();
    int result = UpdateWorker();
    LogToBuffer(nullptr);
    std::filesystem::current_path(std::filesystem::temp_directory_path());

    std::string out;
    char line[200];
    if (result != 0 || g_reports.empty() || g_doneAt == 0) {
        std::snprintf(line, sizeof line, "%s: the update failed: %s\n", scenario.name, LastFailure().c_str());
        std::fputs(line, stdout);
        return false;
    }
    double total = static_cast<double>(g_doneAt - start);
    std::snprintf(line, sizeof line, "%s: the run took %.1f s; estimated at its start: %.1f s\n", scenario.name,
                  total / 1000, static_cast<double>(g_reports.front().msLeft) / 1000);
    out += line;
    bool met = true;
    for (int quarter = 1; quarter <= 3; ++quarter) {
        std::uint64_t t = start + static_cast<std::uint64_t>(total * quarter / 4);
        double shown = ShownAt(t), left = static_cast<double>(g_doneAt - t);
        double percent = 100 * (shown - left) / left;
        bool ok = std::fabs(percent) <= kGoalPercent;
        met = met && ok;
        std::snprintf(line, sizeof line, "%s: at %d/4 (%.1f s): shown %.1f s left, really %.1f s left: %+.1f %% %s\n",
                      scenario.name, quarter, static_cast<double>(t - start) / 1000, shown / 1000, left / 1000, percent,
                      ok ? "(within 10 %)" : "(MISSED: the goal is 10 %)");
        out += line;
    }
    std::fputs(out.c_str(), stdout);
    std::fflush(stdout);
    return met;
}

}  // namespace

int main() {
    std::printf("time left against the time really left, on the real clock (about six minutes)\n");
    std::fflush(stdout);
    std::vector<pid_t> children;
    for (const BenchCase& scenario : kCases) {
        pid_t child = fork();
        if (child < 0) {
            std::perror("fork");
            return 2;
        }
        if (child == 0) _exit(RunCase(scenario) ? 0 : 1);
        children.push_back(child);
    }
    bool met = true;
    for (pid_t child : children) {
        int status = 0;
        waitpid(child, &status, 0);
        met = met && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    std::printf("%s\n", met ? "every figure within 10 %" : "FAILED: a figure missed 10 %");
    return met ? 0 : 1;
}
