// What the call trace costs: the PROM programming of the largest image the
// PROM takes (65,536 pages of 256 bytes, 33.7 MB of text, which makes about
// 100 MB of trace) against the emulated device in virtual time, without a
// trace and with one written to a file (handed to the system once a second
// by the trace's own thread). Goal: the traced run takes at most 1.3 times
// as long as the untraced one.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "bench_support.h"
#include "platform/clock.h"
#include "platform/d2xx_trace.h"
#include "platform/log.h"
#include "sim/device.h"
#include "sim/scenario.h"
#include "update/process_state.h"
#include "update/program_prom.h"
#include "update/stages.h"

namespace {

const std::filesystem::path& WorkDir() {
    static BenchFolder folder;
    static const bool made = [] {
        WriteLargestPromImage(folder.Path() / "genprom.hex");
        return true;
    }();
    (void)made;
    return folder.Path();
}

void ProgramTheWholeProm(benchmark::State& state, bool traced) {
    std::filesystem::current_path(WorkDir());
    std::string log;
    LogToBuffer(&log);
    for (auto _ : state) {
        ResetProcessState();
        UseVirtualClock();
        sim::StartEmulator(sim::Scenario{});
        if (traced) {
            std::FILE* file = std::fopen("trace.txt", "w");
            SelectD2xx(TraceD2xx(sim::EmulatorD2xx(), file, "trace.txt"));
        } else {
            SelectD2xx(sim::EmulatorD2xx());
        }
        if (ProgramProm() != 0) state.SkipWithError("the PROM programming failed");
        if (traced) EndTrace();
        log.clear();
    }
    if (traced) state.counters["trace_MB"] = static_cast<double>(std::filesystem::file_size("trace.txt")) / 1e6;
    LogToBuffer(nullptr);
    UseRealClock();
}

void BM_ProgramPromTraced(benchmark::State& state) { ProgramTheWholeProm(state, true); }
void BM_ProgramProm(benchmark::State& state) { ProgramTheWholeProm(state, false); }
BENCHMARK(BM_ProgramPromTraced)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(3);
BENCHMARK(BM_ProgramProm)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(3);

}  // namespace

int main(int argc, char** argv) {
    // Both as a run of the program makes them: with the log's writer thread
    // running, which the trace's own hand-over thread joins. A process with
    // a second thread has the C library lock its streams and its heap (the
    // PROM image is read a character at a time), which costs the traced and
    // the untraced run alike.
    StartLogWriter();
    RatioReporter reporter("BM_ProgramPromTraced", "BM_ProgramProm", RatioReporter::Measure::Time, "goal: at most 1.3");
    int status = RunBenchmarks(argc, argv, reporter);
    StopLogWriter();
    return status;
}
