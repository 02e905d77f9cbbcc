// Converting an 8 MiB gen.hex into gn.hex, next to srecord's srec_cat
// re-blocking the same file so that no record crosses a 128-byte boundary,
// both in MB/s of input in the same run. The goal: faster than srec_cat.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "bench_support.h"
#include "hex_gen.h"
#include "platform/log.h"
#include "update/process_state.h"
#include "update/stages.h"

namespace {

constexpr std::size_t kFileSize = 8u << 20;
std::uintmax_t g_inputBytes = 0;

// A folder holding the generated gen.hex: 16-byte records that start 8 bytes
// off, so every eighth runs across a 128-byte boundary, as a linker's output
// often does. Made once per run.
const std::filesystem::path& WorkDir() {
    static BenchFolder folder;
    static const bool made = [] {
        HexGenOptions options;
        options.textBytes = kFileSize;
        options.minRecord = options.maxRecord = 16;
        options.contiguous = true;
        options.startAddress = 8;
        std::ofstream(folder.Path() / "gen.hex", std::ios::binary) << GenerateIntelHex(options);
        g_inputBytes = std::filesystem::file_size(folder.Path() / "gen.hex");
        return true;
    }();
    (void)made;
    return folder.Path();
}

void BM_ConvertHexFile(benchmark::State& state) {
    std::filesystem::current_path(WorkDir());
    ResetProcessState();
    std::string log;  // the stage's two lines stay out of the report
    LogToBuffer(&log);
    for (auto _ : state) {
        if (ConvertHexFile() != 0) state.SkipWithError("the conversion failed");
        log.clear();
    }
    LogToBuffer(nullptr);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * g_inputBytes));
}
BENCHMARK(BM_ConvertHexFile)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SrecCatReblock128(benchmark::State& state) {
    std::filesystem::current_path(WorkDir());
    const char* command =
        "srec_cat gen.hex -intel -o srec.hex -intel -Output_Block_Size=128 -Output_Block_Alignment "
        ">/dev/null 2>&1";
    for (auto _ : state) {
        if (std::system(command) != 0) state.SkipWithError("srec_cat (Debian package srecord) failed");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * g_inputBytes));
}
BENCHMARK(BM_SrecCatReblock128)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    RatioReporter reporter("BM_ConvertHexFile", "BM_SrecCatReblock128", RatioReporter::Measure::Throughput,
                           "goal: above 1, faster than srec_cat");
    return RunBenchmarks(argc, argv, reporter);
}
