// What a replay costs: reading a trace and answering the program's calls
// from it, in virtual time.
//
// - The whole update with the sample images (the fixture
//   tests/fixtures/whole_update.trace.gz): goal well under a second, so
//   that the recorded runs stay quick tests.
// - The largest PROM programming (65,536 pages, about 100 MB of trace),
//   replayed, against the same programming run on the emulated device:
//   goal at most 3 times as long, so that the longest field trace replays
//   in seconds, not in the half hour it took.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "bench_support.h"
#include "device/link.h"
#include "platform/clock.h"
#include "platform/d2xx_trace.h"
#include "platform/log.h"
#include "sim/device.h"
#include "sim/replay.h"
#include "sim/scenario.h"
#include "sim/trace_reader.h"
#include "update/process_state.h"
#include "update/program_prom.h"
#include "update/run_update.h"
#include "update/stages.h"

namespace {

// A folder with the sample images.
const std::filesystem::path& SampleDir() {
    static BenchFolder folder;
    static const bool made = [] {
        for (const char* name : {"gen.hex", "genprom.hex", "GEN.dat"})
            std::filesystem::copy_file(std::filesystem::path(QVM7316_SOURCE_DIR) / "samples" / name,
                                       folder.Path() / name);
        return true;
    }();
    (void)made;
    return folder.Path();
}

// A folder with the largest genprom.hex and the trace of its programming.
const std::filesystem::path& LargestPromDir() {
    static BenchFolder folder;
    static const bool made = [] {
        WriteLargestPromImage(folder.Path() / "genprom.hex");
        std::filesystem::current_path(folder.Path());
        std::string log;
        LogToBuffer(&log);
        ResetProcessState();
        UseVirtualClock();
        sim::StartEmulator(sim::Scenario{});
        SelectD2xx(TraceD2xx(sim::EmulatorD2xx(), std::fopen("prom.trace", "w"), "prom.trace"));
        bool ok = ProgramProm() == 0;
        EndTrace();
        LogToBuffer(nullptr);
        return ok;
    }();
    if (!made) std::fprintf(stderr, "replay_bench: the PROM programming to record failed\n");
    return folder.Path();
}

// Reads the trace and runs `run` against it.
void Replay(benchmark::State& state, const std::string& trace, int (*run)()) {
    std::string log;
    LogToBuffer(&log);
    for (auto _ : state) {
        ResetProcessState();
        UseVirtualClock();
        sim::RecordedTrace recording;
        std::string error;
        if (!sim::LoadTrace(trace, recording, error)) state.SkipWithError(error.c_str());
        // As the program replays: at the latency timer the recorded run set.
        if (recording.latencyMs != 0) ChooseLatencyTimer(recording.latencyMs);
        sim::StartReplay(std::move(recording), trace);
        SelectD2xx(sim::ReplayD2xx());
        if (run() != 0) state.SkipWithError("the replayed run failed");
        sim::FinishReplay();
        if (sim::ReplayDiverged()) state.SkipWithError("the replay diverged");
        log.clear();
    }
    LogToBuffer(nullptr);
    UseRealClock();
}

void BM_ReplayWholeUpdate(benchmark::State& state) {
    std::filesystem::current_path(SampleDir());
    Replay(state, std::string(QVM7316_SOURCE_DIR) + "/tests/fixtures/whole_update.trace.gz",
           [] { return UpdateWorker(); });
}

void BM_ReplayProgramProm(benchmark::State& state) {
    std::filesystem::current_path(LargestPromDir());
    Replay(state, "prom.trace", ProgramProm);
    state.counters["trace_MB"] = static_cast<double>(std::filesystem::file_size("prom.trace")) / 1e6;
}

void BM_EmulateProgramProm(benchmark::State& state) {
    std::filesystem::current_path(LargestPromDir());
    std::string log;
    LogToBuffer(&log);
    for (auto _ : state) {
        ResetProcessState();
        UseVirtualClock();
        sim::StartEmulator(sim::Scenario{});
        SelectD2xx(sim::EmulatorD2xx());
        if (ProgramProm() != 0) state.SkipWithError("the PROM programming failed");
        log.clear();
    }
    LogToBuffer(nullptr);
    UseRealClock();
}

BENCHMARK(BM_ReplayWholeUpdate)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_ReplayProgramProm)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(3);
BENCHMARK(BM_EmulateProgramProm)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(3);

}  // namespace

int main(int argc, char** argv) {
    RatioReporter reporter("BM_ReplayProgramProm", "BM_EmulateProgramProm", RatioReporter::Measure::Time,
                           "goal: at most 3");
    return RunBenchmarks(argc, argv, reporter);
}
